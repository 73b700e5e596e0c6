#include "vesk/debugging/MailStore.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>

#include "vesk/foundation/Clock.hpp"
#include "vesk/system/AtomicFile.hpp"
#include "vesk/system/Fd.hpp"
#include "vesk/system/RecordFile.hpp"

namespace vesk::mail {

namespace {

constexpr std::string_view kRaw = ".eml";
constexpr std::string_view kRecord = ".json";

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() > suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/// The names in `directory` that end with `suffix`, without it.
std::vector<std::string> namesIn(const std::string& directory, std::string_view suffix) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.front() != '.' && endsWith(name, suffix)) {
            names.emplace_back(name.substr(0, name.size() - suffix.size()));
        }
    }
    ::closedir(dir);
    return names;
}

}  // namespace

Store::Incoming::Incoming(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

Store::Incoming::~Incoming() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
}

bool Store::Incoming::write(std::string_view bytes) {
    if (failed_) return false;
    // Lines arrive one by one: they reach the file in pieces of 64 KiB.
    pending_.append(bytes);
    if (pending_.size() >= kPiece) return flush();
    return true;
}

bool Store::Incoming::flush() {
    if (!failed_ && !pending_.empty() && atomicfile::writeAll(fd_, pending_) != 0) failed_ = true;
    written_ += static_cast<off_t>(pending_.size());
    pending_.clear();
    return !failed_;
}

bool Store::Incoming::finish() {
    // A message that fits one piece is parsed from memory, not read again.
    if (written_ == 0) whole_ = pending_;
    // A spare file written over may be longer than this message.
    return flush() && ::ftruncate(fd_, written_) == 0;
}

Store::Store(std::string directory, StoreLimits limits, Parser parser)
    : directory_(std::move(directory)), limits_(limits), parse_(parser) {
    // The directories above it too: a developer's tree may not have them yet.
    std::error_code ec;
    std::filesystem::create_directories(directory_ + "/tmp", ec);
    ::chmod(directory_.c_str(), 0700);
    ::chmod((directory_ + "/tmp").c_str(), 0700);
}

std::optional<std::string> Store::Spares::take() {
    if (files.empty()) return std::nullopt;
    std::string spare = std::move(files.back());
    files.pop_back();
    return spare;
}

void Store::Spares::give(const std::string& path, const std::string& tmp) {
    const std::string spare = tmp + "/spare-" + UUID::random().uuidString();
    if (files.size() < kSpares && ::rename(path.c_str(), spare.c_str()) == 0) {
        files.push_back(spare);
    } else {
        ::unlink(path.c_str());
    }
}

std::unique_ptr<Store::Incoming> Store::begin() {
    // A file an evicted mail left is written again (no new inode, none
    // freed: a file system's allocator slows down under a churn of them),
    // over, not truncated first: ext4 writes a file truncated to nothing
    // out to the disk as it is closed.
    while (const auto spare = spareRaw_.take()) {
        const int fd = ::open(spare->c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) return std::unique_ptr<Incoming>(new Incoming(fd, *spare));
    }
    const std::string path = directory_ + "/tmp/" + UUID::random().uuidString() + std::string(kRaw);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    return std::unique_ptr<Incoming>(new Incoming(fd, path));
}

