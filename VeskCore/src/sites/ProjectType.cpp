#include "vesk/sites/ProjectType.hpp"

#include <array>

namespace vesk {

namespace {

struct Row {
    std::string_view displayName, shortName, icon, iconName, colorHex, color;
};

// Indexed by declaration order of ProjectType.
constexpr std::array<Row, 15> kRows{{
    {"Laravel", "Laravel", "\U0001F53A", "leaf", "#FF2D20", "red"},
    {"PHP", "PHP", "\U0001F418", "p.circle", "#777BB4", "purple"},
    {"Node.js", "Node", "\U0001F49A", "j.square", "#339933", "green"},
    {"React Native", "RN", "\U0001F4F1", "iphone.and.arrow.forward", "#61DAFB", "cyan"},
    {"Flutter", "Flutter", "\U0001F499", "bird", "#02569B", "blue"},
    {"Python", "Python", "\U0001F40D", "chevron.left.forwardslash.chevron.right", "#3776AB",
     "blue"},
    {"Go", "Go", "\U0001F439", "hare", "#00ADD8", "cyan"},
    {"Ruby", "Ruby", "\U0001F48E", "diamond", "#CC342D", "red"},
    {"Swift", "Swift", "\U0001F426", "swift", "#F05138", "orange"},
    {"Java", "Java", "\u2615\uFE0F", "cup.and.saucer", "#007396", "blue"},
    {"Kotlin", "Kotlin", "\U0001F7E3", "k.circle", "#7F52FF", "purple"},
    {"Rust", "Rust", "\U0001F980", "gearshape.2", "#DEA584", "orange"},
    {"CLI Tool", "CLI", "\u2328\uFE0F", "terminal", "#4A5568", "gray"},
    {"Static Site", "Static", "\U0001F4C4", "doc.text", "#E34F26", "orange"},
    {"Unknown", "?", "\u2753", "questionmark.folder", "#6B7280", "gray"},
}};

const Row& row(ProjectType t) {
    return kRows.at(caseIndex(t));
}

template <class... T>
bool oneOf(ProjectType t, T... cases) {
    return ((t == cases) || ...);
}

using P = ProjectType;

}  // namespace

std::string_view displayName(ProjectType t) {
    return row(t).displayName;
}
std::string_view shortName(ProjectType t) {
    return row(t).shortName;
}
std::string_view icon(ProjectType t) {
    return row(t).icon;
}
std::string_view iconName(ProjectType t) {
    return row(t).iconName;
}
std::string_view colorHex(ProjectType t) {
    return row(t).colorHex;
}
std::string_view color(ProjectType t) {
    return row(t).color;
}

bool supportsPHP(ProjectType t) {
    return oneOf(t, P::laravel, P::php);
}
bool supportsNode(ProjectType t) {
    return oneOf(t, P::laravel, P::nodejs, P::reactNative);
}
bool requiresWebServer(ProjectType t) {
    return oneOf(t, P::laravel, P::php, P::staticSite);
}
bool needsDomain(ProjectType t) {
    return oneOf(t, P::laravel, P::php, P::nodejs, P::python, P::golang, P::ruby, P::java,
                 P::staticSite, P::unknown);
}
bool isMobile(ProjectType t) {
    return oneOf(t, P::reactNative, P::flutter, P::kotlin);
}
bool isNativeApp(ProjectType t) {
    return oneOf(t, P::swift, P::java, P::kotlin);
}
bool isCLI(ProjectType t) {
    return oneOf(t, P::rust, P::cli);
}

}  // namespace vesk
