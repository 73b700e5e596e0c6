#include "vesk/foundation/AppConfig.hpp"

namespace vesk {

std::string_view urlScheme(Editor editor) {
    switch (editor) {
        case Editor::vscode:
            return "vscode://file/%@:%d";
        case Editor::phpstorm:
            return "phpstorm://open?file=%@&line=%d";
        case Editor::sublime:
            return "subl://open?url=file://%@&line=%d";
        case Editor::cursor:
            return "cursor://file/%@:%d";
        case Editor::zed:
            return "zed://file/%@:%d";
    }
    return {};
}

std::optional<URL> fileURL(Editor editor, std::string_view path, long long line) {
    return URL::parse(L10n::format(urlScheme(editor), {std::string(path), line}));
}

ShortcutConfig ShortcutConfig::defaultValue() {
    return ShortcutConfig{"\u2318\u21E7B", "\u2325\u21E7S", defaultToggleKeyCode,
                          defaultToggleModifiers};
}

AppConfig AppConfig::defaultValue() {
    return AppConfig{{},
                     std::nullopt,
                     "test",
                     "8.4",
                     {},
                     ShortcutConfig::defaultValue(),
                     Terminal::terminal,
                     Editor::vscode,
                     false,
                     false,
                     true,
                     false,
                     Browser::systemDefault,
                     "~/Sites",
                     AppTheme::automatic,
                     false,
                     false,
                     true,
                     std::nullopt};
}

}  // namespace vesk
