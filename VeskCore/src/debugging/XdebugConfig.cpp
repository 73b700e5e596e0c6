#include "vesk/debugging/XdebugConfig.hpp"

namespace vesk {

std::string_view ideKey(IDEPreset preset) {
    return preset == IDEPreset::vscode ? "VSCODE" : "PHPSTORM";
}

std::int64_t defaultPort(IDEPreset) {
    return 9003;
}

XdebugConfig XdebugConfig::preset(IDEPreset ide, XdebugMode mode) {
    return XdebugConfig{mode, std::string(vesk::ideKey(ide)), "127.0.0.1", defaultPort(ide), true};
}

}  // namespace vesk
