// sudo vesk install, sudo vesk uninstall [--purge]: the first-run set-up of
// the servers' environment and its removal. The parts that are root's run
// here; the parts that are the developer's run in a child that has become
// the developer.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>

#include "Command.hpp"
#include "TrustStores.hpp"
#include "vesk/foundation/Unicode.hpp"
#include "vesk/foundation/VeskPaths.hpp"

#include "vesk/system/Walk.hpp"

namespace vesk::cli {

namespace {

constexpr const char* kServersLabel = "com.vesk.servers";

struct Developer {
    std::string name;
    std::string group;
    std::string home;
    uid_t uid = 0;
    gid_t gid = 0;
};

/// The developer who ran sudo (or the one named); never root.
Developer developer(const Arguments& args, const char* command) {
    if (::geteuid() != 0) {
        throw Failure{std::string("vesk ") + command +
                      " changes the system and needs root: sudo vesk " + command};
    }
    const char* sudoUser = std::getenv("SUDO_USER");
    const std::string name = args.word(0).value_or(sudoUser != nullptr ? sudoUser : "");
    const passwd* pw = name.empty() ? nullptr : ::getpwnam(name.c_str());
    if (pw == nullptr || pw->pw_uid == 0) {
        throw Failure{
            std::string("run it through sudo as the developer who uses Vesk (sudo vesk ") +
            command + "), or name them: vesk " + command + " USER"};
    }
    const group* gr = ::getgrgid(pw->pw_gid);
    if (gr == nullptr) throw Failure{name + "'s group is unknown"};
    return {pw->pw_name, gr->gr_name, pw->pw_dir, pw->pw_uid, pw->pw_gid};
}

/// A file of the system's, read whole.
std::string systemFile(const std::string& path) {
    auto text = recordfile::readText(path);
    if (!text) throw Failure{"cannot read " + path};
    return std::move(*text);
}

std::string xmlEscaped(const std::string& text) {
    std::string out;
    Unicode::appendXMLEscaped(out, text);
    return out;
}

/// The launch daemon that runs the supervisor from boot, as the developer:
/// it starts the servers and the services kept running, and keeps them up.
std::string serversDaemon(const Servers& env, const Developer& dev) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "  <key>Label</key><string>" +
           std::string(kServersLabel) +
           "</string>\n"
           "  <key>ProgramArguments</key>\n  <array><string>" +
           xmlEscaped(env.layout.veskBase + "/bin/vesk") +
           "</string><string>supervise</string><string>--boot</string></array>\n"
           "  <key>UserName</key><string>" +
           xmlEscaped(dev.name) +
           "</string>\n"
           "  <key>EnvironmentVariables</key>\n  <dict><key>HOME</key><string>" +
           xmlEscaped(dev.home) +
           "</string></dict>\n"
           "  <key>RunAtLoad</key><true/>\n"
           "  <key>KeepAlive</key><true/>\n"
           "  <key>ExitTimeOut</key><integer>40</integer>\n"
           "  <key>AbandonProcessGroup</key><true/>\n"
           "</dict>\n</plist>\n";
}

/// Runs `work` in a child that has become the developer; its exit status.
int asDeveloper(const Developer& dev, const std::function<int()>& work) {
    std::cout.flush();
    const pid_t pid = ::fork();
    if (pid < 0) throw Failure{std::string("cannot fork: ") + std::strerror(errno)};
    if (pid == 0) {
        if (::initgroups(dev.name.c_str(), dev.gid) != 0 || ::setgid(dev.gid) != 0 ||
            ::setuid(dev.uid) != 0 || ::setuid(0) == 0) {
            std::cerr << "vesk: cannot become " << dev.name << "\n";
            std::_Exit(1);
        }
        ::setenv("HOME", dev.home.c_str(), 1);
        ::setenv("USER", dev.name.c_str(), 1);
        ::setenv("LOGNAME", dev.name.c_str(), 1);
        int rc = 1;
        try {
            rc = work();
        } catch (const Failure& f) {
            std::cerr << "vesk: " << f.message << "\n";
        } catch (const std::exception& e) {
            std::cerr << "vesk: " << e.what() << "\n";
        }
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(rc);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int install(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Developer dev = developer(args, "install");
    const Servers env = serversFor(dev.name, dev.group);
    // One environment, one developer: another's is handed over only when
    // asked, and its owner's commands are told.
    struct stat st {};
    if (::lstat(env.layout.veskBase.c_str(), &st) == 0 && st.st_uid != 0 && st.st_uid != dev.uid) {
        const passwd* owner = ::getpwuid(st.st_uid);
        const std::string name = owner != nullptr ? owner->pw_name : std::to_string(st.st_uid);
        if (!args.has("--take-over")) {
            throw Failure{"the servers on this machine are " + name + "'s (they own " +
                          env.layout.veskBase + "); sudo vesk install --take-over hands them to " +
                          dev.name + ", and " + name + "'s sites stop being served"};
        }
        walk::writeFileBelow(env.layout.veskBase, ".taken-over",
                             "taken over by " + dev.name + " on " + Date::now().iso8601() + "\n",
                             0644);
        std::cout << "Taking the servers over from " << name << "\n";
    }
    const std::string& resources = environmentLayout().resourcesDir;

    callHelper(HelperOperation::installEnvironment, {resources});
    std::cout << "Installed the environment in " << env.layout.veskBase << "\n";
    // The environment may be the developer's from an earlier install: root
    // writes into it only through the library's walk, which follows no link.
    const std::string base = env.layout.veskBase;
    for (const auto& v : installedPHPVersions()) {
        walk::writeFileBelow(base, "php/" + v + "/sbin/php-fpm",
                             systemFile("/usr/sbin/php-fpm" + v), 0755);
        std::cout << "PHP-FPM " << v << " at " << env.layout.phpFpm(v) << "\n";
    }
    walk::writeFileBelow(base, "etc/fastcgi_params", systemFile("/etc/nginx/fastcgi_params"), 0644);
    walk::writeFileBelow(base, "etc/nginx/sites/.keep", "", 0644);
    // The developer owns the environment: the helper admits them from now on.
    walk::chownTree(env.layout.veskBase, dev.uid, dev.gid);
    std::cout << dev.name << " owns " << env.layout.veskBase << "\n";

    const int rc = asDeveloper(dev, [&] {
        // A default PHP version the machine does not have becomes its newest.
        const auto versions = installedPHPVersions();
        AppConfig config = currentSettings();
        if (!versions.empty() && std::find(versions.begin(), versions.end(),
                                           config.defaultPHPVersion) == versions.end()) {
            config = settings().update(
                newSettings(), [&](AppConfig& c) { c.defaultPHPVersion = versions.back(); });
            std::cout << "Sites use PHP " << config.defaultPHPVersion << " (installed)\n";
        }
        // Written again for every domain, "test" included (which the
        // environment's installation writes too): the helper's resolver
        // operation is what tells systemd-resolved to route it.
        callHelper(HelperOperation::writeResolver, {config.defaultTLD, "127.0.0.1"});
        // The boot unit's supervisor is the one that runs from now on: it is
        // there before the servers start, and vesk start finds it.
        if (config.autoStartCoreServices) {
            callHelper(HelperOperation::installDaemon, {kServersLabel, serversDaemon(env, dev)});
            std::cout << "The servers start at boot (" << kServersLabel << ".service)\n";
        }
        start(Arguments{});
        return 0;
    });
    if (rc == 0) std::cout << "Vesk is ready: vesk park in a directory of projects\n";
    return rc;
}

int uninstall(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Developer dev = developer(args, "uninstall");
    const Servers env = serversFor(dev.name, dev.group);
    const bool purge = args.has("--purge");
    // The development domain is in the developer's settings: the child,
    // which reads them as their owner, hands it over.
    // The boot unit goes first: its supervisor stops the services as it
    // ends, and is not started again.
    try {
        callHelper(HelperOperation::removeDaemon, {kServersLabel});
    } catch (const Failure& f) {
        std::cerr << "vesk: " << f.message << "\n";
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw Failure{"cannot make a pipe"};
    asDeveloper(dev, [&] {
        ::close(pipeFds[0]);
        const std::string tld = currentSettings().defaultTLD;
        if (::write(pipeFds[1], tld.data(), tld.size()) < 0) return 1;
        ::close(pipeFds[1]);
        if (env.installed()) stop(Arguments{});
        endSupervisor();
        if (purge) {
            walk::removeTree(VeskPaths::baseDir());
            std::cout << "Removed " << VeskPaths::baseDir() << "\n";
            if (const int held = forgetInDatabases(std::nullopt, VeskPaths::homeDirectory())) {
                std::cout << "The local authority is no longer trusted in " << held
                          << " browser database(s)\n";
            }
        }
        return 0;
    });
    ::close(pipeFds[1]);
    char buffer[256];
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    ::close(pipeFds[0]);
    std::vector<std::string> domains{"test"};
    if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)) != "test") {
        domains.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    for (const std::string& domain : domains) {
        try {
            callHelper(HelperOperation::removeResolver, {domain});
        } catch (const Failure& f) {
            std::cerr << "vesk: " << f.message << "\n";
        }
    }
    // The directory goes with the last resolver file in it.
    ::rmdir("/etc/resolver");
    if (purge) {
        if (removeFromSystem()) std::cout << "The system no longer trusts the local authority\n";
        std::error_code ec;
        if (std::filesystem::remove_all(authorityDir(), ec) > 0) {
            std::cout << "Removed the local authority (" << authorityDir() << ")\n";
        }
    }
    callHelper(HelperOperation::removeCLI, {});
    walk::removeTree(env.layout.veskBase);
    std::cout << "Removed " << env.layout.veskBase << (purge ? "" : "; the sites and settings stay")
              << "\n";
    return 0;
}

}  // namespace vesk::cli
