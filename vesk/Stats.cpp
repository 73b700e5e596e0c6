// vesk stats [--range 5m|15m|1h|24h] [--site SITE] [--json] [--log FILE]:
// the access log (the library's reader) summed up for the developer.
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/NumberText.hpp"
#include "vesk/sites/AccessLog.hpp"

namespace vesk::cli {

namespace {

std::string formatMilliseconds(const std::optional<double>& ms) {
    if (!ms) return "-";
    return NumberText::fixed(*ms, 1) + " ms";
}

}  // namespace

int stats(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const std::string rangeText = args.value("--range").value_or("24h");
    const auto range = fromRawValue<TimeRange>(rangeText);
    if (!range) throw Failure{"--range takes 5m, 15m, 1h or 24h, not " + rangeText};
    std::optional<std::string> host = args.value("--site");
    if (host && host->find('.') == std::string::npos) *host += "." + currentSettings().defaultTLD;
    const std::string log =
        args.value("--log").value_or(servers().layout.logDir() + "/nginx-access.log");
    const double since = Date::now().timeIntervalSince1970() - seconds(*range);
    accesslog::Reading reading = accesslog::read(log, since, host);
    const DashboardStats s = reading.tally.finish(*range);
    if (args.has("--json")) {
        std::cout << scriptJSON(s) << "\n";
    } else {
        std::cout << "Requests in the last " << rangeText << (host ? " to " + *host : "") << ": "
                  << s.totalRequests << " (" << s.totalBytes << " bytes)\n";
        std::cout << "Response time: mean " << formatMilliseconds(s.avgResponseTime) << ", p95 "
                  << formatMilliseconds(s.p95ResponseTime) << ", p99 "
                  << formatMilliseconds(s.p99ResponseTime) << "\n";
        std::cout << "Status:";
        for (const auto& [category, count] : s.statusBreakdown) {
            std::cout << "  " << category << " " << count;
        }
        std::cout << "\nTop endpoints:\n";
        for (const auto& e : s.topEndpoints)
            std::cout << "  " << e.count << "  " << e.endpoint << "\n";
    }
    if (reading.skipped > 0 || reading.truncated > 0) {
        std::cerr << "vesk: " << reading.skipped << " lines of " << log
                  << " are not in the access log's format and were skipped"
                  << (reading.truncated > 0 ? "; its last line was still being written" : "")
                  << "\n";
    }
    return 0;
}

}  // namespace vesk::cli
