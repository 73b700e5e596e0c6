#include "vesk/AppConfig.hpp"

#include <functional>

namespace vesk {

namespace {

void mix(std::size_t& h, std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); }

template <class T>
void mixValue(std::size_t& h, const T& v) {
    if constexpr (std::is_enum_v<T>) {
        mix(h, std::hash<std::size_t>{}(caseIndex(v)));
    } else {
        mix(h, std::hash<T>{}(v));
    }
}

}  // namespace

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

std::size_t std::hash<vesk::ShortcutConfig>::operator()(
    const vesk::ShortcutConfig& v) const noexcept {
    std::size_t h = 0;
    vesk::mixValue(h, v.toggleApp);
    vesk::mixValue(h, v.quickSwitcher);
    vesk::mixValue(h, v.toggleAppKeyCode);
    vesk::mixValue(h, v.toggleAppModifiers);
    return h;
}

std::size_t std::hash<vesk::AppConfig>::operator()(const vesk::AppConfig& v) const noexcept {
    std::size_t h = 0;
    for (const auto& p : v.parkedPaths) vesk::mixValue(h, p);
    vesk::mixValue(h, v.defaultParkedPath.value_or(""));
    vesk::mixValue(h, v.defaultTLD);
    vesk::mixValue(h, v.defaultPHPVersion);
    for (auto s : v.autoStartServices) vesk::mixValue(h, s);
    vesk::mixValue(h, v.globalShortcuts);
    vesk::mixValue(h, v.preferredTerminal);
    vesk::mixValue(h, v.preferredEditor);
    vesk::mixValue(h, v.hasCompletedOnboarding);
    vesk::mixValue(h, v.autoStartOnLogin);
    vesk::mixValue(h, v.autoStartCoreServices);
    vesk::mixValue(h, v.stopServicesOnQuit);
    vesk::mixValue(h, v.preferredBrowser);
    vesk::mixValue(h, v._sitesDirectory);
    vesk::mixValue(h, v.theme);
    vesk::mixValue(h, v.menuBarOnly);
    vesk::mixValue(h, v.alwaysOnTop);
    vesk::mixValue(h, v.autoDetectPublicFolder);
    if (v.locale) vesk::mixValue(h, *v.locale);
    return h;
}
