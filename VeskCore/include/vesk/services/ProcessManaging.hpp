// Running programs, behind the abstraction the application implements.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vesk/foundation/Async.hpp"

namespace vesk {

/// What a finished program left: its exit status and its two output streams.
struct ProcessResult {
    std::int32_t exitCode = 0;
    std::string stdoutText;  ///< everything written to standard output
    std::string stderrText;  ///< everything written to standard error

    friend bool operator==(const ProcessResult&, const ProcessResult&) = default;
};

/// The process owning a listening port.
struct PortUser {
    std::string processName;
    std::int32_t pid = 0;
    friend bool operator==(const PortUser&, const PortUser&) = default;
};

/// Five required operations (three asynchronous that may fail, two
/// synchronous) and two conveniences. Implementations live with the callers.
class ProcessManaging {
  public:
    using Environment = std::map<std::string, std::string>;

    virtual ~ProcessManaging() = default;

    /// Runs a program by absolute path with an argument vector, in the
    /// working directory when given, with the caller's environment.
    virtual void run(const std::string& executable, const std::vector<std::string>& arguments,
                     const std::optional<std::string>& workingDirectory,
                     ValueCompletion<ProcessResult> done) = 0;
    /// The same with exactly `environment` as the program's environment.
    virtual void runWithEnvironment(const std::string& executable,
                                    const std::vector<std::string>& arguments,
                                    const std::optional<std::string>& workingDirectory,
                                    const Environment& environment,
                                    ValueCompletion<ProcessResult> done) = 0;
    /// Asks a process to end (SIGTERM) and completes when it has.
    virtual void terminate(std::int32_t pid, Completion done) = 0;
    /// Whether a process of that id is running now.
    [[nodiscard]] virtual bool isRunning(std::int32_t pid) const = 0;
    /// The absolute path of a program found on the search path, if any.
    [[nodiscard]] virtual std::optional<std::string> locate(const std::string& program) const = 0;

    /// Runs a program. Without an environment it forwards to `run` (the
    /// program inherits the caller's environment); with one it goes to
    /// `runWithEnvironment`, so the environment given reaches the program.
    void run(const std::string& executable, const std::vector<std::string>& arguments,
             const std::optional<std::string>& workingDirectory,
             const std::optional<Environment>& environment, ValueCompletion<ProcessResult> done) {
        if (environment) {
            runWithEnvironment(executable, arguments, workingDirectory, *environment,
                               std::move(done));
        } else {
            run(executable, arguments, workingDirectory, std::move(done));
        }
    }

    /// Who listens on a port: answers absent at once unless an
    /// implementation can tell.
    virtual void identifyPortUser(std::int64_t port,
                                  ValueCompletion<std::optional<PortUser>>
                                      done) {  // NOLINT(performance-unnecessary-value-param)
        (void)port;
        done(std::optional<PortUser>(), std::nullopt);
    }
};

}  // namespace vesk
