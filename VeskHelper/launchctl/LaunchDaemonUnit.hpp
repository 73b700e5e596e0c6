// A launch daemon's property list translated into a systemd service unit.
//
// Only the keys a launch daemon uses are understood; any other key, a value of
// the wrong type, or a value that a unit file cannot carry unchanged makes the
// whole translation fail, naming the key, so that nothing half-understood is
// ever run as root.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"

namespace vesk::launchctl {

/// What keeps a job running after it exits.
enum class KeepAlive : std::uint8_t {
    never,      ///< KeepAlive absent, false, or an empty dictionary
    always,     ///< KeepAlive true
    onSuccess,  ///< {SuccessfulExit: true}: restarted while it exits with 0
    onFailure,  ///< {SuccessfulExit: false}: restarted until it exits with 0
};

/// One entry of EnvironmentVariables.
struct EnvironmentVariable {
    std::string name;
    std::string value;
    // NOLINTNEXTLINE(modernize-use-nullptr): clang-tidy 14 misreads a defaulted <=>
    friend auto operator<=>(const EnvironmentVariable&, const EnvironmentVariable&) = default;
};

/// The keys of a launch daemon, as read from its property list.
struct LaunchDaemon {
    std::string label;
    std::string executable;         ///< Program, or the first of ProgramArguments
    std::vector<std::string> argv;  ///< ProgramArguments, or just Program
    bool runAtLoad = false;
    KeepAlive keepAlive = KeepAlive::never;
    std::optional<std::string> workingDirectory;
    std::vector<EnvironmentVariable> environment;  ///< sorted by name
    std::optional<std::string> userName;
    std::optional<std::string> groupName;
    std::optional<std::string> standardOutPath;
    std::optional<std::string> standardErrorPath;
    std::uint32_t throttleInterval = 10;  ///< seconds between restarts
    bool disabled = false;
    bool abandonProcessGroup = false;
    std::uint32_t exitTimeOut = 20;  ///< seconds from SIGTERM to SIGKILL; 0 waits for ever

    /// Whether loading the job starts it (and starting the machine does too).
    [[nodiscard]] bool startsAtLoad() const {
        return !disabled && (runAtLoad || keepAlive != KeepAlive::never);
    }
    friend bool operator==(const LaunchDaemon&, const LaunchDaemon&) = default;
};

/// The outcome of reading a property list: the job, or one line saying why not.
struct ReadResult {
    std::optional<LaunchDaemon> daemon;
    std::string error;
};

/// The first line of every unit launchctl writes; bootout removes nothing else.
inline constexpr std::string_view kUnitMarker = "# Launch daemon written by launchctl: ";

/// Whether `label` can name a unit: letters, digits, '.', '_' and '-', starting
/// with a letter or digit, at most 200 bytes, no "..".
bool isSafeLabel(std::string_view label);

/// Text from outside as it may appear in launchctl's one-line messages:
/// control characters as \xNN, at most 200 bytes.
std::string printable(std::string_view text);

/// Reads an XML or binary property list. `expectedLabel` is the file's name
/// without ".plist"; a Label that differs is refused.
ReadResult readLaunchDaemon(std::string_view bytes, std::string_view expectedLabel);

/// Checks a job read elsewhere (by the parsing child) by the rules the
/// translation applies: the one refusal line, or empty when it may be written.
std::string checkLaunchDaemon(const LaunchDaemon& daemon, std::string_view expectedLabel);

/// The text of `<label>.service`.
std::string unitText(const LaunchDaemon& daemon);

/// One word of a command line in a unit, quoted so that systemd passes it on
/// unchanged: no splitting, no specifier ("%") or variable ("$") expansion.
/// `expandsVariables` is false for the executable's path, which systemd does
/// not expand variables in.
std::string quoteExecWord(std::string_view word, bool expandsVariables = true);

}  // namespace vesk::launchctl

// The parsing child hands the job it read to launchctl as JSON.
VESK_RAW_ENUM(vesk::launchctl::KeepAlive, {vesk::launchctl::KeepAlive::never, "never"},
              {vesk::launchctl::KeepAlive::always, "always"},
              {vesk::launchctl::KeepAlive::onSuccess, "onSuccess"},
              {vesk::launchctl::KeepAlive::onFailure, "onFailure"});
VESK_RECORD(vesk::launchctl::EnvironmentVariable,
            vesk::field("name", &vesk::launchctl::EnvironmentVariable::name),
            vesk::field("value", &vesk::launchctl::EnvironmentVariable::value));
VESK_RECORD(vesk::launchctl::LaunchDaemon,
            vesk::field("label", &vesk::launchctl::LaunchDaemon::label),
            vesk::field("executable", &vesk::launchctl::LaunchDaemon::executable),
            vesk::field("argv", &vesk::launchctl::LaunchDaemon::argv),
            vesk::field("runAtLoad", &vesk::launchctl::LaunchDaemon::runAtLoad),
            vesk::field("keepAlive", &vesk::launchctl::LaunchDaemon::keepAlive),
            vesk::field("workingDirectory", &vesk::launchctl::LaunchDaemon::workingDirectory),
            vesk::field("environment", &vesk::launchctl::LaunchDaemon::environment),
            vesk::field("userName", &vesk::launchctl::LaunchDaemon::userName),
            vesk::field("groupName", &vesk::launchctl::LaunchDaemon::groupName),
            vesk::field("standardOutPath", &vesk::launchctl::LaunchDaemon::standardOutPath),
            vesk::field("standardErrorPath", &vesk::launchctl::LaunchDaemon::standardErrorPath),
            vesk::field("throttleInterval", &vesk::launchctl::LaunchDaemon::throttleInterval),
            vesk::field("disabled", &vesk::launchctl::LaunchDaemon::disabled),
            vesk::field("abandonProcessGroup", &vesk::launchctl::LaunchDaemon::abandonProcessGroup),
            vesk::field("exitTimeOut", &vesk::launchctl::LaunchDaemon::exitTimeOut));
