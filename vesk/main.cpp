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
#include "CommandLine.hpp"
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

using vesk::cli::CommandSpec;

constexpr std::array kCommands{
    CommandSpec{"park", "vesk park [DIR]",
                "serve every directory in DIR (default: the current one) at <name>.<tld>",
                vesk::cli::park, "", "*:dirs"},
    CommandSpec{"unpark", "vesk unpark [DIR]", "stop serving the directories in DIR",
                vesk::cli::unpark, "", "*:dirs"},
    CommandSpec{"parked", "vesk parked", "list the parked directories", vesk::cli::parked},
    CommandSpec{"link", "vesk link [NAME] [DIR]",
                "serve DIR (default: the current directory) at NAME.<tld> (default: DIR's name)",
                vesk::cli::link, "", "2:dirs"},
    CommandSpec{"unlink", "vesk unlink [NAME]",
                "stop serving the linked site NAME (default: the current directory's)",
                vesk::cli::unlink},
    CommandSpec{"links", "vesk links", "list the linked sites", vesk::cli::links},
    CommandSpec{"sites", "vesk sites [--json]",
                "list every served site: URL, path, PHP version, linked or parked "
                "(--json: the Site records)",
                vesk::cli::sites, "--json"},
    CommandSpec{"use", "vesk use VERSION", "make an installed PHP version the default",
                vesk::cli::use, "", "1:php"},
    CommandSpec{"isolate", "vesk isolate VERSION [SITE]",
                "serve one site (default: the current directory's) with its own PHP version",
                vesk::cli::isolate, "", "1:php"},
    CommandSpec{"unisolate", "vesk unisolate [SITE]",
                "serve a site with the default PHP version again", vesk::cli::unisolate},
    CommandSpec{"doctor", "vesk doctor [--json]",
                "check what stands between the sites and a browser, with a fix for each "
                "(exit 1 when something fails)",
                vesk::cli::doctor, "--json"},
    CommandSpec{"install", "sudo vesk install [USER] [--take-over]",
                "set up the servers for the developer who ran sudo (or USER), start them, "
                "and start them at every boot (--take-over: from the developer they are set "
                "up for)",
                vesk::cli::install, "--take-over"},
    CommandSpec{"uninstall", "sudo vesk uninstall [USER] [--purge]",
                "stop the servers and remove their environment; the sites and settings stay "
                "unless --purge",
                vesk::cli::uninstall, "--purge"},
    CommandSpec{"secure", "vesk secure [SITE] [--new-authority]",
                "serve a site (default: the current directory's) over HTTPS with a certificate "
                "of the local authority",
                VESK_TLS(vesk::cli::secure), "--new-authority"},
    CommandSpec{"unsecure", "vesk unsecure [SITE]", "serve a site over HTTP again",
                VESK_TLS(vesk::cli::unsecure)},
    CommandSpec{"trust", "sudo vesk trust",
                "make the system and the developer's browsers trust the local authority",
                VESK_TLS(vesk::cli::trust)},
    CommandSpec{"tld", "vesk tld NAME",
                "serve every site under .NAME instead: settings, resolver file, dnsmasq, "
                "blocks and the secured sites' certificates",
                VESK_TLS(vesk::cli::tld)},
    CommandSpec{"start", "vesk start [nginx|php|dnsmasq|mail]", "start the servers (default: all)",
                vesk::cli::start, "", "1:nginx php dnsmasq mail"},
    CommandSpec{"stop", "vesk stop [nginx|php|dnsmasq|mail]", "stop the servers (default: all)",
                vesk::cli::stop, "", "1:nginx php dnsmasq mail"},
    CommandSpec{"restart", "vesk restart [nginx|php|dnsmasq|mail]",
                "stop and start the servers (default: all)", vesk::cli::restart, "",
                "1:nginx php dnsmasq mail"},
    CommandSpec{"status", "vesk status",
                "each server: running or not, its pid, ports and sites (exit 3 when a server "
                "the sites need is stopped)",
                vesk::cli::status},
    CommandSpec{"logs", "vesk logs [nginx|php|dnsmasq|mail] [-f] [-n LINES]",
                "the last lines of a server's logs (default: nginx; 50, or 10 with -f); -f "
                "follows them",
                vesk::cli::logs, "-f --follow -n=", "1:nginx php dnsmasq mail"},
    CommandSpec{"profile",
                "vesk profile list | show ID [--svg FILE] | diff A B [--svg FILE] | import [FILE] "
                "[--label TEXT]",
                "the profiles: list them, draw one as a flame graph (or the change between two "
                "as a differential one), or import one: Xdebug's (cachegrind) or folded stacks; "
                "without FILE, every profile Xdebug's pools wrote",
                vesk::cli::profile, "--svg= --label=", "1:list show diff import;2@import:files"},
    CommandSpec{"stats", "vesk stats [--range 5m|15m|1h|24h] [--site SITE] [--json]",
                "request statistics from nginx's access log: totals, percentiles, status "
                "categories, top endpoints",
                vesk::cli::stats, "--range= --site= --json --log="},
    CommandSpec{"dumps", "vesk dumps [--json]",
                "print the dumps the sites' code sends (vesk_dump() in PHP) as they arrive",
                vesk::cli::dumps, "--json"},
    CommandSpec{"lan", "vesk lan [on|off]",
                "whether other machines on the network reach the sites (off: this machine "
                "only)",
                vesk::cli::lan, "", "1:on off"},
    CommandSpec{"env", "vesk env NAME... [--write [DIR]]",
                "the connection settings of Vesk's services (mariadb, mysql, postgresql, redis, "
                "..., and mail: its mail catcher) as a project's .env takes them; --write sets "
                "them in DIR's .env (default: "
                "the current directory), every other line kept and the old file beside it",
                vesk::cli::env, "--write", "*:mariadb mysql postgresql redis mail"},
    CommandSpec{"service",
                "vesk service list | start NAME... | stop NAME... | restart NAME... | status "
                "[NAME...] | logs [-f] NAME  [--json]",
                "the developer's services (mariadb, mysql, postgresql, redis) from Debian's "
                "programs, on 127.0.0.1: start keeps them running (and starts them at boot) "
                "until stop",
                vesk::cli::service, "--json -f --follow",
                "1:list start stop restart status logs;*:mariadb mysql postgresql redis"},
    CommandSpec{"db",
                "vesk db list | create NAME | drop NAME [--force] | snapshot NAME [--label L] "
                "[--notes N] | snapshots | restore LABEL|ID [--into NAME] | forget LABEL|ID  "
                "[--service KIND] [--json]",
                "the databases of the SQL services (the first of mariadb, mysql, postgresql kept "
                "running, or --service), and their snapshots (zstd-compressed dumps)",
                vesk::cli::db, "--json --force --label= --notes= --into= --service=",
                "1:list create drop snapshot snapshots restore forget"},
    CommandSpec{"mail",
                "vesk mail list [--json] | show ID [--html|--text|--raw|--headers|--json] | open "
                "ID | attachments ID [DIR] | read ID | delete ID | clear | -f [--json]",
                "the mail the sites sent, kept by the mail catcher and never delivered (newest "
                "first; an ID is the first characters of one); -f prints new mail as it arrives",
                vesk::cli::mail, "--json --html --text --raw --headers -f --follow",
                "1:list show open attachments read delete clear"},
    CommandSpec{"worker",
                "vesk worker add [SITE] [--connection C] [--queue Q] [--memory MB] [--timeout S] "
                "[--tries N] | list [--json] | start|stop|restart|remove ID|SITE | logs ID|SITE "
                "[-f]",
                "Laravel queue workers (php artisan queue:work in the site's directory, with its "
                "PHP version), kept running by the supervisor, after a crash and at every boot, "
                "until stopped",
                vesk::cli::worker,
                "--json -f --follow --connection= --queue= --memory= --timeout= --tries=",
                "1:add list start stop restart remove logs"},
    CommandSpec{"proxy", "vesk proxy NAME PORT|URL [--secure] [--any-host]",
                "serve NAME.<tld> by forwarding to a server of yours (a local port, or an http:// "
                "URL on this machine; another machine's only with --any-host), WebSockets "
                "included",
                vesk::cli::proxy, "--secure --any-host"},
    CommandSpec{"unproxy", "vesk unproxy NAME", "stop serving a proxied site", vesk::cli::unproxy},
    CommandSpec{"proxies", "vesk proxies [--json]", "the proxied sites and where they forward",
                vesk::cli::proxies, "--json"},
    CommandSpec{"node", "vesk node start|stop|restart|logs [SITE] [-f] | list [--json]",
                "a Node.js project's own server (its start script, with PORT set to a port Vesk "
                "chooses), kept running by the supervisor until stopped; the site forwards to it",
                vesk::cli::node, "--json -f --follow", "1:start stop restart logs list"},
    CommandSpec{"vite",
                "vesk vite [start] [SITE] [--port P] | stop [SITE] | logs [SITE] [-f] | list "
                "[--json]",
                "the project's Vite dev server, kept running by the supervisor, its modules and "
                "hot reload served through the site itself (https included), the project's Vite "
                "configuration untouched",
                vesk::cli::vite, "--json --port= -f --follow", "1:start stop logs list"},
    CommandSpec{"docker", "vesk docker [list] [--json] | sync",
                "the running Docker containers and the domain and port each would get; sync "
                "serves each one labelled vesk.domain (and vesk.port) there, and stops serving "
                "those whose container is gone",
                vesk::cli::docker, "--json", "1:list sync"},
    CommandSpec{"xdebug",
                "vesk xdebug on [SITE] [--mode debug|profile|trace] [--ide vscode|phpstorm] "
                "[--key KEY] [--host H] [--port P] [--trigger|--always] | off [SITE] | status "
                "[--json]",
                "Xdebug for the requests that ask for it: the sites' pools never load it; while "
                "it is on, requests with the XDEBUG_SESSION or XDEBUG_TRIGGER cookie or query "
                "parameter reach a pool that does (for every site, or the sites named)",
                vesk::cli::xdebug,
                "--json --mode= --ide= --key= --host= --port= --trigger --always",
                "1:on off status"},
    CommandSpec{"supervise", "vesk supervise [--boot]",
                "the supervisor in the foreground (vesk start runs it in the background; the "
                "boot unit runs it with --boot, which starts the servers stopped before)",
                vesk::cli::supervise, "--boot"},
    CommandSpec{"open", "vesk open [SITE]",
                "open a site (default: the current directory's) in the browser", vesk::cli::open},
};

