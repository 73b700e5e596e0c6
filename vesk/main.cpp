// vesk: serve a developer's projects under local domains. The command line is
// parsed here, once; each command is a function over the library.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "Command.hpp"
#include "TerminalOutput.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/Version.hpp"

// The certificate commands are vesk-tls's: vesk itself does not load
// OpenSSL, so every other command starts quickly.
#ifdef VESK_TLS_ELSEWHERE
#define VESK_TLS(function) nullptr
#else
#define VESK_TLS(function) function
#endif

namespace {

using vesk::cli::Arguments;

#ifdef VESK_TLS_ELSEWHERE
/// Runs vesk-tls with the same command line: the one beside this program
/// (a build tree), else the package's.
int runTLSCommand(char** argv) {
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    std::string program = "/usr/libexec/vesk/vesk-tls";
    if (n > 0) {
        self.resize(static_cast<std::size_t>(n));
        const std::string beside = self.substr(0, self.rfind('/') + 1) + "vesk-tls";
        if (::access(beside.c_str(), X_OK) == 0) program = beside;
    }
    std::cout.flush();
    std::cerr.flush();
    ::execv(program.c_str(), argv);
    std::cerr << "vesk: cannot run " << program << "\n";
    return 1;
}
#endif

struct CommandEntry {
    std::string_view name;
    std::string_view usage;
    std::string_view summary;
    int (*run)(const Arguments&);
    /// The options the command takes, space-separated; one that takes a
    /// value ends with '=' (given as "--opt VALUE" or "--opt=VALUE").
    std::string_view options = {};
};

constexpr std::array kCommands{
    CommandEntry{"park", "vesk park [DIR]",
                 "serve every directory in DIR (default: the current one) at <name>.<tld>",
                 vesk::cli::park},
    CommandEntry{"unpark", "vesk unpark [DIR]", "stop serving the directories in DIR",
                 vesk::cli::unpark},
    CommandEntry{"parked", "vesk parked", "list the parked directories", vesk::cli::parked},
    CommandEntry{"link", "vesk link [NAME] [DIR]",
                 "serve DIR (default: the current directory) at NAME.<tld> (default: DIR's name)",
                 vesk::cli::link},
    CommandEntry{"unlink", "vesk unlink [NAME]",
                 "stop serving the linked site NAME (default: the current directory's)",
                 vesk::cli::unlink},
    CommandEntry{"links", "vesk links", "list the linked sites", vesk::cli::links},
    CommandEntry{"sites", "vesk sites [--json]",
                 "list every served site: URL, path, PHP version, linked or parked "
                 "(--json: the Site records)",
                 vesk::cli::sites, "--json"},
    CommandEntry{"use", "vesk use VERSION", "make an installed PHP version the default",
                 vesk::cli::use},
    CommandEntry{"isolate", "vesk isolate VERSION [SITE]",
                 "serve one site (default: the current directory's) with its own PHP version",
                 vesk::cli::isolate},
    CommandEntry{"unisolate", "vesk unisolate [SITE]",
                 "serve a site with the default PHP version again", vesk::cli::unisolate},
    CommandEntry{"doctor", "vesk doctor [--json]",
                 "check what stands between the sites and a browser, with a fix for each "
                 "(exit 1 when something fails)",
                 vesk::cli::doctor, "--json"},
    CommandEntry{"install", "sudo vesk install [USER] [--take-over]",
                 "set up the servers for the developer who ran sudo (or USER), start them, "
                 "and start them at every boot (--take-over: from the developer they are set "
                 "up for)",
                 vesk::cli::install, "--take-over"},
    CommandEntry{"uninstall", "sudo vesk uninstall [USER] [--purge]",
                 "stop the servers and remove their environment; the sites and settings stay "
                 "unless --purge",
                 vesk::cli::uninstall, "--purge"},
    CommandEntry{"secure", "vesk secure [SITE] [--new-authority]",
                 "serve a site (default: the current directory's) over HTTPS with a certificate "
                 "of the local authority",
                 VESK_TLS(vesk::cli::secure), "--new-authority"},
    CommandEntry{"unsecure", "vesk unsecure [SITE]", "serve a site over HTTP again",
                 VESK_TLS(vesk::cli::unsecure)},
    CommandEntry{"trust", "sudo vesk trust",
                 "make the system and the developer's browsers trust the local authority",
                 VESK_TLS(vesk::cli::trust)},
    CommandEntry{"tld", "vesk tld NAME",
                 "serve every site under .NAME instead: settings, resolver file, dnsmasq, "
                 "blocks and the secured sites' certificates",
                 VESK_TLS(vesk::cli::tld)},
    CommandEntry{"start", "vesk start [nginx|php|dnsmasq]", "start the servers (default: all)",
                 vesk::cli::start},
    CommandEntry{"stop", "vesk stop [nginx|php|dnsmasq]", "stop the servers (default: all)",
                 vesk::cli::stop},
    CommandEntry{"restart", "vesk restart [nginx|php|dnsmasq]",
                 "stop and start the servers (default: all)", vesk::cli::restart},
    CommandEntry{"status", "vesk status",
                 "each server: running or not, its pid, ports and sites (exit 3 when a server "
                 "the sites need is stopped)",
                 vesk::cli::status},
    CommandEntry{"logs", "vesk logs [nginx|php|dnsmasq] [-f] [-n LINES]",
                 "the last lines of a server's logs (default: nginx; 50, or 10 with -f); -f "
                 "follows them",
                 vesk::cli::logs, "-f --follow -n="},
    CommandEntry{"profile",
                 "vesk profile list | show ID [--svg FILE] | diff A B [--svg FILE] | import FILE "
                 "[--label TEXT]",
                 "the profiles: list them, draw one as a flame graph (or the change between two "
                 "as a differential one), or import folded stacks",
                 vesk::cli::profile, "--svg= --label="},
    CommandEntry{"stats", "vesk stats [--range 5m|15m|1h|24h] [--site SITE] [--json]",
                 "request statistics from nginx's access log: totals, percentiles, status "
                 "categories, top endpoints",
                 vesk::cli::stats, "--range= --site= --json --log="},
    CommandEntry{"dumps", "vesk dumps [--json]",
                 "print the dumps the sites' code sends (vesk_dump() in PHP) as they arrive",
                 vesk::cli::dumps, "--json"},
    CommandEntry{"lan", "vesk lan [on|off]",
                 "whether other machines on the network reach the sites (off: this machine "
                 "only)",
                 vesk::cli::lan},
    CommandEntry{"open", "vesk open [SITE]",
                 "open a site (default: the current directory's) in the browser", vesk::cli::open},
};

void printHelp(std::ostream& out) {
    out << "usage: vesk COMMAND [ARGUMENTS]\n\nCommands:\n";
    for (const auto& c : kCommands) {
        out << "  " << c.usage << "\n      " << c.summary << "\n";
    }
    out << "\nvesk --version prints the version; vesk COMMAND --help describes one command.\n";
}

enum class OptionKind { none, plain, value };

/// Whether `name` is one of `options` (see CommandEntry), and of which kind.
OptionKind optionKind(std::string_view options, std::string_view name) {
    while (!options.empty()) {
        const auto space = options.find(' ');
        const std::string_view option = options.substr(0, space);
        options = space == std::string_view::npos ? std::string_view{} : options.substr(space + 1);
        if (option == name) return OptionKind::plain;
        if (option.size() == name.size() + 1 && option.back() == '=' &&
            option.substr(0, name.size()) == name) {
            return OptionKind::value;
        }
    }
    return OptionKind::none;
}

const CommandEntry* lookup(std::string_view name) {
    for (const auto& c : kCommands) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    // A short-lived process: the records' texts and the parser's buffers
    // come from one heap grown in large steps and reused, not from a fresh
    // mapping each (whose every page faults in anew).
    ::mallopt(M_MMAP_THRESHOLD, 8 << 20);
    ::mallopt(M_TOP_PAD, 4 << 20);
    vesk::L10n::setLocale(vesk::localeFromSystem());
    const std::vector<std::string> words(argv + 1, argv + argc);
    // Text from outside reaches people's terminals inert; scripts get it exact.
    const bool exact = std::find(words.begin(), words.end(), "--json") != words.end() ||
                       (!words.empty() && words[0] == "--authority-issue");
    const vesk::cli::TerminalSafeOutput output(exact);
    if (words.empty()) {
        printHelp(std::cerr);
        return 2;
    }
    if (words[0] == "--version" || words[0] == "version") {
        std::cout << "vesk " << vesk::VeskVersion::current << "\n";
        return 0;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        if (words.size() > 1) {
            if (const auto* c = lookup(words[1])) {
                std::cout << "usage: " << c->usage << "\n  " << c->summary << "\n";
                return 0;
            }
        }
        printHelp(std::cout);
        return 0;
    }
#ifndef VESK_TLS_ELSEWHERE
    // Root's part of vesk secure, which it runs through sudo.
    if (words[0] == "--authority-issue") return vesk::cli::authorityIssue(words);
#endif
    const CommandEntry* command = lookup(words[0]);
    if (command == nullptr) {
        std::cerr << "vesk: no command \"" << words[0] << "\"; vesk --help lists them\n";
        return 2;
    }
    // Only the set-up commands are root's: anything else run through sudo
    // would keep root's own sites and hand the servers to root.
    if (::geteuid() == 0 && std::getenv("SUDO_USER") != nullptr && command->name != "install" &&
        command->name != "uninstall" && command->name != "trust") {
        std::cerr << "vesk: run \"vesk " << command->name
                  << "\" as yourself, without sudo: only install, uninstall and trust need root\n";
        return 1;
    }
#ifdef VESK_TLS_ELSEWHERE
    if (command->run == nullptr) return runTLSCommand(argv);
#endif
    Arguments args;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--help" || word == "-h") {
            std::cout << "usage: " << command->usage << "\n  " << command->summary << "\n";
            return 0;
        }
        if (word.size() < 2 || word[0] != '-') {
            args.words.push_back(word);
            continue;
        }
        // Only the command's own options: a misspelt one is said, never
        // quietly ignored (vesk uninstall --purg would keep what it names).
        const std::string name = word.substr(0, word.find('='));
        const OptionKind kind = optionKind(command->options, name);
        if (kind == OptionKind::none || (kind == OptionKind::plain && name != word)) {
            std::cerr << "vesk " << command->name << ": no option " << name
                      << "\nusage: " << command->usage << "\n";
            return 2;
        }
        if (kind == OptionKind::plain || name != word) {
            args.flags.insert(word);
        } else if (i + 1 < words.size()) {
            args.flags.insert(word + "=" + words[++i]);
        } else {
            std::cerr << "vesk " << command->name << ": " << name
                      << " needs a value\nusage: " << command->usage << "\n";
            return 2;
        }
    }
    try {
        return command->run(args);
    } catch (const vesk::cli::UsageError&) {
        std::cerr << "usage: " << command->usage << "\n";
        return 2;
    } catch (const vesk::cli::Failure& f) {
        std::cerr << "vesk: " << f.message << "\n";
        return 1;
    } catch (const vesk::RecordFileError& e) {
        std::cerr << "vesk: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "vesk: " << e.what() << "\n";
        return 1;
    }
}