bool Store::writeRecord(const CapturedMail& mail) {
    const std::string path = directory_ + "/" + mail.id.uuidString() + std::string(kRecord);
    const std::string text = encodeJSON(mail);
    // A new mail's record: written whole into a spare file, then named.
    if (const auto spare = spareRecord_.take()) {
        const Fd fd(::open(spare->c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (fd && atomicfile::writeAll(fd.get(), text) == 0 &&
            ::ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0 &&
            ::rename(spare->c_str(), path.c_str()) == 0) {
            return true;
        }
        ::unlink(spare->c_str());
    }
    atomicfile::Options options;
    options.mode = 0600;
    options.sync = false;
    return atomicfile::replace(path, text, options) == 0;
}

std::string Store::keep(std::unique_ptr<Incoming> incoming, const Envelope& envelope) {
    // Not synced: a catcher that is killed leaves no half mail (the names
    // change only once the bytes are written), and a development machine's
    // power cut may lose the last mails caught, never a mail half read.
    if (parse_ == nullptr || !incoming || !incoming->finish()) return {};
    // The raw message keeps the attachments and anything cut from the bodies.
    auto parsed =
        parse_(incoming->path_, envelope, Clock::now(), {false, limits_.body}, incoming->whole_);
    if (!parsed) return {};
    CapturedMail mail = std::move(*parsed);
    std::string id = mail.id.uuidString();
    const std::string raw = directory_ + "/" + id + std::string(kRaw);
    if (::rename(incoming->path_.c_str(), raw.c_str()) != 0) return {};
    incoming->path_.clear();
    if (!writeRecord(mail)) {
        ::unlink(raw.c_str());
        return {};
    }
    enforceLimits(id, static_cast<std::uint64_t>(incoming->written_));
    return id;
}

std::vector<CapturedMail> Store::list() const {
    std::vector<CapturedMail> mails;
    for (const auto& name : namesIn(directory_, kRecord)) {
        const auto text = recordfile::readText(directory_ + "/" + name + std::string(kRecord));
        if (!text) continue;
        try {
            mails.push_back(decodeJSON<CapturedMail>(*text));
        } catch (const std::exception&) {
            // A record that cannot be read is left as it is and not listed.
        }
    }
    std::sort(mails.begin(), mails.end(), [](const CapturedMail& a, const CapturedMail& b) {
        return a.timestamp.timeIntervalSinceReferenceDate >
               b.timestamp.timeIntervalSinceReferenceDate;
    });
    return mails;
}

std::optional<CapturedMail> Store::find(std::string_view prefix) const {
    if (prefix.size() < 4) return std::nullopt;
    std::string wanted(prefix);
    std::transform(wanted.begin(), wanted.end(), wanted.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::optional<CapturedMail> found;
    for (auto& mail : list()) {
        if (mail.id.uuidString().rfind(wanted, 0) != 0) continue;
        if (found) return std::nullopt;
        found = std::move(mail);
    }
    return found;
}

std::optional<std::string> Store::raw(const CapturedMail& mail) const {
    return recordfile::readText(directory_ + "/" + mail.id.uuidString() + std::string(kRaw));
}

std::uint64_t Store::rawSize(const CapturedMail& mail) const {
    struct stat st {};
    const std::string path = directory_ + "/" + mail.id.uuidString() + std::string(kRaw);
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::optional<CapturedMail> Store::withAttachments(const CapturedMail& mail) const {
    if (parse_ == nullptr) return std::nullopt;
    const auto parsed = parse_(directory_ + "/" + mail.id.uuidString() + std::string(kRaw), {},
                               mail.timestamp, {}, std::nullopt);
    if (!parsed) return std::nullopt;
    CapturedMail full = mail;
    full.attachments = parsed->attachments;
    return full;
}

bool Store::markRead(const CapturedMail& mail) {
    // A mail removed meanwhile (the limits, another command) stays removed.
    struct stat st {};
    if (::stat((directory_ + "/" + mail.id.uuidString() + std::string(kRaw)).c_str(), &st) != 0) {
        return false;
    }
    CapturedMail read = mail;
    read.isRead = true;
    return writeRecord(read);
}

bool Store::remove(const CapturedMail& mail) {
    const std::string base = directory_ + "/" + mail.id.uuidString();
    const bool gone = ::unlink((base + std::string(kRecord)).c_str()) == 0;
    ::unlink((base + std::string(kRaw)).c_str());
    return gone;
}

std::size_t Store::clear() {
    std::size_t count = 0;
    for (const auto& name : namesIn(directory_, kRecord)) {
        ::unlink((directory_ + "/" + name + std::string(kRaw)).c_str());
        count += ::unlink((directory_ + "/" + name + std::string(kRecord)).c_str()) == 0 ? 1 : 0;
    }
    return count;
}

std::size_t Store::recover() {
    if (parse_ == nullptr) return 0;
    // What was being received, and the spare files of a store before.
    DIR* tmp = ::opendir((directory_ + "/tmp").c_str());
    while (const dirent* entry = tmp != nullptr ? ::readdir(tmp) : nullptr) {
        if (entry->d_name[0] != '.') ::unlinkat(::dirfd(tmp), entry->d_name, 0);
    }
    if (tmp != nullptr) ::closedir(tmp);
    const auto records = namesIn(directory_, kRecord);
    std::size_t read = 0;
    for (const auto& name : namesIn(directory_, kRaw)) {
        if (std::find(records.begin(), records.end(), name) != records.end()) continue;
        const std::string path = directory_ + "/" + name + std::string(kRaw);
        const auto id = UUID::parse(name);
        struct stat st {};
        if (!id || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        auto parsed = parse_(path, {}, Date::fromUnix(static_cast<double>(st.st_mtime)),
                             {false, limits_.body}, std::nullopt);
        if (!parsed) continue;
        parsed->id = *id;
        if (writeRecord(*parsed)) ++read;
    }
    return read;
}

void Store::scan() {
    // By the raw messages' names and times alone: no record is read.
    kept_.clear();
    total_ = 0;
    for (auto& name : namesIn(directory_, kRaw)) {
        struct stat st {};
        if (::stat((directory_ + "/" + name + std::string(kRaw)).c_str(), &st) != 0) continue;
        const auto size = static_cast<std::uint64_t>(st.st_size);
        total_ += size;
        kept_.push_back(
            {std::move(name), st.st_mtim.tv_sec * 1'000'000'000 + st.st_mtim.tv_nsec, size});
    }
    std::sort(kept_.begin(), kept_.end(),
              [](const Kept& a, const Kept& b) { return a.time < b.time; });
    keptSinceScan_ = 0;
}

void Store::enforceLimits(const std::string& id, std::uint64_t size) {
    // What is kept is known from the last look at the directory and what
    // came since; the directory is looked at again now and then, for what
    // the developer deleted meanwhile. A mail deleted by hand is counted
    // until then, so the limits only ever err on the side of fewer mails.
    if (!scanned_ || ++keptSinceScan_ >= 256) {
        scan();
        scanned_ = true;
    } else {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        total_ += size;
        kept_.push_back(
            {id, std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(), size});
    }
    std::size_t gone = 0;
    while (gone < kept_.size() && (kept_.size() - gone > limits_.count || total_ > limits_.bytes)) {
        const std::string base = directory_ + "/" + kept_[gone].name;
        spareRecord_.give(base + std::string(kRecord), directory_ + "/tmp");
        spareRaw_.give(base + std::string(kRaw), directory_ + "/tmp");
        total_ -= std::min(total_, kept_[gone].size);
        ++gone;
    }
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(gone));
}

void StoreSink::begin(const std::string& from, const std::vector<std::string>& recipients) {
    envelope_ = {from, recipients};
    incoming_ = store_.begin();
}

void StoreSink::write(std::string_view bytes) {
    if (incoming_) incoming_->write(bytes);
}

std::string StoreSink::commit() {
    return store_.keep(std::move(incoming_), envelope_);
}

void StoreSink::abort() {
    incoming_.reset();
}

}  // namespace vesk::mail
