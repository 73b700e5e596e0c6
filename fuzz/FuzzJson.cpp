// The JSON layer: the input (after a leading byte that picks a record family)
// is decoded as that family; whatever decodes must re-encode, compact and
// pretty-printed, and decode again to an equal value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "vesk/app/AppNotification.hpp"
#include "vesk/app/BuildInfo.hpp"
#include "vesk/app/GitHubRelease.hpp"
#include "vesk/app/PluginManifest.hpp"
#include "vesk/debugging/CapturedMail.hpp"
#include "vesk/debugging/DumpPayload.hpp"
#include "vesk/debugging/ErrorEntry.hpp"
#include "vesk/debugging/ProfileData.hpp"
#include "vesk/foundation/AppConfig.hpp"
#include "vesk/foundation/json/Stream.hpp"
#include "vesk/services/DatabaseSnapshot.hpp"
#include "vesk/services/NodeDistributionConfig.hpp"
#include "vesk/services/PHPManifest.hpp"
#include "vesk/services/ServiceHealth.hpp"
#include "vesk/services/ServiceManifest.hpp"
#include "vesk/sites/DashboardStats.hpp"
#include "vesk/sites/Site.hpp"

namespace {

// Decoding through JsonIn alone: the one pass over the tape must agree with
// it on every text, value for value and error for error.
template <class T>
std::optional<T> throughJsonIn(std::string_view text, const vesk::CodingOptions& options,
                               std::string& error) {
    try {
        const vesk::JsonDocument doc = vesk::JsonDocument::parse(text, options);
        return vesk::decodeValue<T>(doc.root());
    } catch (const vesk::DecodingError& e) {
        error = e.what();
        return std::nullopt;
    }
}

// A stream that reads the text by itself reads what JsonIn reads.
template <class T>
void streamAgrees(std::string_view text, const vesk::CodingOptions& options,
                  const std::optional<T>& slow) {
    std::string padded(text);
    padded.reserve(padded.size() + vesk::kJsonPadding);
    vesk::JsonStream stream(vesk::PaddedText{padded}, options);
    T value{};
    if (vesk::readValue(stream, value) && stream.finish() && !(slow && *slow == value)) {
        std::abort();
    }
}

template <class T>
void roundTrip(std::string_view text, vesk::CodingOptions options) {
    std::string slowError;
    const std::optional<T> slow = throughJsonIn<T>(text, options, slowError);
    if constexpr (std::is_same_v<T, vesk::ProfileRun> || std::is_same_v<T, vesk::Site>) {
        streamAgrees<T>(text, options, slow);
    }
    T value;
    try {
        value = vesk::decodeJSON<T>(text, options);
    } catch (const vesk::DecodingError& e) {
        if (slow || slowError != e.what()) std::abort();
        return;
    }
    if (!slow || !(*slow == value)) std::abort();
    vesk::CodingOptions pretty = options;
    pretty.indent = 2;
    pretty.maxIndentLevels = 4;
    for (const auto& o : {options, pretty}) {
        const std::string again = vesk::encodeJSON(value, o);
        if (!(vesk::decodeJSON<T>(again, options) == value)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    vesk::CodingOptions options;
    if ((data[0] & 0x80) != 0) options.dates = vesk::DateStrategy::iso8601;
    switch (data[0] % 16) {
        case 0:
            roundTrip<vesk::Site>(text, options);
            break;
        case 1:
            roundTrip<vesk::ServiceManifest>(text, options);
            break;
        case 2:
            roundTrip<vesk::PHPManifest>(text, options);
            break;
        case 3:
            roundTrip<std::vector<vesk::NodeDistributionEntry>>(text, options);
            break;
        case 4:
            roundTrip<vesk::GitHubRelease>(text, options);
            break;
        case 5:
            roundTrip<vesk::DumpPayload>(text, options);
            break;
        case 6:
            roundTrip<vesk::PluginManifest>(text, options);
            break;
        case 7:
            roundTrip<vesk::ProfileRun>(text, options);
            break;
        case 8:
            roundTrip<vesk::ServiceHealth>(text, options);
            break;
        case 9:
            roundTrip<vesk::NotificationPreferences>(text, options);
            break;
        case 10:
            roundTrip<vesk::CapturedMail>(text, options);
            break;
        case 11:
            roundTrip<vesk::ErrorEntry>(text, options);
            break;
        case 12:
            roundTrip<vesk::DashboardStats>(text, options);
            break;
        case 13:
            roundTrip<vesk::SnapshotIndex>(text, options);
            break;
        case 14:
            roundTrip<vesk::AppConfig>(text, options);
            break;
        default:
            roundTrip<vesk::BuildInfo>(text, options);
            break;
    }
    return 0;
}
