// vesk secure [SITE], vesk unsecure [SITE], sudo vesk trust
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>

#include "Command.hpp"
#include "TrustStores.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/sites/ServedSites.hpp"
#include "vesk/system/Fd.hpp"

namespace vesk::cli {

namespace {

/// The largest authority certificate read.
constexpr std::size_t kAuthorityFileLimit = std::size_t{64} * 1024;

/// The names a certificate of the developer's may hold: under the
/// development domain, or localhost.
std::vector<std::string> developmentDomains() {
    return {currentSettings().defaultTLD};
}

/// The authority an older vesk made in the developer's own files: it can
/// vouch for any name, and every program of the developer's can read its key.
bool hasOlderAuthority() {
    struct stat st {};
    return ::lstat((VeskPaths::caDir() + "/vesk-ca.key").c_str(), &st) == 0;
}

/// Reads the file at `path` once, opened without following a link: a plain
/// file of `owner`'s (or root's), at most `limit` bytes; none when absent.
std::optional<std::string> readOwnedFile(const std::string& path, uid_t owner, std::size_t limit) {
    const Fd owned(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    const int fd = owned.get();
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw Failure{path + " cannot be read (" + std::strerror(errno) +
                      "): it must be a plain file, not a link"};
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_uid != owner && st.st_uid != 0) ||
        (st.st_mode & S_IWOTH) != 0 || static_cast<std::size_t>(st.st_size) > limit) {
        throw Failure{path + " is not a plain file of its owner's, or is too large"};
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return text;
}

/// The authority's directory, root's and shut to others' writes: made when
/// there is none; a Failure when anything else stands there.
void requireAuthorityDir(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ec);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        throw Failure{"cannot make " + dir + ": " + std::strerror(errno)};
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        throw Failure{dir + " is not a directory of " +
                      std::string(::geteuid() == 0 ? "root's" : "yours") +
                      " that only its owner may change; move it away"};
    }
    // The directory and certificate are for anyone to read (browsers'
    // databases are filled by the developer); the key stays its owner's.
    ::chmod(dir.c_str(), 0755);
}

/// Signs in this process: the authority made when there is none.
Certificates::IssuedPEM issueHere(const std::string& domain,
                                  const std::vector<std::string>& aliases,
                                  const std::vector<std::string>& domains) {
    const std::string dir = authorityDir();
    requireAuthorityDir(dir);
    try {
        Certificate authority = Certificates::authority(dir, Date::now(), domains);
        // Made for other development domains (the domain changed with vesk
        // tld): an authority's constraint cannot grow, so it is made anew.
        const auto permitted = Certificates::permittedNames(
            recordfile::readText(authority.certificatePath).value_or(""));
        const bool covers =
            permitted && std::all_of(domains.begin(), domains.end(), [&](const auto& d) {
                return Certificates::isPermitted(d, *permitted);
            });
        if (!covers) {
            ::unlink(authority.keyPath.c_str());
            ::unlink(authority.certificatePath.c_str());
            authority = Certificates::authority(dir, Date::now(), domains);
        }
        ::chmod(authority.certificatePath.c_str(), 0644);
        return Certificates::issuePEM(authority, domain, aliases, Date::now());
    } catch (const CertificateError& e) {
        throw Failure{e.what()};
    }
}

/// The path of this program, which sudo runs for root's part.
std::string thisProgram() {
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n <= 0) return "/usr/libexec/vesk/vesk-tls";
    self.resize(static_cast<std::size_t>(n));
    return self;
}

/// The text between a PEM block's BEGIN line for `label` and its END line, both included.
std::optional<std::string> pemBlock(const std::string& text, const std::string& label) {
    const std::string begin = "-----BEGIN " + label + "-----";
    const std::string end = "-----END " + label + "-----";
    const auto from = text.find(begin);
    const auto to = from == std::string::npos ? from : text.find(end, from);
    if (to == std::string::npos) return std::nullopt;
    return text.substr(from, to + end.size() - from) + "\n";
}

