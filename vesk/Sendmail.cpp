// vesk-sendmail: the sendmail every PHP pool's mail() runs. It takes what
// sendmail takes (-t, -f SENDER, -i, recipients as arguments; the other
// options are accepted and ignored) and hands the message to Vesk's mail
// catcher on 127.0.0.1, after making sure from its greeting that the
// catcher is what answers. When it is not running (or cannot take the
// message now) the message waits in the developer's spool, which the
// catcher delivers when it starts: mail() does not fail and nothing is
// lost. No mail ever leaves the machine.
//
//   vesk-sendmail [-t] [-i] [-f SENDER] [-F NAME] [-o OPTION] [--] [RECIPIENT...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "vesk/debugging/MailSpool.hpp"
#include "vesk/system/Fd.hpp"

namespace {

using vesk::mail::Envelope;

constexpr int kUsage = 64;      // EX_USAGE
constexpr int kDataError = 65;  // EX_DATAERR
constexpr int kTempFail = 75;   // EX_TEMPFAIL
/// How long the catcher has to answer each step.
constexpr int kReplySeconds = 30;

struct Options {
    bool fromHeaders = false;
    bool dotEnds = true;
    std::optional<std::string> sender;
    std::vector<std::string> recipients;
};

/// Recipients given as arguments may be comma-separated lists.
void addRecipients(std::string_view list, std::vector<std::string>& out) {
    std::size_t at = 0;
    while (at <= list.size()) {
        const auto comma = std::min(list.find(',', at), list.size());
        std::string_view one = list.substr(at, comma - at);
        while (!one.empty() && (one.front() == ' ' || one.front() == '\t')) one.remove_prefix(1);
        while (!one.empty() && (one.back() == ' ' || one.back() == '\t')) one.remove_suffix(1);
        if (one.size() > 2 && one.front() == '<' && one.back() == '>') {
            one = one.substr(1, one.size() - 2);
        }
        if (!one.empty()) out.emplace_back(one);
        at = comma + 1;
    }
}

std::optional<Options> parseArguments(int argc, char** argv) {
    Options o;
    bool words = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (words || a.empty() || a[0] != '-') {
            addRecipients(a, o.recipients);
            continue;
        }
        if (a == "--") {
            words = true;
        } else if (a == "-t") {
            o.fromHeaders = true;
        } else if (a == "-i" || a == "-oi") {
            o.dotEnds = false;
        } else if (a.rfind("-f", 0) == 0 || a.rfind("-r", 0) == 0 || a.rfind("-F", 0) == 0 ||
                   a == "-o" || a == "-O" || a == "-B" || a == "-N" || a == "-R" || a == "-V" ||
                   a == "-L" || a == "-X") {
            // An option with a value, joined or next.
            std::optional<std::string> value;
            if (a.size() > 2 && a.rfind("-o", 0) != 0) {
                value = a.substr(2);
            } else if (a.size() == 2 && i + 1 < argc) {
                value = argv[++i];
            } else if (a.size() == 2) {
                return std::nullopt;
            }
            if ((a[1] == 'f' || a[1] == 'r') && value && !value->empty()) {
                std::vector<std::string> one;
                addRecipients(*value, one);
                if (one.size() == 1) o.sender = one.front();
            }
        }
        // Every other option (-bm, -odi, -oem, -v...) changes nothing here.
    }
    return o;
}

/// The message on standard input; none past the largest one.
std::optional<std::string> readMessage(bool dotEnds) {
    std::string message;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        message.append(buffer, static_cast<std::size_t>(n));
        if (message.size() > vesk::mail::kLargestMessage) return std::nullopt;
    }
    if (dotEnds) {
        // A line of a lone dot ends the message, as with sendmail itself.
        for (const std::string_view end : {"\n.\n", "\n.\r\n"}) {
            const auto at = message.find(end);
            if (at != std::string::npos) message.resize(at + 1);
        }
        if (message.rfind(".\n", 0) == 0 || message.rfind(".\r\n", 0) == 0) message.clear();
    }
    return message;
}

/// The conversation with the catcher, over a blocking socket with a time
/// bound on every read and write.
class Client {
  public:
    explicit Client(vesk::Fd socket) : socket_(std::move(socket)) {}

