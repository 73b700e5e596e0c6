// The official Node.js distribution index and the rules that pick, group and
// name its releases.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/URL.hpp"
#include "vesk/services/NodeVersion.hpp"

namespace vesk {

struct NodeDistributionEntry {
    /// The index's "lts": false, true, or the release line's code name.
    struct LTSValue {
        std::variant<bool, std::string> value = false;

        [[nodiscard]] bool isLTS() const;
        [[nodiscard]] std::optional<std::string> codename() const;
        friend bool operator==(const LTSValue&, const LTSValue&) = default;
    };

    std::string version;
    std::string date;
    std::vector<std::string> files;
    std::optional<std::string> npm;
    LTSValue lts;
    bool security = false;

    [[nodiscard]] bool hasMacOSArm64() const;
    [[nodiscard]] bool hasMacOSX64() const;
    /// A new NodeVersion (fresh id) for this release.
    [[nodiscard]] NodeVersion toNodeVersion(bool isInstalled,
                                            std::optional<std::string> installPath) const;

    friend bool operator==(const NodeDistributionEntry&, const NodeDistributionEntry&) = default;
};

/// A Boolean or a text; any other JSON value reads as false, never an error.
template <>
struct JsonCoding<NodeDistributionEntry::LTSValue> {
    static void encode(JsonOut out, const NodeDistributionEntry::LTSValue& v);
    static NodeDistributionEntry::LTSValue decode(const JsonIn& in);
    static bool read(JsonTape& in, NodeDistributionEntry::LTSValue& v);
};

namespace NodeDistributionConfig {

/// The "/dist" directory of the official Node.js download site.
const URL& baseURL();
/// baseURL + "/index.json".
const URL& indexURL();
inline constexpr std::int64_t supportedLTSVersions[] = {18, 20, 22, 24};
inline constexpr std::int64_t currentVersions[] = {23, 25};
inline constexpr std::int64_t minimumMajorVersion = 18;

/// "v22.11.0" → 22; "18" → 18; "" or "vX" → 0.
std::int64_t majorVersion(std::string_view version);
/// baseURL/V/node-V-darwin-arm64.tar.gz ("darwin-x64" for any arch but "arm64").
std::string downloadURL(std::string_view version, std::string_view arch);
std::string checksumURL(std::string_view version);
std::string extractedDirName(std::string_view version, std::string_view arch);
/// Whether a release of the index is offered.
bool shouldShow(const NodeDistributionEntry& entry);
/// Entries by major version, each list in input order.
std::map<std::int64_t, std::vector<NodeDistributionEntry>> groupByMajor(
    const std::vector<NodeDistributionEntry>& entries);
/// The first entry of each major in input order, highest major first.
std::vector<NodeDistributionEntry> latestPerMajor(
    const std::vector<NodeDistributionEntry>& entries);

}  // namespace NodeDistributionConfig

}  // namespace vesk

VESK_RECORD(vesk::NodeDistributionEntry,
            vesk::field("version", &vesk::NodeDistributionEntry::version),
            vesk::field("date", &vesk::NodeDistributionEntry::date),
            vesk::field("files", &vesk::NodeDistributionEntry::files),
            vesk::field("npm", &vesk::NodeDistributionEntry::npm),
            vesk::field("lts", &vesk::NodeDistributionEntry::lts),
            vesk::field("security", &vesk::NodeDistributionEntry::security));
