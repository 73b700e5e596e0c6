#include "vesk/debugging/MailSpool.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>

#include "vesk/foundation/UUID.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/system/AtomicFile.hpp"
#include "vesk/system/Fd.hpp"

namespace vesk::mail {

namespace {

constexpr std::string_view kMagic = "VESK-SPOOL 1\n";
constexpr std::string_view kSuffix = ".mail";
constexpr std::size_t kLargestEnvelope = std::size_t{2} << 20;
constexpr std::size_t kMostRecipients = 1000;

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() > suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/// The whole regular file at `path`, when it is at most `limit` bytes.
std::optional<std::string> readBounded(const std::string& path, std::size_t limit) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > limit) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += static_cast<std::size_t>(n);
    }
    return text;
}

/// The next line of `text` from `at` (moved past it); none at its end.
std::optional<std::string_view> nextLine(std::string_view text, std::size_t& at) {
    const auto nl = text.find('\n', at);
    if (nl == std::string_view::npos) return std::nullopt;
    const std::string_view line = text.substr(at, nl - at);
    at = nl + 1;
    return line;
}

}  // namespace

std::string storeDirectory() {
    return VeskPaths::baseDir() + "/mail";
}

std::string spoolDirectory() {
    return VeskPaths::baseDir() + "/mail/spool";
}

bool isEnvelopeAddress(std::string_view address) {
    if (address.size() > 998) return false;
    return std::none_of(address.begin(), address.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F || c == '<' || c == '>';
    });
}

Spool::Spool(std::string directory) : directory_(std::move(directory)) {}

bool Spool::make() const {
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    return !ec && ::chmod(directory_.c_str(), 0700) == 0;
}

bool Spool::put(const Envelope& envelope, std::string_view message) const {
    if (!isEnvelopeAddress(envelope.from) || envelope.recipients.empty() ||
        envelope.recipients.size() > kMostRecipients ||
        !std::all_of(envelope.recipients.begin(), envelope.recipients.end(),
                     [](const std::string& r) { return !r.empty() && isEnvelopeAddress(r); })) {
        return false;
    }
    if (!make()) return false;
    std::string text(kMagic);
    text.append("FROM ").append(envelope.from).append("\n");
    for (const auto& r : envelope.recipients) text.append("TO ").append(r).append("\n");
    text.append("\n").append(message);
    // Named by time first, so the names sort oldest first.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string name =
        std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) + "-" +
        UUID::random().uuidString() + std::string(kSuffix);
    atomicfile::Options options;
    options.mode = 0600;
    return atomicfile::replace(directory_ + "/" + name, text, options) == 0;
}

std::vector<std::string> Spool::waiting() const {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory_.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.front() != '.' && endsWith(name, kSuffix)) names.emplace_back(name);
    }
    ::closedir(dir);
    // Microseconds since 1970 have the same number of digits for ages.
    std::sort(names.begin(), names.end());
    for (auto& name : names) name.insert(0, directory_ + "/");
    return names;
}

std::optional<Spooled> Spool::read(const std::string& path) const {
    auto text = readBounded(path, kLargestMessage + kLargestEnvelope);
    Spooled s;
    s.path = path;
    bool whole = text && text->compare(0, kMagic.size(), kMagic) == 0;
    std::size_t at = kMagic.size();
    if (whole) {
        const auto from = nextLine(*text, at);
        whole = from && from->substr(0, 5) == "FROM " && isEnvelopeAddress(from->substr(5));
        if (whole) s.envelope.from = std::string(from->substr(5));
    }
    while (whole) {
        const auto line = nextLine(*text, at);
        if (line && line->empty()) break;
        // Each line to the blank one names a recipient, or the file is no spool file.
        whole = line && line->substr(0, 3) == "TO " && line->size() > 3 &&
                isEnvelopeAddress(line->substr(3)) &&
                s.envelope.recipients.size() < kMostRecipients;
        if (whole) s.envelope.recipients.emplace_back(line->substr(3));
    }
    if (!whole || s.envelope.recipients.empty()) {
        // Set aside (a link, a file too large or not ours alike), so that
        // it is neither delivered nor looked at again.
        ::rename(path.c_str(), (path + ".unreadable").c_str());
        return std::nullopt;
    }
    s.message = text->substr(at);
    return s;
}

void Spool::done(const Spooled& spooled) const {
    ::unlink(spooled.path.c_str());
}

std::string withoutBcc(std::string_view message) {
    std::string out;
    out.reserve(message.size());
    std::size_t at = 0;
    bool dropping = false;
    while (at < message.size()) {
        const auto nl = message.find('\n', at);
        const std::size_t end = nl == std::string_view::npos ? message.size() : nl + 1;
        const std::string_view line = message.substr(at, end - at);
        if (line == "\n" || line == "\r\n") {
            out.append(message.substr(at));
            return out;
        }
        const bool continued = line.front() == ' ' || line.front() == '\t';
        if (!continued) {
            // The field's name, before its colon (blanks before it allowed).
            std::string_view name = line.substr(0, std::min(line.find(':'), line.size()));
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
                name.remove_suffix(1);
            }
            dropping = line.find(':') != std::string_view::npos && name.size() == 3 &&
                       std::tolower(static_cast<unsigned char>(name[0])) == 'b' &&
                       std::tolower(static_cast<unsigned char>(name[1])) == 'c' &&
                       std::tolower(static_cast<unsigned char>(name[2])) == 'c';
        }
        if (!dropping) out.append(line);
        at = end;
    }
    return out;
}

}  // namespace vesk::mail
