#include "vesk/app/DiagnosticResult.hpp"

#include <algorithm>

namespace vesk {

std::size_t DiagnosticReport::count(DiagnosticSeverity severity) const {
    return static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(),
                      [&](const DiagnosticResult& r) { return r.severity == severity; }));
}

}  // namespace vesk
