// The mail catcher's SMTP session fed arbitrary bytes in arbitrary pieces:
// every reply is a line with a code, a message never passes the limit, and
// what is kept is exactly what was handed on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vesk/debugging/SmtpSession.hpp"

namespace {

struct Counting : vesk::smtp::Sink {
    std::size_t size = 0;
    std::size_t limit = 0;
    bool open = false;
    void begin(const std::string&, const std::vector<std::string>& recipients) override {
        if (open || recipients.empty()) std::abort();
        open = true;
        size = 0;
    }
    void write(std::string_view bytes) override {
        if (!open) std::abort();
        size += bytes.size();
        if (size > limit) std::abort();
    }
    std::string commit() override {
        if (!open) std::abort();
        open = false;
        return "id";
    }
    void abort() override { open = false; }
};

void checkReplies(const std::string& replies) {
    std::size_t at = 0;
    while (at < replies.size()) {
        const auto end = replies.find("\r\n", at);
        if (end == std::string::npos || end - at < 3) std::abort();
        for (std::size_t i = at; i < at + 3; ++i) {
            if (replies[i] < '0' || replies[i] > '9') std::abort();
        }
        at = end + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    vesk::smtp::Limits limits;
    limits.message = 4096;
    limits.commandLine = 256;
    Counting sink;
    sink.limit = limits.message;
    {
        vesk::smtp::Session session(sink, "fuzz.test", limits);
        // The first byte chooses the piece size, so lines are split anywhere.
        const std::size_t piece = input.empty() ? 1 : 1 + static_cast<unsigned char>(input[0]) % 64;
        for (std::size_t at = 0; at < input.size() && !session.closed(); at += piece) {
            checkReplies(session.feed(input.substr(at, piece)));
        }
        session.disconnected();
    }
    if (sink.open) std::abort();
    return 0;
}
