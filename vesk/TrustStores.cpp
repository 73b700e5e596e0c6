#include "TrustStores.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "vesk/system/RecordFile.hpp"

namespace vesk::cli {

Ran certutil(const std::optional<std::string>& user, const std::vector<std::string>& arguments) {
    if (!user) return run("/usr/bin/certutil", arguments);
    std::vector<std::string> words{"-u", *user, "--", "/usr/bin/certutil"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return run("/usr/sbin/runuser", words);
}

std::vector<std::string> browserDatabases(const std::string& home) {
    std::vector<std::string> databases;
    std::error_code ec;
    if (std::filesystem::exists(home + "/.pki/nssdb/cert9.db", ec)) {
        databases.push_back(home + "/.pki/nssdb");
    }
    for (const char* profiles : {"/.mozilla/firefox", "/snap/firefox/common/.mozilla/firefox"}) {
        for (const auto& entry : std::filesystem::directory_iterator(home + profiles, ec)) {
            if (std::filesystem::exists(entry.path() / "cert9.db", ec)) {
                databases.push_back(entry.path().string());
            }
        }
    }
    return databases;
}

namespace {

/// Takes every authority of that name out of `db`; whether there was one.
bool forgetInDatabase(const std::optional<std::string>& user, const std::string& db) {
    bool any = false;
    for (int i = 0; i < 8; ++i) {
        if (certutil(user, {"-D", "-d", "sql:" + db, "-n", kNickname}).status != 0) break;
        any = true;
    }
    return any;
}

}  // namespace

std::optional<std::string> trustInDatabase(const std::optional<std::string>& user,
                                           const std::string& db, const std::string& caPath) {
    forgetInDatabase(user, db);
    const Ran added =
        certutil(user, {"-A", "-d", "sql:" + db, "-t", "C,,", "-n", kNickname, "-i", caPath});
    if (added.status == 0) return std::nullopt;
    return added.output;
}

std::optional<std::string> publishToSystem(const std::string& text) {
    const std::string target = std::string(kLocalAuthorities) + "/" + kTrustedName;
    std::error_code ec;
    std::filesystem::create_directories(kLocalAuthorities, ec);
    try {
        recordfile::writeText(target, text);
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
    ::chmod(target.c_str(), 0644);
    const Ran updated = run("/usr/sbin/update-ca-certificates", {});
    if (updated.status == 0) return std::nullopt;
    return "update-ca-certificates failed (exit " + std::to_string(updated.status) +
           "): " + updated.output;
}

int forgetInDatabases(const std::optional<std::string>& user, const std::string& home) {
    if (::access("/usr/bin/certutil", X_OK) != 0) return 0;
    int held = 0;
    for (const auto& db : browserDatabases(home)) held += forgetInDatabase(user, db) ? 1 : 0;
    return held;
}

bool removeFromSystem() {
    const std::string target = std::string(kLocalAuthorities) + "/" + kTrustedName;
    if (::unlink(target.c_str()) != 0) return false;
    run("/usr/sbin/update-ca-certificates", {});
    return true;
}

}  // namespace vesk::cli
