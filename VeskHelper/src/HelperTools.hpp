// The three tools every helper operation uses: the path allow-list, the
// external-command runner and the directory maker.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "vesk/system/EnvironmentLayout.hpp"

namespace vesk::helper {

/// Path standardisation: a leading "~" becomes `home`, doubled separators and
/// "." components go, ".." components of absolute paths are resolved, a
/// trailing separator is dropped, and a leading "/private" is dropped when the
/// rest still names an existing item.
std::string standardizePath(const std::string& path, const std::string& home);

/// The home directory of the user the helper runs as.
std::string helperHome();

/// A caller's path standardised once: as it was given (for messages), its
/// standard form, and whether that lies in the allowed places. The allow-list
/// test and the file walk both take this one value.
struct StandardPath {
    std::string given;
    std::string text;
    bool allowed = false;
};
StandardPath standardPath(const EnvironmentLayout& layout, const std::string& path);

/// True when the standardised path lies in one of the four places the file
/// operations may touch: the environment root and the resolver directory
/// (themselves and below, component-wise), the command-line link (itself
/// only), and launch-daemon files named "com.vesk.*" directly in their directory.
bool isAllowedPath(const EnvironmentLayout& layout, const std::string& path);

/// Runs an executable by absolute path with an argument vector, output to the
/// null device, and waits without limit. Returns the exit status (the signal
/// number for a killed child), or -1 with one "Failed to run" line when it
/// cannot be launched.
int runShell(const std::string& executable, const std::vector<std::string>& args);

/// The same within `limit`: the program runs in a process group of its own,
/// which is killed at the limit (the result is then SIGKILL's number).
int runShell(const std::string& executable, const std::vector<std::string>& args,
             std::chrono::milliseconds limit);

/// The same with these variables ("NAME=value") set in the program's
/// environment, over the helper's own.
int runShell(const std::string& executable, const std::vector<std::string>& args,
             const std::vector<std::string>& variables);

/// Creates the directory and its missing parents with `permissions` unless
/// something already exists there, never following a link out of the allowed
/// places. Throws FileError on failure.
void createDirIfNeeded(const EnvironmentLayout& layout, const std::string& path,
                       std::uint16_t permissions);

}  // namespace vesk::helper
