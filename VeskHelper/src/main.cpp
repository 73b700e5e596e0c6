// VeskHelper: the privileged helper. It takes no options, reads no
// configuration file and no environment variables.
#include <csignal>

#include "Helper.hpp"

int main() {
    // A closed log stream must not end the helper; failed writes are ignored
    // and children get the default disposition back (see runShell).
    std::signal(SIGPIPE, SIG_IGN);
    static vesk::helper::Helper helper(vesk::helper::Layout::production());
    return helper.run();
}