/// A certificate for the names, signed by the authority: here when the
/// authority is this account's to use (root, or a test's own), else by
/// root's part of this program through sudo.
Certificates::IssuedPEM issueWithAuthority(const std::string& domain,
                                           const std::vector<std::string>& aliases,
                                           bool replaceTrusted) {
    const std::vector<std::string> domains = developmentDomains();
    std::vector<std::string> permitted = domains;
    permitted.emplace_back("localhost");
    std::vector<std::string> names{domain};
    names.insert(names.end(), aliases.begin(), aliases.end());
    for (const std::string& name : names) {
        if (!Certificates::isPermitted(name, permitted)) {
            throw Failure{name + " is not under ." + domains.front() +
                          ": the local authority vouches for the development domain alone "
                          "(vesk unlink the alias, or name it under ." +
                          domains.front() + ")"};
        }
    }
    const std::string dir = authorityDir();
    struct stat st {};
    const bool ours =
        ::geteuid() == 0 ||
        (movedEnvironment() && (::lstat(dir.c_str(), &st) != 0 || st.st_uid == ::geteuid()));
    if (ours) return issueHere(domain, aliases, domains);
    std::cout << "The local authority is root's: sudo signs the certificate of " << domain << "\n"
              << std::flush;
    std::vector<std::string> words{"--", thisProgram(), "--authority-issue"};
    if (replaceTrusted) words.emplace_back("--replace-trusted");
    for (const auto& d : domains) {
        words.emplace_back("--tld");
        words.push_back(d);
    }
    words.push_back(domain);
    words.insert(words.end(), aliases.begin(), aliases.end());
    const Ran ran = run("/usr/bin/sudo", words, std::chrono::minutes(5));
    const auto certificate = pemBlock(ran.output, "CERTIFICATE");
    const auto key = pemBlock(ran.output, "PRIVATE KEY");
    if (ran.status != 0 || !certificate || !key) {
        throw Failure{"the local authority did not sign " + domain + " (sudo exit " +
                      std::to_string(ran.status) +
                      "): " + std::string(ran.output.substr(0, ran.output.find("-----BEGIN")))};
    }
    return {*certificate, *key, std::nullopt};
}

/// The authority's record, as the developer's certificates list it.
void recordAuthority() {
    const std::string dir = authorityDir();
    Certificate made;
    made.domain = kNickname;
    made.certificatePath = dir + "/vesk-ca.crt";
    made.keyPath = dir + "/vesk-ca.key";
    made.isCA = true;
    made.createdAt = Date::now();
    certificateRecords().update({}, [&](std::vector<Certificate>& records) {
        for (Certificate& c : records) {
            if (c.isCA) {
                if (c.certificatePath == made.certificatePath) return;
                c.certificatePath = made.certificatePath;
                c.keyPath = made.keyPath;
                c.createdAt = made.createdAt;
                c.expiresAt = std::nullopt;
                return;
            }
        }
        made.id = UUID::random();
        records.push_back(made);
    });
}

/// The authority's certificate as root publishes it: read once without
/// following a link, a root-owned plain file, an authority's, and one that
/// vouches for the development domains alone.
std::string publishableAuthority(const std::string& caPath) {
    const auto file = readOwnedFile(caPath, 0, kAuthorityFileLimit);
    if (!file) {
        throw Failure{"there is no authority yet at " + caPath +
                      (hasOlderAuthority()
                           ? ": the one in " + VeskPaths::caDir() +
                                 " was made by an older vesk and can vouch for any name; vesk "
                                 "secure --new-authority SITE replaces it"
                           : ": vesk secure makes it")};
    }
    const auto text = Certificates::authorityText(*file);
    if (!text) throw Failure{caPath + " holds no certificate authority"};
    if (!Certificates::permittedNames(*text)) {
        throw Failure{caPath +
                      " can vouch for any name, so it is not trusted: vesk secure "
                      "--new-authority SITE replaces it"};
    }
    return *text;
}

/// Where an older authority was trusted, the new one takes its place: in
/// the system's store when it was there (root's part), and in the
/// developer's browser databases.
void replaceTrustedAuthority() {
    std::error_code ec;
    const std::string target = std::string(kLocalAuthorities) + "/" + kTrustedName;
    if (::geteuid() == 0 && std::filesystem::exists(target, ec)) {
        if (const auto failed =
                publishToSystem(publishableAuthority(authorityDir() + "/vesk-ca.crt"))) {
            std::cerr << "vesk: " << *failed << "\n";
        }
    }
}

