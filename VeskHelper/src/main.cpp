// VeskHelper: the privileged helper. It takes no options, reads no
// configuration file and no environment variables.
#include <malloc.h>

#include <csignal>

#include "Helper.hpp"

int main() {
    // A closed log stream must not end the helper; failed writes are ignored
    // and children get the default disposition back (see runShell).
    std::signal(SIGPIPE, SIG_IGN);
    // Large blocks (a large message, its reply) are mapped on their own and
    // go back to the system when freed, instead of staying in the heap.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    static vesk::helper::Helper helper(vesk::EnvironmentLayout::production());
    return helper.run();
}
