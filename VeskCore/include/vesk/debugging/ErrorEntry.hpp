// Captured errors and warnings, with the source lines around an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct CodeSnippet {
    struct CodeLine {
        std::int64_t number = 0;  ///< 1-based
        std::string content;
        friend bool operator==(const CodeLine&, const CodeLine&) = default;
    };

    std::vector<CodeLine> lines;

    /// Lines errorLine − context to errorLine + context of `code`, clipped to
    /// the text; every newline character ends a line (CR LF leaves an empty
    /// line between). Empty when nothing of the window lies in the text.
    static CodeSnippet from(std::string_view code, std::int64_t errorLine, std::int64_t context);

    friend bool operator==(const CodeSnippet&, const CodeSnippet&) = default;
};

/// The last path component ("User.php" of "/app/Models/User.php").
std::string lastPathComponent(std::string_view path);

struct ErrorEntry {
    UUID id;
    Date timestamp;
    std::string type;
    std::string message;
    std::string file;
    std::int64_t line = 0;
    std::optional<std::string> trace;
    std::optional<CodeSnippet> codeSnippet;
    std::optional<std::string> siteDomain;
    bool isDismissed = false;

    [[nodiscard]] std::string shortFile() const { return lastPathComponent(file); }
    /// "Type: message\nFile: f:l\nTime: 2025-01-31 12:00:00 +0000\n" and the trace.
    [[nodiscard]] std::string fullDescription() const;

    friend bool operator==(const ErrorEntry&, const ErrorEntry&) = default;
};

struct WarningEntry {
    UUID id;
    Date timestamp;
    std::string level;
    std::string message;
    std::string file;
    std::int64_t line = 0;
    std::optional<std::string> siteDomain;

    [[nodiscard]] std::string shortFile() const { return lastPathComponent(file); }

    friend bool operator==(const WarningEntry&, const WarningEntry&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::CodeSnippet::CodeLine,
            vesk::field("number", &vesk::CodeSnippet::CodeLine::number),
            vesk::field("content", &vesk::CodeSnippet::CodeLine::content));
VESK_RECORD(vesk::CodeSnippet, vesk::field("lines", &vesk::CodeSnippet::lines));
VESK_RECORD(vesk::ErrorEntry, vesk::field("id", &vesk::ErrorEntry::id),
            vesk::field("timestamp", &vesk::ErrorEntry::timestamp),
            vesk::field("type", &vesk::ErrorEntry::type),
            vesk::field("message", &vesk::ErrorEntry::message),
            vesk::field("file", &vesk::ErrorEntry::file),
            vesk::field("line", &vesk::ErrorEntry::line),
            vesk::field("trace", &vesk::ErrorEntry::trace),
            vesk::field("codeSnippet", &vesk::ErrorEntry::codeSnippet),
            vesk::field("siteDomain", &vesk::ErrorEntry::siteDomain),
            vesk::field("isDismissed", &vesk::ErrorEntry::isDismissed));
VESK_RECORD(vesk::WarningEntry, vesk::field("id", &vesk::WarningEntry::id),
            vesk::field("timestamp", &vesk::WarningEntry::timestamp),
            vesk::field("level", &vesk::WarningEntry::level),
            vesk::field("message", &vesk::WarningEntry::message),
            vesk::field("file", &vesk::WarningEntry::file),
            vesk::field("line", &vesk::WarningEntry::line),
            vesk::field("siteDomain", &vesk::WarningEntry::siteDomain));
