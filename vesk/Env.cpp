// vesk env NAME... [--write [DIR]]: the connection settings of Vesk's
// services (and of its mail catcher, `mail`) as a project's .env takes them,
// printed or set in its .env.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "Command.hpp"
#include "vesk/debugging/MailSpool.hpp"
#include "vesk/foundation/ServiceType.hpp"
#include "vesk/services/DotEnvFile.hpp"
#include "vesk/system/AtomicFile.hpp"
#include "vesk/system/Fd.hpp"

namespace vesk::cli {

namespace {

/// A .env larger than this is no project's settings file.
constexpr std::size_t kLargestEnvFile = std::size_t{1} << 20;

std::string kindsText() {
    std::string names;
    for (const ServiceType t : allCases<ServiceType>()) {
        names += (names.empty() ? "" : ", ") + std::string(rawValue(t));
    }
    return names + " and " + std::string(kMailCatcher);
}

/// What a project's mailer needs to send to the catcher.
std::string mailBlock() {
    return "MAIL_MAILER=smtp\nMAIL_HOST=127.0.0.1\nMAIL_PORT=" + std::to_string(mail::kCatcherPort);
}

/// The file's text and mode; none when there is no file; a Failure when it
/// is there but cannot be read whole.
std::optional<std::pair<std::string, mode_t>> readEnvFile(const std::string& path) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        throw Failure{"cannot read " + path + " (" + std::strerror(errno) + "): nothing written"};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > kLargestEnvFile) {
        throw Failure{path + " is no plain file of at most 1 MiB: nothing written"};
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done != text.size()) throw Failure{"cannot read " + path + " whole: nothing written"};
    return std::pair{text, st.st_mode & 07777};
}

void writeEnv(const std::string& dir, const dotenv::Entries& entries) {
    const std::string path = dir + "/.env";
    const auto before = readEnvFile(path);
    const std::string old = before ? before->first : std::string();
    const std::string text = dotenv::withKeys(old, entries);
    if (before && text == old) {
        std::cout << path << " has these settings already\n";
        return;
    }
    if (before && ::access(path.c_str(), W_OK) != 0) {
        throw Failure{path + " is read-only (" + std::strerror(errno) + "): nothing written"};
    }
    atomicfile::Options options;
    // A new .env may hold passwords: the developer's alone.
    options.mode = before ? before->second : mode_t{0600};
    const std::string kept = path + ".before-vesk";
    if (before) {
        if (const int e = atomicfile::replace(kept, old, options); e != 0) {
            throw Failure{"cannot keep the old file as " + kept + " (" + std::strerror(e) +
                          "): nothing written"};
        }
    }
    if (const int e = atomicfile::replace(path, text, options); e != 0) {
        throw Failure{"cannot write " + path + ": " + std::strerror(e)};
    }
    const auto after = readEnvFile(path);
    if (!after || after->first != text) {
        if (before) (void)atomicfile::replace(path, old, options);
        throw Failure{path + " did not read back as written: the old file was put back"};
    }
    std::cout << "Set " << entries.size() << " settings in " << path
              << (before ? " (the file before is " + kept + ")" : std::string()) << "\n";
}

}  // namespace

int env(const Arguments& args) {
    const bool write = args.has("--write");
    std::vector<ServiceType> kinds;
    bool mailer = false;
    std::string dir = ".";
    for (const std::string& word : args.words) {
        if (word == kMailCatcher) {
            mailer = true;
            continue;
        }
        if (const auto kind = fromRawValue<ServiceType>(word)) {
            if (std::find(kinds.begin(), kinds.end(), *kind) == kinds.end()) kinds.push_back(*kind);
            continue;
        }
        struct stat st {};
        if (write && ::stat(word.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            dir = word;
            continue;
        }
        throw Failure{"no service \"" + word + "\": vesk env takes " + kindsText()};
    }
    if (kinds.empty() && !mailer) throw UsageError{};
    const auto databases = std::count_if(kinds.begin(), kinds.end(), [](ServiceType t) {
        return t == ServiceType::mysql || t == ServiceType::mariadb || t == ServiceType::postgresql;
    });
    if (databases > 1) {
        throw Failure{"a project's .env names one SQL database (DB_CONNECTION): name one of " +
                      std::string("mysql, mariadb and postgresql")};
    }
    dotenv::Entries entries;
    std::string blocks;
    for (const ServiceType kind : kinds) {
        const std::string block = connectionInfo(kind, defaultPort(kind)).dotEnv(kind);
        blocks += (blocks.empty() ? "" : "\n\n") + block;
        for (auto& entry : dotenv::parseBlock(block)) entries.push_back(std::move(entry));
    }
    if (mailer) {
        blocks += (blocks.empty() ? "" : "\n\n") + mailBlock();
        for (auto& entry : dotenv::parseBlock(mailBlock())) entries.push_back(std::move(entry));
    }
    if (!write) {
        std::cout << blocks << "\n";
        return 0;
    }
    writeEnv(dir, entries);
    return 0;
}

}  // namespace vesk::cli