/// The developer's browsers that trusted an authority of that name trust
/// the current one instead.
void retrustInBrowsers() {
    const std::string caPath = authorityDir() + "/vesk-ca.crt";
    for (const auto& db : browserDatabases(VeskPaths::homeDirectory())) {
        if (certutil(std::nullopt, {"-L", "-d", "sql:" + db, "-n", kNickname}).status != 0) {
            continue;
        }
        if (const auto failed = trustInDatabase(std::nullopt, db, caPath)) {
            std::cerr << "vesk: certutil could not replace the authority in " << db << ": "
                      << *failed << "\n";
        } else {
            std::cout << "The new authority replaces the older one in " << db << "\n";
        }
    }
}

/// Issues and records the certificate of `site` (with `replaceTrusted`,
/// root's part also puts the authority in the system's store in place of an
/// older one trusted there).
Certificate secureOne(const Site& site, bool replaceTrusted = false) {
    Certificate issued;
    try {
        issued =
            Certificates::store(issueWithAuthority(site.fullDomain(), site.aliases, replaceTrusted),
                                site.fullDomain(), VeskPaths::certsDir(), Date::now());
    } catch (const CertificateError& e) {
        throw Failure{e.what()};
    }
    certificateRecords().update({}, [&](std::vector<Certificate>& records) {
        std::erase_if(records,
                      [&](const Certificate& c) { return !c.isCA && c.domain == issued.domain; });
        issued.id = UUID::random();
        records.push_back(issued);
    });
    return issued;
}

}  // namespace

int secure(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Site site = siteFor(args.word(0));
    const bool replacing = hasOlderAuthority();
    if (replacing && !args.has("--new-authority")) {
        throw Failure{"the local authority in " + VeskPaths::caDir() +
                      " was made by an older vesk: it can vouch for any name, and every program "
                      "of yours can read its key. vesk secure --new-authority " +
                      site.domain + " replaces it with one for ." + developmentDomains().front() +
                      " alone that only root can use (the sites it secured are issued again); "
                      "then sudo vesk trust"};
    }
    const Certificate issued = secureOne(site, replacing);
    if (replacing) replaceTrustedAuthority();
    recordAuthority();
    updateSite(site, [](Site& s) { s.isSecured = true; });
    std::cout << L10n::tr("sites.secured", "https://" + site.fullDomain() + "/") << " ("
              << issued.certificatePath << ")\n";
    if (replacing) {
        // Every other site the old authority secured gets a certificate of the new one.
        for (const Site& other : servedSites()) {
            if (other.isSecured && other.fullDomain() != site.fullDomain()) {
                std::cout << "Issued again: " << secureOne(other).certificatePath << "\n";
            }
        }
        for (const char* name : {"/vesk-ca.key", "/vesk-ca.crt"}) {
            ::unlink((VeskPaths::caDir() + name).c_str());
        }
        retrustInBrowsers();
        std::cout << "The older authority is gone; where it was trusted, the new one is; sudo "
                     "vesk trust adds it anywhere else\n";
    }
    applyConfiguration();
    return 0;
}

int tld(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const std::string name = args.words[0];
    if (ServedSites::siteName(name) != name) {
        throw Failure{
            "\"" + name +
            "\" cannot be the development domain: one label of lower-case letters, digits "
            "and hyphens"};
    }
    // Names the world uses: every name under them would stop reaching it.
    constexpr std::array kPublic{"com",  "net", "org", "io", "dev", "app", "edu", "gov",
                                 "info", "co",  "me",  "ai", "de",  "uk",  "eu",  "us"};
    if (std::find(kPublic.begin(), kPublic.end(), name) != kPublic.end()) {
        throw Failure{"." + name +
                      " is a real top-level domain: its names would stop reaching the Internet "
                      "from this machine. Use one reserved for this, such as test"};
    }
    const std::string old = currentSettings().defaultTLD;
    if (old == name) {
        std::cout << "The sites are already served under ." << name << "\n";
        return 0;
    }
    settings().update(newSettings(), [&](AppConfig& c) { c.defaultTLD = name; });
    siteRecords().update({}, [&](std::vector<Site>& records) {
        for (Site& s : records) {
            if (s.tld == old) s.tld = name;
        }
    });
    const Servers env = servers();
    if (env.installed()) {
        callHelper(HelperOperation::writeResolver, {name, "127.0.0.1"});
        callHelper(HelperOperation::removeResolver, {old});
    }
    // The old names' certificates go; the secured sites get ones for the new
    // names, from an authority made for the new domain and trusted wherever
    // the old one was.
    std::vector<Certificate> gone;
    certificateRecords().update({}, [&](std::vector<Certificate>& records) {
        const std::string suffix = "." + old;
        std::erase_if(records, [&](const Certificate& c) {
            const bool oldName =
                !c.isCA && c.domain.size() > suffix.size() &&
                c.domain.compare(c.domain.size() - suffix.size(), suffix.size(), suffix) == 0;
            if (oldName) gone.push_back(c);
            return oldName;
        });
    });
    bool first = true;
    for (const Site& site : servedSites()) {
        if (!site.isSecured) continue;
        const std::string path = secureOne(site, first).certificatePath;
        std::cout << "Issued for ." << name << ": " << path << "\n";
        first = false;
    }
    if (!first) {
        if (::geteuid() == 0) replaceTrustedAuthority();
        recordAuthority();
        retrustInBrowsers();
    }
    applyConfiguration();
    for (const Certificate& c : gone) {
        ::unlink(c.certificatePath.c_str());
        ::unlink(c.keyPath.c_str());
    }
    if (env.installed()) restart(Arguments{{"dnsmasq"}, {}});
    std::cout << "The sites are served under ." << name << " (no longer ." << old << ")\n";
    return 0;
}

