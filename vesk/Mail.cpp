// vesk mail: the mail the sites sent, as the catcher kept it. list, show,
// open (the HTML part in the browser, every remote fetch blocked), the
// attachments written out, read, delete, clear, and -f to follow new mail.
// Everything a mail says reaches the terminal inert; the attachments are
// read by the catcher's program, so this command loads no MIME library.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <set>

#include "Command.hpp"
#include "vesk/debugging/MailSpool.hpp"
#include "vesk/debugging/MailStore.hpp"
#include "vesk/foundation/Unicode.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/system/AtomicFile.hpp"
#include "vesk/system/Fd.hpp"
#include "vesk/system/ProcFS.hpp"

namespace vesk::cli {

namespace {

/// What a page of a caught mail may load: its own inline styles and
/// images written into it, nothing from anywhere else, no script.
constexpr std::string_view kPagePolicy =
    "default-src 'none'; img-src data:; style-src 'unsafe-inline'; font-src data:; "
    "form-action 'none'; base-uri 'none'";

mail::Store store() {
    return mail::Store(mail::storeDirectory());
}

/// One line of a field from a mail: its line ends and controls shown, not
/// obeyed, and cut at `width` characters.
std::string field(std::string_view text, std::size_t width) {
    std::string line = Unicode::terminalSafe(text, false);
    if (line.size() > width * 4) line.resize(width * 4);
    std::size_t characters = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (++characters > width) {
            line.resize(i);
            line += "…";
            break;
        }
    }
    return line;
}

std::string localTime(const Date& when) {
    const auto t = static_cast<std::time_t>(when.timeIntervalSince1970());
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string recipientsText(const CapturedMail& m) {
    if (m.to.empty()) return m.bcc.empty() ? "" : "(bcc) " + m.bcc.front();
    return m.to.front() +
           (m.to.size() > 1 ? " +" + std::to_string(m.to.size() - 1) : std::string());
}

void printLine(const mail::Store& s, const CapturedMail& m) {
    std::cout << m.id.uuidString().substr(0, 8) << "  " << (m.isRead ? "    " : "new ") << " "
              << localTime(m.timestamp) << "  " << field(m.from, 28) << " → "
              << field(recipientsText(m), 28) << "  " << field(m.subject, 50) << "  "
              << sizeText(static_cast<std::int64_t>(s.rawSize(m)))
              << (m.attachments.empty() ? "" : "  📎" + std::to_string(m.attachments.size()))
              << "\n";
}

CapturedMail found(const mail::Store& s, const std::optional<std::string>& id) {
    if (!id) throw UsageError{};
    auto m = s.find(*id);
    if (!m) {
        throw Failure{"no single mail has an id starting with " +
                      Unicode::terminalSafe(*id, false) +
                      " (at least 4 characters): vesk mail list shows them"};
    }
    return *m;
}

/// `text` with CRLF line ends as LF: a terminal shows no ␍ on every line.
std::string lines(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

int listMail(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const auto s = store();
    const auto mails = s.list();
    if (args.has("--json")) {
        std::cout << scriptJSON(mails, true) << "\n";
        return 0;
    }
    if (mails.empty()) {
        std::cout << "No mail caught yet: the sites' mail() and SMTP to 127.0.0.1:"
                  << mail::kCatcherPort << " land here (vesk env mail)\n";
    }
    for (const auto& m : mails) printLine(s, m);
    return 0;
}

int show(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    auto s = store();
    const CapturedMail m = found(s, args.word(0));
    s.markRead(m);
    if (args.has("--json")) {
        std::cout << scriptJSON(m, true) << "\n";
        return 0;
    }
    if (args.has("--raw")) {
        const auto raw = s.raw(m);
        if (!raw) throw Failure{"the message of mail " + m.id.uuidString() + " is gone"};
        std::cout << lines(*raw);
        return 0;
    }
    if (args.has("--headers")) {
        for (const auto& [name, value] : m.headers) {
            std::cout << field(name, 80) << ": " << field(value, 400) << "\n";
        }
        return 0;
    }
    if (args.has("--html")) {
        if (!m.htmlBody)
            throw Failure{"mail " + m.id.uuidString().substr(0, 8) + " has no HTML part"};
        std::cout << lines(*m.htmlBody) << "\n";
        return 0;
    }
    const auto join = [](const std::vector<std::string>& all) {
        std::string text;
        for (const auto& a : all) text += (text.empty() ? "" : ", ") + a;
        return text;
    };
    std::cout << "From:     " << field(m.from, 200) << "\n";
    std::cout << "To:       " << field(join(m.to), 400) << "\n";
    if (!m.cc.empty()) std::cout << "Cc:       " << field(join(m.cc), 400) << "\n";
    if (!m.bcc.empty()) std::cout << "Bcc:      " << field(join(m.bcc), 400) << "\n";
    std::cout << "Subject:  " << field(m.subject, 400) << "\n";
    std::cout << "Caught:   " << localTime(m.timestamp) << "\n";
    for (const auto& a : m.attachments) {
        std::cout << "Attached: " << field(a.filename.empty() ? "(no name)" : a.filename, 100)
                  << " (" << field(a.contentType, 60) << ", " << sizeText(a.size) << ")\n";
    }
    std::cout << "\n";
    if (m.textBody) {
        std::cout << lines(*m.textBody) << "\n";
    } else if (m.htmlBody) {
        std::cout << "(HTML only: vesk mail open " << m.id.uuidString().substr(0, 8)
                  << " shows it, vesk mail show --html prints it)\n";
    } else {
        std::cout << "(no body)\n";
    }
    return 0;
}

/// The page of a mail's HTML part: the policy that blocks every remote
/// fetch first thing in its head.
std::string pageOf(const std::string& html) {
    const std::string meta = "<meta http-equiv=\"Content-Security-Policy\" content=\"" +
                             std::string(kPagePolicy) + "\">";
    // After a doctype, so the page keeps its standards mode.
    std::size_t at = html.find_first_not_of(" \t\r\n");
    if (at == std::string::npos) at = 0;
    std::string start = html.substr(at, 9);
    std::transform(start.begin(), start.end(), start.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (start == "<!doctype") {
        const auto end = html.find('>', at);
        if (end != std::string::npos) {
            return html.substr(0, end + 1) + meta + html.substr(end + 1);
        }
    }
    return meta + html;
}

int openPage(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    auto s = store();
    const CapturedMail m = found(s, args.word(0));
    if (!m.htmlBody) {
        throw Failure{"mail " + m.id.uuidString().substr(0, 8) +
                      " has no HTML part: vesk mail show " + m.id.uuidString().substr(0, 8)};
    }
    const std::string dir = s.directory() + "/pages";
    ::mkdir(dir.c_str(), 0700);
    const std::string path = dir + "/" + m.id.uuidString() + ".html";
    atomicfile::Options options;
    options.mode = 0600;
    if (atomicfile::replace(path, pageOf(*m.htmlBody), options) != 0) {
        throw Failure{"cannot write " + path};
    }
    s.markRead(m);
    std::cout << path << std::endl;
    std::vector<char*> argv;
    std::string program = "xdg-open";
    std::string target = "file://" + path;
    argv = {program.data(), target.data(), nullptr};
    std::cerr.flush();
    ::execvp(argv[0], argv.data());
    throw Failure{"cannot run xdg-open: open " + path + " in a browser"};
}

int attachments(const Arguments& args) {
    if (args.words.empty() || args.words.size() > 2) throw UsageError{};
    const auto s = store();
    const CapturedMail m = found(s, args.word(0));
    if (m.attachments.empty()) {
        std::cout << "mail " << m.id.uuidString().substr(0, 8) << " has no attachment\n";
        return 0;
    }
    std::string program = packageProgram("vesk-mail-catcher");
    std::string flag = "--attachments";
    std::string id = m.id.uuidString();
    std::string dir = args.word(1).value_or(".");
    std::string storeFlag = "--store";
    std::string storeDir = s.directory();
    char* argv[] = {program.data(),   flag.data(),     id.data(), dir.data(),
                    storeFlag.data(), storeDir.data(), nullptr};
    std::cout.flush();
    std::cerr.flush();
    ::execv(program.c_str(), argv);
    throw Failure{"cannot run " + program + ": reinstall the vesk package"};
}

int markRead(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    auto s = store();
    if (!s.markRead(found(s, args.word(0)))) throw Failure{"the mail is gone"};
    return 0;
}

int remove(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    auto s = store();
    const CapturedMail m = found(s, args.word(0));
    s.remove(m);
    ::unlink((s.directory() + "/pages/" + m.id.uuidString() + ".html").c_str());
    std::cout << "Deleted mail " << m.id.uuidString().substr(0, 8) << "\n";
    return 0;
}

int clear(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    auto s = store();
    const auto count = s.clear();
    std::error_code ec;
    std::filesystem::remove_all(s.directory() + "/pages", ec);
    std::cout << "Deleted " << count << (count == 1 ? " mail" : " mails") << "\n";
    return 0;
}

/// Prints each new mail as it arrives (its record renamed into place),
/// until interrupted; with --json, one record a line.
int follow(const Arguments& args) {
    const bool json = args.has("--json");
    const auto s = store();
    const Fd watch(::inotify_init1(IN_CLOEXEC));
    if (!watch || ::inotify_add_watch(watch.get(), s.directory().c_str(),
                                      IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR) < 0) {
        throw Failure{"cannot watch " + s.directory()};
    }
    std::set<std::string> seen;
    const auto mails = s.list();
    for (const auto& m : mails) seen.insert(m.id.uuidString());
    // The last few first, as tail -f does.
    if (!json) {
        const std::size_t from = mails.size() > 10 ? mails.size() - 10 : 0;
        for (std::size_t i = mails.size(); i > from; --i) printLine(s, mails[i - 1]);
        std::cout << "(following new mail; Ctrl-C ends)" << std::endl;
    }
    char buffer[4096];
    for (;;) {
        if (::read(watch.get(), buffer, sizeof buffer) <= 0) continue;
        auto fresh = s.list();
        std::reverse(fresh.begin(), fresh.end());
        for (const auto& m : fresh) {
            if (!seen.insert(m.id.uuidString()).second) continue;
            if (json) {
                std::cout << scriptJSON(m) << "\n";
            } else {
                printLine(s, m);
            }
        }
        std::cout.flush();
    }
}

}  // namespace

std::vector<DiagnosticResult> mailChecks() {
    std::vector<DiagnosticResult> results;
    const std::string label =
        "the mail catcher answers on 127.0.0.1:" + std::to_string(mail::kCatcherPort);
    const std::string program = packageProgram("vesk-mail-catcher");
    std::optional<long> catcher;
    bool degraded = false;
    if (supervisorPid()) {
        for (const auto& server : supervisorReport().read({}).servers) {
            if (server.name != kMailCatcher) continue;
            if (server.pid) catcher = *server.pid;
            degraded = server.health.status == HealthStatus::degraded;
        }
    }
    const auto holder = procfs::tcpPortHolder(mail::kCatcherPort);
    if (::access(program.c_str(), X_OK) != 0) {
        results.push_back({label, DiagnosticSeverity::error,
                           program + " is missing: reinstall the vesk package"});
    } else if (holder && (!catcher || holder->pid != *catcher)) {
        results.push_back({label, DiagnosticSeverity::error,
                           portHeld(mail::kCatcherPort, *holder) +
                               "; the sites' mail waits in the spool meanwhile\n      then vesk "
                               "start mail"});
    } else if (!degraded && !catcher) {
        // A degraded catcher is reported with the other servers kept running.
        results.push_back({label, DiagnosticSeverity::warning,
                           "it is stopped: the sites' mail waits in the spool (vesk start mail)"});
    } else if (!degraded) {
        results.push_back({label, DiagnosticSeverity::passed, std::nullopt});
    }
    const auto waiting = mail::Spool(mail::spoolDirectory()).waiting().size();
    if (waiting > 0) {
        results.push_back({"no mail waits for the catcher", DiagnosticSeverity::warning,
                           std::to_string(waiting) +
                               (waiting == 1 ? " mail waits" : " mails wait") + " in " +
                               mail::spoolDirectory() +
                               ": the catcher delivers them when it runs (vesk start mail)"});
    }
    return results;
}

int mail(const Arguments& args) {
    const auto verb = args.word(0);
    if (!verb) {
        if (args.has("-f") || args.has("--follow")) return follow(args);
        throw UsageError{};
    }
    Arguments rest = args;
    rest.words.erase(rest.words.begin());
    if (*verb == "list")
        return (args.has("-f") || args.has("--follow")) ? follow(rest) : listMail(rest);
    if (*verb == "show") return show(rest);
    if (*verb == "open") return openPage(rest);
    if (*verb == "attachments") return attachments(rest);
    if (*verb == "read") return markRead(rest);
    if (*verb == "delete") return remove(rest);
    if (*verb == "clear") return clear(rest);
    throw UsageError{};
}

}  // namespace vesk::cli
