// One SMTP conversation of the mail catcher, as a state machine over bytes:
// what the client sent goes in, the replies come out, and each message's
// data goes to a sink as it arrives (never held whole), so a session is
// bounded in memory whatever a client sends. It speaks what PHP's and the
// frameworks' mailers send: EHLO/HELO, MAIL, RCPT, DATA, RSET, NOOP, QUIT,
// VRFY, HELP, PIPELINING, 8BITMIME, SMTPUTF8, SIZE and AUTH PLAIN/LOGIN
// (any credentials: the catcher keeps mail, it guards nothing). No socket is
// touched here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::smtp {

struct Limits {
    /// A command line (RFC 5321 says 512 octets; clients' AUTH lines are longer).
    std::size_t commandLine = 4096;
    /// A message's data, refused past it (552) and advertised as SIZE.
    std::size_t message = std::size_t{32} << 20;
    std::size_t recipients = 1000;
    /// Refused commands before the catcher hangs up (421).
    std::size_t errors = 20;
};

/// Where a message's data goes while it arrives.
class Sink {
  public:
    virtual ~Sink() = default;
    /// A message from `from` to `recipients` begins.
    virtual void begin(const std::string& from, const std::vector<std::string>& recipients) = 0;
    /// The next bytes of its data, dot-stuffing undone, lines ending CRLF.
    virtual void write(std::string_view bytes) = 0;
    /// It is whole: its id for the reply, or an empty text when it could
    /// not be kept (the client is told to try again later).
    virtual std::string commit() = 0;
    /// It is abandoned (too large, the client left).
    virtual void abort() = 0;
};

class Session {
  public:
    Session(Sink& sink, std::string hostname, Limits limits = {});
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    /// The server's first words.
    [[nodiscard]] std::string greeting() const;
    /// Takes what the client sent; the replies to send back, in order.
    std::string feed(std::string_view bytes);
    /// The client is gone: a message being received is abandoned.
    void disconnected();
    /// Whether the conversation is over (QUIT, too many errors): the caller
    /// sends the last replies and closes.
    [[nodiscard]] bool closed() const noexcept { return closed_; }
    /// Messages kept in this session.
    [[nodiscard]] std::size_t accepted() const noexcept { return accepted_; }

  private:
    /// authLast: the line that ends an authentication (PLAIN's credentials,
    /// LOGIN's password); authLoginUser: LOGIN's user name.
    enum class State { command, data, authLoginUser, authLast };

    void line(std::string_view text, std::string& out);
    void command(std::string_view text, std::string& out);
    /// A data line's text (or the start of a long one), to the sink.
    void dataLine(std::string_view text);
    /// A data line's end: its CRLF, or the end of the data after a lone dot.
    void endOfLine(std::string& out);
    void refuse(std::string_view reply, std::string& out);
    void reset();

    Sink& sink_;
    std::string hostname_;
    Limits limits_;
    State state_ = State::command;
    std::string pending_;    ///< the start of a line not ended yet
    bool overlong_ = false;  ///< discarding the rest of a line past the limit
    bool midLine_ = false;   ///< part of a long data line was handed on
    bool endData_ = false;   ///< the lone dot was read
    bool closed_ = false;
    std::string from_;
    bool haveFrom_ = false;
    std::vector<std::string> recipients_;
    std::size_t dataSize_ = 0;
    bool tooLarge_ = false;
    bool inMessage_ = false;
    std::size_t errors_ = 0;
    std::size_t accepted_ = 0;
};

/// The address in a MAIL FROM or RCPT TO argument ("<a@b> SIZE=10" gives
/// a@b; "<>" gives an empty text); false when there is none.
bool addressIn(std::string_view argument, std::string& address);

}  // namespace vesk::smtp
