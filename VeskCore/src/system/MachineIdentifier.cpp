#include "vesk/system/MachineIdentifier.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>

#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"
#include "vesk/foundation/Unicode.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/system/AtomicFile.hpp"

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

// Writes `text` to `file` through a temporary file in the same directory:
// the defaults are replaced only by a text written whole and synced.
bool replaceFile(const std::string& file, std::string_view text, mode_t mode) {
    atomicfile::Options options;
    options.mode = mode;
    return atomicfile::replace(file, text, options) == 0;
}

// The defaults' text with one more text member, everything else kept byte
// for byte; none unless the text is one JSON object.
std::optional<std::string> withMember(const std::string& text, std::string_view key,
                                      std::string_view value) {
    const auto close = text.find_last_of('}');
    if (close == std::string::npos) return std::nullopt;
    std::size_t before = close;
    while (before > 0 && std::isspace(static_cast<unsigned char>(text[before - 1])) != 0) --before;
    const bool empty = before > 0 && text[before - 1] == '{';
    const auto quoted = [](std::string_view s) {
        JsonWriter writer;
        writer.string(s);
        return writer.take();
    };
    std::string out = text.substr(0, before);
    out += empty ? "\n  " : ",\n  ";
    out += quoted(key) + ": " + quoted(value) + "\n";
    out += text.substr(close);
    return out;
}

// Identifiers made while the defaults could not hold one: stable for the
// life of the process at least.
std::mutex unstoredLock;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
std::map<std::string, std::string>
    unstored;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

std::string unstoredIdentifier(const std::string& file) {
    const std::lock_guard guard(unstoredLock);
    auto [it, fresh] = unstored.try_emplace(file);
    if (fresh) it->second = UUID::random().uuidString();
    return it->second;
}

// The fallback, under an exclusive lock so that two processes creating it at
// once both end up with the one stored. Defaults this code cannot read, or
// whose entry is not a text, are never overwritten; nor is anything but a
// whole new text ever put in their place.
std::string fallback(const std::string& file) {
    std::error_code ec;
    fs::create_directories(fs::path(file).parent_path(), ec);
    const std::string lockPath = file + ".lock";
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0) {
        while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    const auto unlock = [lock] {
        if (lock >= 0) ::close(lock);
    };
    constexpr std::size_t kDefaultsLimit = std::size_t{1} << 20;
    std::string text = "{}";
    mode_t mode = 0600;
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
        mode = st.st_mode & 0777;
        const auto read = readSmall(file, kDefaultsLimit + 1);
        if (!read || read->size() > kDefaultsLimit) {
            unlock();
            return unstoredIdentifier(file);
        }
        text = *read;
        try {
            const JsonDocument doc = JsonDocument::parse(text);
            const JsonIn root = doc.root();
            if (!root.isObject()) throw DecodingError(DecodingError::Fault::wrongType, "", "");
            if (const auto entry = root.find(kFallbackKey)) {
                if (!entry->isString())
                    throw DecodingError(DecodingError::Fault::wrongType, "", "");
                std::string value = entry->string();
                unlock();
                return value;
            }
        } catch (const DecodingError&) {
            unlock();
            return unstoredIdentifier(file);
        }
    }
    std::string value = unstoredIdentifier(file);
    const auto updated = withMember(text, kFallbackKey, value);
    if (updated) replaceFile(file, *updated, mode);
    unlock();
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
