// vesk secure [SITE], vesk unsecure [SITE], sudo vesk trust
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "Command.hpp"
#include "vesk/L10n.hpp"
#include "vesk/VeskPaths.hpp"

namespace vesk::cli {

namespace {

/// Where Debian's trust store takes local authorities.
constexpr const char* kLocalAuthorities = "/usr/local/share/ca-certificates";
constexpr const char* kTrustedName = "vesk-development-ca.crt";

/// The authority, made and recorded when there is none yet.
Certificate authorityRecord() {
    const Certificate made = Certificates::authority(VeskPaths::caDir(), Date::now());
    Certificate kept = made;
    certificateRecords().update({}, [&](std::vector<Certificate>& records) {
        for (Certificate& c : records) {
            if (c.isCA) {
                c.certificatePath = made.certificatePath;
                c.keyPath = made.keyPath;
                c.expiresAt = made.expiresAt;
                kept = c;
                return;
            }
        }
        kept.id = UUID::random();
        records.push_back(kept);
    });
    return kept;
}

}  // namespace

int secure(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Site site = siteFor(args.word(0));
    Certificate issued;
    try {
        const Certificate authority = authorityRecord();
        issued = Certificates::issue(authority, site.fullDomain(), site.aliases,
                                     VeskPaths::certsDir(), Date::now());
    } catch (const CertificateError& e) {
        throw Failure{e.what()};
    }
    certificateRecords().update({}, [&](std::vector<Certificate>& records) {
        std::erase_if(records,
                      [&](const Certificate& c) { return !c.isCA && c.domain == issued.domain; });
        issued.id = UUID::random();
        records.push_back(issued);
    });
    updateSite(site, [](Site& s) { s.isSecured = true; });
    std::cout << L10n::tr("sites.secured", "https://" + site.fullDomain() + "/") << " ("
              << issued.certificatePath << ")\n";
    applyConfiguration();
    return 0;
}

int unsecure(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Site site = siteFor(args.word(0));
    std::vector<Certificate> removed;
    certificateRecords().update({}, [&](std::vector<Certificate>& records) {
        for (const Certificate& c : records) {
            if (!c.isCA && c.domain == site.fullDomain()) removed.push_back(c);
        }
        std::erase_if(records, [&](const Certificate& c) {
            return !c.isCA && c.domain == site.fullDomain();
        });
    });
    updateSite(site, [](Site& s) { s.isSecured = false; });
    std::cout << L10n::tr("sites.unsecured", "http://" + site.fullDomain() + "/") << "\n";
    applyConfiguration();
    // The files go once nginx no longer names them.
    for (const Certificate& c : removed) {
        ::unlink(c.certificatePath.c_str());
        ::unlink(c.keyPath.c_str());
    }
    return 0;
}

int trust(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    if (::geteuid() != 0) {
        throw Failure{
            "adding the authority to the system's trust store needs root: sudo vesk trust"};
    }
    // The developer who ran sudo owns the authority; root has none.
    const char* sudoUser = std::getenv("SUDO_USER");
    const passwd* pw = sudoUser != nullptr ? ::getpwnam(sudoUser) : nullptr;
    if (pw == nullptr || pw->pw_uid == 0) {
        throw Failure{
            "run it through sudo as the developer whose sites are secured: sudo vesk trust"};
    }
    ::setenv("HOME", pw->pw_dir, 1);
    const std::string caPath = VeskPaths::caDir() + "/vesk-ca.crt";
    // Root reads the developer's file: a plain file of theirs, never a link.
    struct stat st {};
    if (::lstat(caPath.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_uid != pw->pw_uid)) {
        throw Failure{caPath + " is not a plain file of " + pw->pw_name};
    }
    const auto file = recordfile::readText(caPath);
    if (!file) throw Failure{"there is no authority yet at " + caPath + ": vesk secure makes it"};
    // Only a certificate authority, written anew, ever reaches the store.
    const auto text = Certificates::authorityText(*file);
    if (!text) throw Failure{caPath + " holds no certificate authority"};

    int failures = 0;
    const std::string target = std::string(kLocalAuthorities) + "/" + kTrustedName;
    std::error_code ec;
    std::filesystem::create_directories(kLocalAuthorities, ec);
    recordfile::writeText(target, *text);
    ::chmod(target.c_str(), 0644);
    const Ran updated = run("/usr/sbin/update-ca-certificates", {});
    if (updated.status == 0) {
        std::cout << "The system trusts the authority (" << target << ")\n";
    } else {
        ++failures;
        std::cerr << "vesk: update-ca-certificates failed (exit " << updated.status
                  << "): " << updated.output << "\n";
    }

    // Browsers keep their own databases: Chromium's in ~/.pki/nssdb, each
    // Firefox profile's beside its prefs.
    std::vector<std::string> databases;
    const std::string home = pw->pw_dir;
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
    // Chromium makes its database on a first run that may not have come
    // yet; made now (empty, as the developer), it trusts the authority from
    // that first run on.
    const bool chromium =
        ::access("/usr/bin/chromium", X_OK) == 0 || ::access("/usr/bin/google-chrome", X_OK) == 0;
    if (chromium && ::access("/usr/bin/certutil", X_OK) == 0 &&
        !std::filesystem::exists(home + "/.pki/nssdb/cert9.db", ec)) {
        const std::string db = home + "/.pki/nssdb";
        const bool made = run("/usr/sbin/runuser",
                              {"-u", pw->pw_name, "--", "/bin/mkdir", "-p", "-m", "0700", "--", db})
                                  .status == 0 &&
                          run("/usr/sbin/runuser", {"-u", pw->pw_name, "--", "/usr/bin/certutil",
                                                    "-N", "--empty-password", "-d", "sql:" + db})
                                  .status == 0;
        if (made) databases.push_back(db);
    }
    if (databases.empty()) {
        std::cout << "No browser certificate database found under " << home << "\n";
        return failures == 0 ? 0 : 1;
    }
    if (::access("/usr/bin/certutil", X_OK) != 0) {
        std::cerr << "vesk: certutil is missing, so " << databases.size()
                  << " browser database(s) do not trust the authority yet: sudo apt install "
                     "libnss3-tools, then sudo vesk trust again\n";
        return 1;
    }
    for (const auto& db : databases) {
        // As the developer: the databases are theirs and stay theirs.
        const Ran added = run("/usr/sbin/runuser", {"-u", pw->pw_name, "--", "/usr/bin/certutil",
                                                    "-A", "-d", "sql:" + db, "-t", "C,,", "-n",
                                                    "Vesk Development CA", "-i", caPath});
        if (added.status == 0) {
            std::cout << "Trusted in " << db << "\n";
        } else {
            ++failures;
            std::cerr << "vesk: certutil could not add the authority to " << db << ": "
                      << added.output << "\n";
        }
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace vesk::cli