int authorityIssue(const std::vector<std::string>& words) {
    if (::geteuid() != 0) {
        std::cerr << "vesk: the authority signs for root alone\n";
        return 1;
    }
    std::vector<std::string> domains;
    std::vector<std::string> names;
    bool replaceTrusted = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "--tld" && i + 1 < words.size()) {
            domains.push_back(words[++i]);
        } else if (words[i] == "--replace-trusted") {
            replaceTrusted = true;
        } else {
            names.push_back(words[i]);
        }
    }
    if (domains.empty() || names.empty()) {
        std::cerr << "usage: vesk-tls --authority-issue --tld TLD DOMAIN [ALIAS...]\n";
        return 2;
    }
    try {
        const auto issued = issueHere(
            names.front(), std::vector<std::string>(names.begin() + 1, names.end()), domains);
        if (replaceTrusted) replaceTrustedAuthority();
        std::cout << issued.certificate << issued.key << std::flush;
        return 0;
    } catch (const Failure& f) {
        std::cerr << "vesk: " << f.message << "\n";
        return 1;
    }
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
    const std::string caPath = authorityDir() + "/vesk-ca.crt";
    // Opened once, never through a link, and what was read is what is
    // published: nothing can be swapped in between.
    const std::string text = publishableAuthority(caPath);
    int failures = 0;
    if (const auto failed = publishToSystem(text)) {
        ++failures;
        std::cerr << "vesk: " << *failed << "\n";
    } else {
        std::cout << "The system trusts the authority (" << kLocalAuthorities << "/" << kTrustedName
                  << ")\n";
    }

    const std::string home = pw->pw_dir;
    std::vector<std::string> databases = browserDatabases(home);
    // Chromium makes its database on a first run that may not have come
    // yet; made now (empty, as the developer), it trusts the authority from
    // that first run on.
    std::error_code ec;
    const bool chromium =
        ::access("/usr/bin/chromium", X_OK) == 0 || ::access("/usr/bin/google-chrome", X_OK) == 0;
    if (chromium && ::access("/usr/bin/certutil", X_OK) == 0 &&
        !std::filesystem::exists(home + "/.pki/nssdb/cert9.db", ec)) {
        const std::string db = home + "/.pki/nssdb";
        const bool made =
            run("/usr/sbin/runuser",
                {"-u", pw->pw_name, "--", "/bin/mkdir", "-p", "-m", "0700", "--", db})
                    .status == 0 &&
            certutil(pw->pw_name, {"-N", "--empty-password", "-d", "sql:" + db}).status == 0;
        if (made) databases.push_back(db);
    }
    // Node.js trusts its own list alone.
    std::cout << "Node.js reads only its own list: export NODE_EXTRA_CA_CERTS=" << caPath
              << " (in your shell's profile) makes it trust the authority too\n";
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
        if (const auto failed = trustInDatabase(pw->pw_name, db, caPath)) {
            ++failures;
            std::cerr << "vesk: certutil could not add the authority to " << db << ": " << *failed
                      << "\n";
        } else {
            std::cout << "Trusted in " << db << "\n";
        }
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace vesk::cli
