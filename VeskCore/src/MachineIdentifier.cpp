#include "vesk/MachineIdentifier.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "vesk/Json.hpp"
#include "vesk/UUID.hpp"
#include "vesk/Unicode.hpp"
#include "vesk/VeskPaths.hpp"

namespace vesk::MachineIdentifier {

namespace {

namespace fs = std::filesystem;

// Vesk's application id: machine-specific identifiers are derived from the
// machine id keyed with it, so the machine id itself never leaves.
constexpr std::array<std::uint8_t, 16> kApplication{0x5e, 0x2b, 0x91, 0x7c, 0x0d, 0x43, 0x4a, 0x6f,
                                                    0x9b, 0x1e, 0x37, 0xc8, 0x55, 0xa0, 0x6d, 0x12};

std::optional<std::string> readSmall(const std::string& path, std::size_t limit = 4096) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::optional<std::string> fromProductUUID(const std::string& path) {
    const auto text = readSmall(path);
    if (!text) return std::nullopt;
    const auto uuid = UUID::parse(Unicode::trimmed(*text));
    if (!uuid) return std::nullopt;
    // Firmware without a real value reports all zeros or all ones.
    static constexpr std::array<std::uint8_t, 16> kZero{};
    std::array<std::uint8_t, 16> ones{};
    ones.fill(0xFF);
    if (uuid->bytes() == kZero || uuid->bytes() == ones) return std::nullopt;
    return uuid->uuidString();
}

std::optional<std::string> fromMachineId() {
    sd_id128_t application{};
    std::memcpy(application.bytes, kApplication.data(), kApplication.size());
    sd_id128_t id{};
    if (sd_id128_get_machine_app_specific(application, &id) < 0) return std::nullopt;
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), id.bytes, bytes.size());
    return UUID(bytes).uuidString();
}

// The fallback, under an exclusive lock so that two processes creating it at
// once both end up with the one stored.
std::string fallback(const std::string& file) {
    std::error_code ec;
    fs::create_directories(fs::path(file).parent_path(), ec);
    const std::string lockPath = file + ".lock";
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0) {
        while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    std::map<std::string, std::string> defaults;
    bool writable = true;
    constexpr std::size_t kDefaultsLimit = std::size_t{1} << 20;
    if (const auto text = readSmall(file, kDefaultsLimit + 1)) {
        try {
            if (text->size() > kDefaultsLimit)
                throw DecodingError(DecodingError::Fault::corrupted, "", "");
            defaults = decodeJSON<std::map<std::string, std::string>>(*text);
        } catch (const DecodingError&) {
            // Defaults this code cannot read are never overwritten: the
            // identifier is then fresh for this call only.
            writable = false;
        }
    }
    std::string value;
    if (const auto it = defaults.find(kFallbackKey); it != defaults.end()) {
        value = it->second;
    } else if (!writable) {
        value = UUID::random().uuidString();
    } else {
        value = UUID::random().uuidString();
        defaults[kFallbackKey] = value;
        const std::string tmp = file + ".tmp-" + std::to_string(::getpid());
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            CodingOptions pretty;
            pretty.indent = 2;
            out << encodeJSON(defaults, pretty);
        }
        std::rename(tmp.c_str(), file.c_str());
    }
    if (lock >= 0) ::close(lock);
    return value;
}

}  // namespace

std::string defaultsFile(const Sources& sources) {
    if (!sources.defaultsFile.empty()) return sources.defaultsFile;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const std::string config = xdg != nullptr && xdg[0] == '/'
                                   ? std::string(xdg)
                                   : VeskPaths::homeDirectory() + "/.config";
    return config + "/vesk/defaults.json";
}

std::string hardwareUUID(const Sources& sources) {
    if (auto id = fromProductUUID(sources.productUUID)) return *id;
    if (sources.machineIdAllowed) {
        if (auto id = fromMachineId()) return *id;
    }
    return fallback(defaultsFile(sources));
}

std::string machineName(const Sources& sources) {
    if (const auto info = readSmall(sources.machineInfo)) {
        for (const auto line : Unicode::lines(*info)) {
            const std::string_view l = Unicode::trimmed(line);
            if (l.rfind("PRETTY_HOSTNAME=", 0) != 0) continue;
            std::string_view value = l.substr(16);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            if (!value.empty()) return std::string(value);
        }
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return host;
    return "Mac";
}

}  // namespace vesk::MachineIdentifier
