// Running another program and waiting for it: the one way every component
// starts a child. Only an absolute path is run (no search path); the child
// gets /dev/null as its input, the signals' default dispositions and an
// empty mask; its output is inherited, discarded or captured (bounded), and
// a time limit, when given, ends it.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vesk::spawn {

enum class Output {
    inherit,  ///< the caller's standard output and error
    discard,  ///< /dev/null
    capture,  ///< both into `Result::output`, at most `captureLimit` bytes kept
};

struct Request {
    std::string program;  ///< an absolute path
    std::vector<std::string> arguments;
    /// The child's whole environment ("NAME=value"); none: the caller's.
    std::optional<std::vector<std::string>> environment;
    Output output = Output::inherit;
    std::size_t captureLimit = std::size_t{64} * 1024;
    /// How long it may run; at the limit it is killed (SIGKILL).
    std::optional<std::chrono::milliseconds> limit;
    /// A process group of its own, killed whole at the limit (never for a
    /// child that may ask the terminal for a password).
    bool ownGroup = false;
};

struct Result {
    int spawnError = 0;  ///< the errno when it could not be started (ENOENT for a relative path)
    bool timedOut = false;
    std::optional<int> exitStatus;  ///< when it exited
    std::optional<int> signal;      ///< when a signal ended it
    std::string output;             ///< Output::capture's bytes
};

Result run(const Request& request);

/// A program started to run beside the caller (a server the supervisor
/// keeps, one end of a pipeline): its descriptors are given, not made.
struct Start {
    std::string program;  ///< an absolute path
    std::vector<std::string> arguments;
    /// The child's whole environment; none: the caller's.
    std::optional<std::vector<std::string>> environment;
    /// Its working directory; none: the caller's.
    std::optional<std::string> directory;
    /// Its standard input, output and error; -1 is /dev/null.
    int input = -1;
    int output = -1;
    int error = -1;
    /// A process group of its own, so that what it leaves can be ended whole.
    bool ownGroup = false;
};
/// The child's pid, or the errno when it could not be started.
struct Started {
    long pid = 0;
    int error = 0;
};
Started start(const Start& request);

}  // namespace vesk::spawn
