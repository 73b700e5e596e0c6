#include "vesk/debugging/SmtpSession.hpp"

#include <algorithm>
#include <cctype>

namespace vesk::smtp {

namespace {

/// A long data line is handed on in pieces of this size, not held whole.
constexpr std::size_t kDataPiece = 65536;
/// The longest address taken (RFC 5321: 64 + 1 + 255).
constexpr std::size_t kAddress = 320;

bool startsWithWord(std::string_view text, std::string_view word) {
    if (text.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != word[i]) return false;
    }
    return text.size() == word.size() || text[word.size()] == ' ';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

/// The argument after "FROM:" or "TO:" (any case), or none.
bool after(std::string_view text, std::string_view keyword, std::string_view& rest) {
    text = trimmed(text);
    if (text.size() < keyword.size()) return false;
    for (std::size_t i = 0; i < keyword.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != keyword[i]) return false;
    }
    rest = trimmed(text.substr(keyword.size()));
    return true;
}

/// The value of the SIZE parameter among `parameters`, when given.
bool sizeParameter(std::string_view parameters, std::size_t& size) {
    std::size_t at = 0;
    while (at < parameters.size()) {
        const auto end = std::min(parameters.find(' ', at), parameters.size());
        const std::string_view p = parameters.substr(at, end - at);
        if (p.size() > 5 && startsWithWord(p.substr(0, 4), "SIZE") && p[4] == '=') {
            std::size_t value = 0;
            for (const char c : p.substr(5)) {
                if (c < '0' || c > '9') return false;
                if (value > (std::size_t{1} << 48)) return true;
                value = value * 10 + static_cast<std::size_t>(c - '0');
            }
            size = value;
            return true;
        }
        at = end + 1;
    }
    return false;
}

}  // namespace

bool addressIn(std::string_view argument, std::string& address) {
    argument = trimmed(argument);
    std::string_view inside;
    if (!argument.empty() && argument.front() == '<') {
        const auto close = argument.find('>');
        if (close == std::string_view::npos) return false;
        inside = argument.substr(1, close - 1);
    } else {
        inside = argument.substr(0, std::min(argument.find(' '), argument.size()));
    }
    if (inside.size() > kAddress) return false;
    const bool clean = std::all_of(inside.begin(), inside.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u != 0x7f && c != '<' && c != '>';
    });
    if (!clean) return false;
    address.assign(inside);
    return true;
}

Session::Session(Sink& sink, std::string hostname, Limits limits)
    : sink_(sink), hostname_(std::move(hostname)), limits_(limits) {}

Session::~Session() {
    if (inMessage_) sink_.abort();
}

std::string Session::greeting() const {
    return "220 " + hostname_ + " ESMTP Vesk mail catcher\r\n";
}

void Session::disconnected() {
    if (inMessage_) sink_.abort();
    inMessage_ = false;
    closed_ = true;
}

std::string Session::feed(std::string_view bytes) {
    std::string out;
    while (!bytes.empty() && !closed_) {
        const auto nl = bytes.find('\n');
        const std::string_view piece =
            bytes.substr(0, nl == std::string_view::npos ? bytes.size() : nl);
        bytes.remove_prefix(nl == std::string_view::npos ? bytes.size() : nl + 1);
        if (overlong_) {
            // The rest of a command line past the limit: dropped to its end.
            if (nl != std::string_view::npos) {
                overlong_ = false;
                refuse("500 5.5.2 Error: line too long", out);
            }
            continue;
        }
        pending_.append(piece);
        if (nl == std::string_view::npos) {
            if (state_ == State::data && pending_.size() > kDataPiece) {
                // A long data line goes on in pieces; its end may be a CR.
                const bool cr = pending_.back() == '\r';
                std::string start = pending_.substr(0, pending_.size() - (cr ? 1 : 0));
                pending_ = cr ? "\r" : "";
                dataLine(start);
                midLine_ = true;
            } else if (state_ != State::data && pending_.size() > limits_.commandLine) {
                pending_.clear();
                overlong_ = true;
            }
            continue;
        }
        std::string text = std::move(pending_);
        pending_.clear();
        if (!text.empty() && text.back() == '\r') text.pop_back();
        line(text, out);
    }
    return out;
}

void Session::line(std::string_view text, std::string& out) {
    switch (state_) {
        case State::data:
            dataLine(text);
            endOfLine(out);
            return;
        case State::authLoginUser:
            if (text == "*") {
                state_ = State::command;
                refuse("501 5.7.0 Error: authentication cancelled", out);
                return;
            }
            state_ = State::authLast;
            out += "334 UGFzc3dvcmQ6\r\n";
            return;
        case State::authLast:
            // PLAIN's credentials, or LOGIN's password: any are taken.
            state_ = State::command;
            if (text == "*") {
                refuse("501 5.7.0 Error: authentication cancelled", out);
            } else {
                out += "235 2.7.0 Authentication successful\r\n";
            }
            return;
        case State::command:
            command(text, out);
            return;
    }
}

void Session::dataLine(std::string_view text) {
    if (!midLine_) {
        // At a line's start: the lone dot ends the data; a leading dot was
        // doubled by the client.
        if (text == ".") {
            endData_ = true;
            return;
        }
        if (!text.empty() && text.front() == '.') text.remove_prefix(1);
    }
    if (tooLarge_) return;
    dataSize_ += text.size();
    if (dataSize_ > limits_.message) {
        tooLarge_ = true;
        sink_.abort();
        inMessage_ = false;
        return;
    }
    sink_.write(text);
}

