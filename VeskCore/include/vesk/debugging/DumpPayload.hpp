// A dump message as a developer's code sends it to the debug socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"

namespace vesk {

struct DumpEntry;

struct TraceFrame {
    std::string file;
    std::int64_t line = 0;
    std::optional<std::string> function;
    friend bool operator==(const TraceFrame&, const TraceFrame&) = default;
};

struct DumpPayload {
    std::string type;  ///< the client's message type; not kept in the entry
    std::string file;
    std::int64_t line = 0;
    std::string content;
    std::string varType;
    std::optional<std::vector<TraceFrame>> trace;
    std::optional<std::string> siteDomain;

    /// A new entry (fresh id, the library clock's now) of language "php".
    [[nodiscard]] DumpEntry toDumpEntry() const;

    friend bool operator==(const DumpPayload&, const DumpPayload&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::TraceFrame, vesk::field("file", &vesk::TraceFrame::file),
            vesk::field("line", &vesk::TraceFrame::line),
            vesk::field("function", &vesk::TraceFrame::function));
VESK_HASHABLE(vesk::TraceFrame);
VESK_RECORD(vesk::DumpPayload, vesk::field("type", &vesk::DumpPayload::type),
            vesk::field("file", &vesk::DumpPayload::file),
            vesk::field("line", &vesk::DumpPayload::line),
            vesk::field("content", &vesk::DumpPayload::content),
            vesk::field("varType", &vesk::DumpPayload::varType),
            vesk::field("trace", &vesk::DumpPayload::trace),
            vesk::field("siteDomain", &vesk::DumpPayload::siteDomain));