    /// The next whole reply (its last line's code first); empty on failure.
    std::string reply() {
        std::string text;
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                const std::string line = buffer_.substr(0, nl + 1);
                buffer_.erase(0, nl + 1);
                text += line;
                if (line.size() >= 4 && line[3] == ' ') return text;
                if (line.size() < 4 || line[3] != '-' || text.size() > 65536) return {};
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::recv(socket_.get(), chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || buffer_.size() > 65536) return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    /// Sends `command` and reads its reply.
    std::string ask(const std::string& command) { return send(command + "\r\n") ? reply() : ""; }

  private:
    vesk::Fd socket_;
    std::string buffer_;
};

/// The message as DATA carries it: CRLF line ends, lines that start with a
/// dot doubled, the final dot line.
std::string dataOf(std::string_view message) {
    std::string out;
    out.reserve(message.size() + message.size() / 32 + 8);
    std::size_t at = 0;
    while (at < message.size()) {
        auto nl = message.find('\n', at);
        if (nl == std::string_view::npos) nl = message.size();
        std::string_view line = message.substr(at, nl - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.front() == '.') out += '.';
        out.append(line).append("\r\n");
        at = nl + 1;
    }
    out += ".\r\n";
    return out;
}

enum class Handed { taken, later, refused };

/// Hands the message over; `refusal` gets the catcher's reply when it
/// refuses it for good.
Handed hand(int port, const Envelope& envelope, std::string_view message, std::string& refusal) {
    vesk::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return Handed::later;
    const timeval limit{kReplySeconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return Handed::later;
    }
    Client c(std::move(fd));
    // Another program on the catcher's port never gets a mail.
    const std::string greeting = c.reply();
    if (greeting.rfind("220 ", 0) != 0 ||
        greeting.find(vesk::mail::kCatcherBanner) == std::string::npos) {
        return Handed::later;
    }
    const auto code = [](const std::string& reply) { return reply.substr(0, 1); };
    const auto failedWith = [&](const std::string& reply) {
        if (code(reply) == "5") {
            refusal = reply.substr(0, reply.find_first_of("\r\n"));
            return Handed::refused;
        }
        return Handed::later;
    };
    // Addresses beyond ASCII need the catcher's SMTPUTF8.
    const auto beyondASCII = [](const std::string& text) {
        return std::any_of(text.begin(), text.end(),
                           [](char ch) { return static_cast<unsigned char>(ch) >= 0x80; });
    };
    const bool utf8 =
        beyondASCII(envelope.from) ||
        std::any_of(envelope.recipients.begin(), envelope.recipients.end(), beyondASCII);
    if (code(c.ask("EHLO vesk-sendmail")) != "2") return Handed::later;
    const std::string mail = c.ask("MAIL FROM:<" + envelope.from + ">" + (utf8 ? " SMTPUTF8" : ""));
    if (code(mail) != "2") return failedWith(mail);
    for (const auto& r : envelope.recipients) {
        const std::string rcpt = c.ask("RCPT TO:<" + r + ">");
        if (code(rcpt) != "2") return failedWith(rcpt);
    }
    const std::string data = c.ask("DATA");
    if (code(data) != "3") return failedWith(data);
    if (!c.send(dataOf(message))) return Handed::later;
    const std::string queued = c.reply();
    if (code(queued) != "2") return failedWith(queued);
    c.ask("QUIT");
    return Handed::taken;
}

std::string loginAddress() {
    const passwd* pw = ::getpwuid(::getuid());
    return std::string(pw != nullptr ? pw->pw_name : "php") + "@localhost";
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    const auto options = parseArguments(argc, argv);
    if (!options) {
        std::cerr << "usage: vesk-sendmail [-t] [-i] [-f SENDER] [--] [RECIPIENT...]\n";
        return kUsage;
    }
    auto message = readMessage(options->dotEnds);
    if (!message) {
        std::cerr << "vesk-sendmail: the message is larger than 32 MiB: not sent\n";
        return kDataError;
    }
    Envelope envelope;
    envelope.recipients = options->recipients;
    const Envelope headers = vesk::mail::envelopeOf(*message);
    if (options->fromHeaders) {
        for (const auto& r : headers.recipients) {
            if (std::find(envelope.recipients.begin(), envelope.recipients.end(), r) ==
                envelope.recipients.end()) {
                envelope.recipients.push_back(r);
            }
        }
        *message = vesk::mail::withoutBcc(*message);
    }
    envelope.from = options->sender.value_or(headers.from.empty() ? loginAddress() : headers.from);
    if (envelope.recipients.empty()) {
        std::cerr << "vesk-sendmail: no recipients (name them, or use -t): not sent\n";
        return kUsage;
    }
    for (const auto& a : envelope.recipients) {
        if (!vesk::mail::isEnvelopeAddress(a)) {
            std::cerr << "vesk-sendmail: a recipient holds a control character or an angle "
                         "bracket: not sent\n";
            return kDataError;
        }
    }
    if (!vesk::mail::isEnvelopeAddress(envelope.from)) envelope.from = loginAddress();
    int port = vesk::mail::kCatcherPort;
    if (const char* p = std::getenv("VESK_MAIL_PORT")) {
        const long value = std::strtol(p, nullptr, 10);
        if (value > 0 && value < 65536) port = static_cast<int>(value);
    }
    std::string refusal;
    switch (hand(port, envelope, *message, refusal)) {
        case Handed::taken:
            return 0;
        case Handed::refused:
            std::cerr << "vesk-sendmail: the mail catcher refused the message: " << refusal << "\n";
            return kDataError;
        case Handed::later:
            break;
    }
    const vesk::mail::Spool spool(vesk::mail::spoolDirectory());
    if (!spool.put(envelope, *message)) {
        std::cerr << "vesk-sendmail: cannot keep the message in " << spool.directory() << ": "
                  << std::strerror(errno) << "\n";
        return kTempFail;
    }
    return 0;
}
