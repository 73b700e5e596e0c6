// A dump as it is kept and listed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct DumpEntry {
    UUID id;
    Date timestamp;
    std::string file;
    std::int64_t line = 0;
    std::string content;
    std::string type;
    std::optional<std::string> label;
    std::optional<std::string> siteDomain;
    std::string language;

    /// The symbol of the sending code's language ("p.square.fill" for PHP and anything unknown).
    [[nodiscard]] std::string_view languageIcon() const;
    /// Its colour ("purple" for PHP and anything unknown).
    [[nodiscard]] std::string_view languageColorName() const;

    friend bool operator==(const DumpEntry&, const DumpEntry&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::DumpEntry, vesk::field("id", &vesk::DumpEntry::id),
            vesk::field("timestamp", &vesk::DumpEntry::timestamp),
            vesk::field("file", &vesk::DumpEntry::file),
            vesk::field("line", &vesk::DumpEntry::line),
            vesk::field("content", &vesk::DumpEntry::content),
            vesk::field("type", &vesk::DumpEntry::type),
            vesk::field("label", &vesk::DumpEntry::label),
            vesk::field("siteDomain", &vesk::DumpEntry::siteDomain),
            vesk::field("language", &vesk::DumpEntry::language));
