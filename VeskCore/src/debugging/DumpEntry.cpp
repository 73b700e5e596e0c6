#include "vesk/debugging/DumpEntry.hpp"

#include "vesk/debugging/DumpPayload.hpp"
#include "vesk/foundation/Clock.hpp"

namespace vesk {

namespace {

struct LanguageLook {
    std::string_view icon;
    std::string_view color;
};

LanguageLook lookOf(std::string_view language) {
    if (language == "node" || language == "javascript" || language == "js") {
        return {"j.square.fill", "green"};
    }
    if (language == "python" || language == "py") return {"p.square.fill", "blue"};
    if (language == "go") return {"g.square.fill", "cyan"};
    if (language == "ruby" || language == "rb") return {"r.square.fill", "red"};
    return {"p.square.fill", "purple"};
}

}  // namespace

std::string_view DumpEntry::languageIcon() const {
    return lookOf(language).icon;
}

std::string_view DumpEntry::languageColorName() const {
    return lookOf(language).color;
}

DumpEntry DumpPayload::toDumpEntry() const {
    return DumpEntry{UUID::random(), Clock::now(), file,       line, content,
                     varType,        std::nullopt, siteDomain, "php"};
}

}  // namespace vesk
