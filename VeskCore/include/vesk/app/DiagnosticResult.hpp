// Results of a site's health checks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

enum class DiagnosticSeverity { passed, warning, error };

}  // namespace vesk

VESK_RAW_ENUM(vesk::DiagnosticSeverity, {vesk::DiagnosticSeverity::passed, "passed"},
              {vesk::DiagnosticSeverity::warning, "warning"},
              {vesk::DiagnosticSeverity::error, "error"});

namespace vesk {

struct DiagnosticResult {
    std::string label;
    DiagnosticSeverity severity = DiagnosticSeverity::passed;
    std::optional<std::string> suggestion;

    friend bool operator==(const DiagnosticResult&, const DiagnosticResult&) = default;
};

/// The results in the order the checks ran.
struct DiagnosticReport {
    std::vector<DiagnosticResult> results;

    [[nodiscard]] std::size_t passedCount() const { return count(DiagnosticSeverity::passed); }
    [[nodiscard]] std::size_t warningCount() const { return count(DiagnosticSeverity::warning); }
    [[nodiscard]] std::size_t errorCount() const { return count(DiagnosticSeverity::error); }

    friend bool operator==(const DiagnosticReport&, const DiagnosticReport&) = default;

  private:
    [[nodiscard]] std::size_t count(DiagnosticSeverity severity) const;
};

}  // namespace vesk

VESK_RECORD(vesk::DiagnosticResult, vesk::field("label", &vesk::DiagnosticResult::label),
            vesk::field("severity", &vesk::DiagnosticResult::severity),
            vesk::field("suggestion", &vesk::DiagnosticResult::suggestion));
VESK_HASHABLE(vesk::DiagnosticResult);
