// Application log lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct LogEntry {
    enum class LogLevel { debug, info, notice, warning, error, critical, alert, emergency };

    UUID id;
    Date timestamp;
    LogLevel level = LogLevel::debug;
    std::string message;
    std::optional<std::string> context;
    std::string channel;
    std::optional<std::string> file;

    friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

}  // namespace vesk

VESK_RAW_ENUM(vesk::LogEntry::LogLevel, {vesk::LogEntry::LogLevel::debug, "debug"},
              {vesk::LogEntry::LogLevel::info, "info"},
              {vesk::LogEntry::LogLevel::notice, "notice"},
              {vesk::LogEntry::LogLevel::warning, "warning"},
              {vesk::LogEntry::LogLevel::error, "error"},
              {vesk::LogEntry::LogLevel::critical, "critical"},
              {vesk::LogEntry::LogLevel::alert, "alert"},
              {vesk::LogEntry::LogLevel::emergency, "emergency"});

namespace vesk {

/// "gray", "blue", "cyan", "yellow", then "red" from error up.
std::string_view color(LogEntry::LogLevel level);

}  // namespace vesk

VESK_RECORD(vesk::LogEntry, vesk::field("id", &vesk::LogEntry::id),
            vesk::field("timestamp", &vesk::LogEntry::timestamp),
            vesk::field("level", &vesk::LogEntry::level),
            vesk::field("message", &vesk::LogEntry::message),
            vesk::field("context", &vesk::LogEntry::context),
            vesk::field("channel", &vesk::LogEntry::channel),
            vesk::field("file", &vesk::LogEntry::file));
