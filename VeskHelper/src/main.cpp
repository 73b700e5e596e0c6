// VeskHelper: the privileged helper. It takes no options, reads no
// configuration file and no environment variables.
#include "Helper.hpp"

int main() {
    static vesk::helper::Helper helper(vesk::helper::Layout::production());
    return helper.run();
}
