// The user's application settings and their choice lists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/ServiceType.hpp"
#include "vesk/foundation/URL.hpp"

namespace vesk {

enum class Terminal { terminal, iterm, warp };
enum class Editor { vscode, phpstorm, sublime, cursor, zed };
enum class Browser { systemDefault, safari, chrome, firefox, arc };
enum class AppTheme { automatic, light, dark };  // "auto" is a C++ keyword

}  // namespace vesk

VESK_RAW_ENUM(vesk::Terminal, {vesk::Terminal::terminal, "terminal"},
              {vesk::Terminal::iterm, "iterm"}, {vesk::Terminal::warp, "warp"});
VESK_RAW_ENUM(vesk::Editor, {vesk::Editor::vscode, "vscode"}, {vesk::Editor::phpstorm, "phpstorm"},
              {vesk::Editor::sublime, "sublime"}, {vesk::Editor::cursor, "cursor"},
              {vesk::Editor::zed, "zed"});
VESK_RAW_ENUM(vesk::Browser, {vesk::Browser::systemDefault, "systemDefault"},
              {vesk::Browser::safari, "safari"}, {vesk::Browser::chrome, "chrome"},
              {vesk::Browser::firefox, "firefox"}, {vesk::Browser::arc, "arc"});
VESK_RAW_ENUM(vesk::AppTheme, {vesk::AppTheme::automatic, "auto"}, {vesk::AppTheme::light, "light"},
              {vesk::AppTheme::dark, "dark"});

namespace vesk {

/// The format text that opens a file at a line: "%@" the path, "%d" the line.
std::string_view urlScheme(Editor editor);

/// The editor link for a file and line; none when the result is not a URL.
std::optional<URL> fileURL(Editor editor, std::string_view path, long long line);

struct ShortcutConfig {
    static constexpr std::uint32_t defaultToggleKeyCode = 11;     // the B key
    static constexpr std::uint32_t defaultToggleModifiers = 768;  // command + shift

    std::string toggleApp;
    std::string quickSwitcher;
    std::uint32_t toggleAppKeyCode = 0;
    std::uint32_t toggleAppModifiers = 0;

    static ShortcutConfig defaultValue();

    friend bool operator==(const ShortcutConfig&, const ShortcutConfig&) = default;
};

struct AppConfig {
    std::vector<std::string> parkedPaths;
    std::optional<std::string> defaultParkedPath;
    std::string defaultTLD;
    std::string defaultPHPVersion;
    std::vector<ServiceType> autoStartServices;
    ShortcutConfig globalShortcuts;
    Terminal preferredTerminal = Terminal::terminal;
    Editor preferredEditor = Editor::vscode;
    bool hasCompletedOnboarding = false;
    bool autoStartOnLogin = false;
    bool autoStartCoreServices = false;
    bool stopServicesOnQuit = false;
    Browser preferredBrowser = Browser::systemDefault;
    std::string _sitesDirectory;  // NOLINT(bugprone-reserved-identifier): the stored name
    AppTheme theme = AppTheme::automatic;
    bool menuBarOnly = false;
    bool alwaysOnTop = false;
    bool autoDetectPublicFolder = false;
    std::optional<Locale> locale;

    /// The defaults: a fresh record on every call.
    static AppConfig defaultValue();

    [[nodiscard]] const std::string& sitesDirectory() const noexcept { return _sitesDirectory; }
    void setSitesDirectory(std::string value) { _sitesDirectory = std::move(value); }

    friend bool operator==(const AppConfig&, const AppConfig&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::ShortcutConfig, vesk::field("toggleApp", &vesk::ShortcutConfig::toggleApp),
            vesk::field("quickSwitcher", &vesk::ShortcutConfig::quickSwitcher),
            vesk::field("toggleAppKeyCode", &vesk::ShortcutConfig::toggleAppKeyCode),
            vesk::field("toggleAppModifiers", &vesk::ShortcutConfig::toggleAppModifiers));

VESK_RECORD(vesk::AppConfig, vesk::field("parkedPaths", &vesk::AppConfig::parkedPaths),
            vesk::field("defaultParkedPath", &vesk::AppConfig::defaultParkedPath),
            vesk::field("defaultTLD", &vesk::AppConfig::defaultTLD),
            vesk::field("defaultPHPVersion", &vesk::AppConfig::defaultPHPVersion),
            vesk::field("autoStartServices", &vesk::AppConfig::autoStartServices),
            vesk::field("globalShortcuts", &vesk::AppConfig::globalShortcuts),
            vesk::field("preferredTerminal", &vesk::AppConfig::preferredTerminal),
            vesk::field("preferredEditor", &vesk::AppConfig::preferredEditor),
            vesk::field("hasCompletedOnboarding", &vesk::AppConfig::hasCompletedOnboarding),
            vesk::field("autoStartOnLogin", &vesk::AppConfig::autoStartOnLogin),
            vesk::field("autoStartCoreServices", &vesk::AppConfig::autoStartCoreServices),
            vesk::field("stopServicesOnQuit", &vesk::AppConfig::stopServicesOnQuit),
            vesk::field("preferredBrowser", &vesk::AppConfig::preferredBrowser),
            vesk::field("sitesDirectory", &vesk::AppConfig::_sitesDirectory),
            vesk::field("theme", &vesk::AppConfig::theme),
            vesk::field("menuBarOnly", &vesk::AppConfig::menuBarOnly),
            vesk::field("alwaysOnTop", &vesk::AppConfig::alwaysOnTop),
            vesk::field("autoDetectPublicFolder", &vesk::AppConfig::autoDetectPublicFolder),
            vesk::field("locale", &vesk::AppConfig::locale));

VESK_HASHABLE(vesk::ShortcutConfig);
VESK_HASHABLE(vesk::AppConfig);
