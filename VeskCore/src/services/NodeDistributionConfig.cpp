#include "vesk/services/NodeDistributionConfig.hpp"

#include <algorithm>
#include <charconv>

namespace vesk {

bool NodeDistributionEntry::LTSValue::isLTS() const {
    return std::holds_alternative<std::string>(value) || std::get<bool>(value);
}

std::optional<std::string> NodeDistributionEntry::LTSValue::codename() const {
    if (const auto* name = std::get_if<std::string>(&value)) return *name;
    return std::nullopt;
}

void JsonCoding<NodeDistributionEntry::LTSValue>::encode(JsonOut out,
                                                         const NodeDistributionEntry::LTSValue& v) {
    if (const auto* name = std::get_if<std::string>(&v.value)) {
        out.string(*name);
    } else {
        out.boolean(std::get<bool>(v.value));
    }
}

NodeDistributionEntry::LTSValue JsonCoding<NodeDistributionEntry::LTSValue>::decode(
    const JsonIn& in) {
    if (in.isString()) return {std::string(in.stringView())};
    try {
        return {in.boolean()};
    } catch (const DecodingError&) {
        return {false};  // null, a number, anything else: not an LTS release
    }
}

bool JsonCoding<NodeDistributionEntry::LTSValue>::read(JsonTape& in,
                                                       NodeDistributionEntry::LTSValue& v) {
    std::string_view name;
    bool flag = false;
    if (in.readString(name)) {
        v.value = std::string(name);
    } else if (in.readBool(flag)) {
        v.value = flag;
    } else {
        in.skip();
        v.value = false;
    }
    return true;
}

bool NodeDistributionEntry::hasMacOSArm64() const {
    return std::find(files.begin(), files.end(), "osx-arm64-tar") != files.end();
}

bool NodeDistributionEntry::hasMacOSX64() const {
    return std::find(files.begin(), files.end(), "osx-x64-tar") != files.end();
}

NodeVersion NodeDistributionEntry::toNodeVersion(bool isInstalled,
                                                 std::optional<std::string> installPath) const {
    return NodeVersion{UUID::random(),        version,        npm,
                       lts.isLTS(),           lts.codename(), isInstalled,
                       std::move(installPath)};
}

namespace NodeDistributionConfig {

namespace {

std::string_view platform(std::string_view arch) {
    return arch == "arm64" ? "darwin-arm64" : "darwin-x64";
}

}  // namespace

const URL& baseURL() {
    static const URL url = *URL::parse("https://nodejs.org/dist");
    return url;
}

const URL& indexURL() {
    static const URL url = *URL::parse(baseURL().absoluteString() + "/index.json");
    return url;
}

std::int64_t majorVersion(std::string_view version) {
    if (!version.empty() && version.front() == 'v') version.remove_prefix(1);
    while (!version.empty() && version.front() == '.') version.remove_prefix(1);
    const std::string_view piece = version.substr(0, version.find('.'));
    if (piece.empty()) return 0;
    std::string_view digits = piece;
    if (digits.front() == '+') digits.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) return 0;
    return value;
}

std::string downloadURL(std::string_view version, std::string_view arch) {
    std::string s = baseURL().absoluteString();
    s += '/';
    s += version;
    s += "/node-";
    s += version;
    s += '-';
    s += platform(arch);
    s += ".tar.gz";
    return s;
}

std::string checksumURL(std::string_view version) {
    return baseURL().absoluteString() + "/" + std::string(version) + "/SHASUMS256.txt";
}

std::string extractedDirName(std::string_view version, std::string_view arch) {
    return "node-" + std::string(version) + "-" + std::string(platform(arch));
}

bool shouldShow(const NodeDistributionEntry& entry) {
    const std::int64_t major = majorVersion(entry.version);
    if (major < minimumMajorVersion) return false;
    if (std::holds_alternative<std::string>(entry.lts.value)) return true;
    if (std::find(std::begin(currentVersions), std::end(currentVersions), major) !=
        std::end(currentVersions)) {
        return true;
    }
    return std::get<bool>(entry.lts.value);
}

std::map<std::int64_t, std::vector<NodeDistributionEntry>> groupByMajor(
    const std::vector<NodeDistributionEntry>& entries) {
    std::map<std::int64_t, std::vector<NodeDistributionEntry>> groups;
    for (const auto& e : entries) groups[majorVersion(e.version)].push_back(e);
    return groups;
}

std::vector<NodeDistributionEntry> latestPerMajor(
    const std::vector<NodeDistributionEntry>& entries) {
    // Only the first entry of each major is kept, so only it is copied.
    std::map<std::int64_t, const NodeDistributionEntry*, std::greater<>> first;
    for (const auto& e : entries) first.try_emplace(majorVersion(e.version), &e);
    std::vector<NodeDistributionEntry> out;
    out.reserve(first.size());
    for (const auto& [major, entry] : first) out.push_back(*entry);
    return out;
}

}  // namespace NodeDistributionConfig

}  // namespace vesk