const CommandSpec* lookup(std::string_view name) {
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
        vesk::cli::printHelp(kCommands, std::cerr);
        return 2;
    }
    if (words[0] == "--completion") {
        std::cout << vesk::cli::completionScript(kCommands);
        return 0;
    }
    if (words[0] == "--version" || words[0] == "version") {
        std::cout << "vesk " << vesk::VeskVersion::current << "\n";
        return 0;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        if (words.size() > 1) {
            if (const auto* c = lookup(words[1])) {
                vesk::cli::printCommandHelp(*c, std::cout);
                return 0;
            }
        }
        vesk::cli::printHelp(kCommands, std::cout);
        return 0;
    }
#ifndef VESK_TLS_ELSEWHERE
    // Root's part of vesk secure, which it runs through sudo.
    if (words[0] == "--authority-issue") return vesk::cli::authorityIssue(words);
#endif
    const CommandSpec* command = lookup(words[0]);
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
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (vesk::cli::asksForHelp(rest)) {
        vesk::cli::printCommandHelp(*command, std::cout);
        return 0;
    }
    Arguments args;
    try {
        args = vesk::cli::parseArguments(*command, rest);
    } catch (const vesk::cli::CommandLineError& e) {
        std::cerr << e.message << "\n";
        return 2;
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