void Session::endOfLine(std::string& out) {
    midLine_ = false;
    if (!endData_) {
        if (tooLarge_) return;
        dataSize_ += 2;
        if (dataSize_ > limits_.message) {
            tooLarge_ = true;
            sink_.abort();
            inMessage_ = false;
            return;
        }
        sink_.write("\r\n");
        return;
    }
    endData_ = false;
    state_ = State::command;
    if (tooLarge_) {
        out += "552 5.3.4 Error: message size exceeds fixed maximum message size\r\n";
    } else {
        inMessage_ = false;
        const std::string id = sink_.commit();
        if (id.empty()) {
            out += "451 4.3.0 Error: the message could not be kept, try again later\r\n";
        } else {
            ++accepted_;
            out += "250 2.0.0 Ok: queued as " + id + "\r\n";
        }
    }
    reset();
}

void Session::refuse(std::string_view reply, std::string& out) {
    out += reply;
    out += "\r\n";
    if (++errors_ >= limits_.errors) {
        out += "421 4.7.0 " + hostname_ + " Error: too many errors\r\n";
        closed_ = true;
    }
}

void Session::reset() {
    from_.clear();
    haveFrom_ = false;
    recipients_.clear();
    dataSize_ = 0;
    tooLarge_ = false;
}

void Session::command(std::string_view text, std::string& out) {
    const std::string_view verbAndRest = trimmed(text);
    const auto space = verbAndRest.find(' ');
    const std::string_view rest =
        space == std::string_view::npos ? std::string_view{} : trimmed(verbAndRest.substr(space));
    const auto is = [&](std::string_view verb) { return startsWithWord(verbAndRest, verb); };
    if (verbAndRest.empty()) {
        refuse("500 5.5.2 Error: bad syntax", out);
    } else if (is("EHLO")) {
        reset();
        out += "250-" + hostname_ + "\r\n250-PIPELINING\r\n250-SIZE " +
               std::to_string(limits_.message) +
               "\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n250-AUTH PLAIN LOGIN\r\n250 "
               "ENHANCEDSTATUSCODES\r\n";
    } else if (is("HELO")) {
        reset();
        out += "250 " + hostname_ + "\r\n";
    } else if (is("MAIL")) {
        std::string_view argument;
        std::string address;
        std::size_t size = 0;
        if (haveFrom_) {
            refuse("503 5.5.1 Error: nested MAIL command", out);
        } else if (!after(rest, "FROM:", argument) || !addressIn(argument, address)) {
            refuse("501 5.1.7 Error: bad sender address syntax", out);
        } else if (sizeParameter(argument.substr(std::min(argument.find(' '), argument.size())),
                                 size) &&
                   size > limits_.message) {
            refuse("552 5.3.4 Error: message size exceeds fixed maximum message size", out);
        } else {
            from_ = address;
            haveFrom_ = true;
            out += "250 2.1.0 Ok\r\n";
        }
    } else if (is("RCPT")) {
        std::string_view argument;
        std::string address;
        if (!haveFrom_) {
            refuse("503 5.5.1 Error: need MAIL command", out);
        } else if (!after(rest, "TO:", argument) || !addressIn(argument, address) ||
                   address.empty()) {
            refuse("501 5.1.3 Error: bad recipient address syntax", out);
        } else if (recipients_.size() >= limits_.recipients) {
            out += "452 4.5.3 Error: too many recipients\r\n";
        } else {
            recipients_.push_back(address);
            out += "250 2.1.5 Ok\r\n";
        }
    } else if (is("DATA")) {
        if (!rest.empty()) {
            refuse("501 5.5.4 Syntax: DATA", out);
        } else if (!haveFrom_) {
            refuse("503 5.5.1 Error: need MAIL command", out);
        } else if (recipients_.empty()) {
            refuse("554 5.5.1 Error: no valid recipients", out);
        } else {
            sink_.begin(from_, recipients_);
            inMessage_ = true;
            state_ = State::data;
            out += "354 End data with <CR><LF>.<CR><LF>\r\n";
        }
    } else if (is("RSET")) {
        reset();
        out += "250 2.0.0 Ok\r\n";
    } else if (is("NOOP")) {
        out += "250 2.0.0 Ok\r\n";
    } else if (is("QUIT")) {
        out += "221 2.0.0 Bye\r\n";
        closed_ = true;
    } else if (is("VRFY")) {
        out += "252 2.0.0 Cannot VRFY user, but will accept message\r\n";
    } else if (is("HELP")) {
        out += "214 2.0.0 EHLO HELO MAIL RCPT DATA RSET NOOP QUIT VRFY AUTH\r\n";
    } else if (is("AUTH")) {
        // Any credentials: frameworks send them, and nothing here is guarded.
        const auto mechanismEnd = std::min(rest.find(' '), rest.size());
        const std::string_view mechanism = rest.substr(0, mechanismEnd);
        const bool initial = mechanismEnd < rest.size();
        if (startsWithWord(mechanism, "PLAIN")) {
            if (initial) {
                out += "235 2.7.0 Authentication successful\r\n";
            } else {
                state_ = State::authLast;
                out += "334 \r\n";
            }
        } else if (startsWithWord(mechanism, "LOGIN")) {
            state_ = initial ? State::authLast : State::authLoginUser;
            out += initial ? "334 UGFzc3dvcmQ6\r\n" : "334 VXNlcm5hbWU6\r\n";
        } else {
            refuse("504 5.5.4 Error: unrecognized authentication type", out);
        }
    } else if (is("STARTTLS")) {
        refuse("502 5.5.1 Error: no TLS here: the catcher answers this machine alone", out);
    } else {
        refuse("502 5.5.2 Error: command not recognized", out);
    }
}

}  // namespace vesk::smtp
