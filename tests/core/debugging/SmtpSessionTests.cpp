#include "vesk/debugging/SmtpSession.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vesk::smtp::Limits;
using vesk::smtp::Session;

/// Keeps what the session hands on, as the catcher's store would.
struct Kept : vesk::smtp::Sink {
    struct Message {
        std::string from;
        std::vector<std::string> to;
        std::string data;
    };
    std::vector<Message> messages;
    Message current;
    int aborted = 0;
    bool refuseNext = false;

    void begin(const std::string& from, const std::vector<std::string>& recipients) override {
        current = {from, recipients, {}};
    }
    void write(std::string_view bytes) override { current.data.append(bytes); }
    std::string commit() override {
        if (refuseNext) return {};
        messages.push_back(current);
        return "M" + std::to_string(messages.size());
    }
    void abort() override { ++aborted; }
};

/// The reply codes in `replies`, one per line (continuations left out).
std::vector<std::string> codes(const std::string& replies) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < replies.size()) {
        const auto end = replies.find("\r\n", at);
        const std::string line = replies.substr(at, end - at);
        if (line.size() >= 4 && line[3] == ' ') out.push_back(line.substr(0, 3));
        at = end == std::string::npos ? replies.size() : end + 2;
    }
    return out;
}

TEST(SmtpSession, APipelinedConversationIsAnsweredInOrderAndItsDataUnstuffed) {
    Kept kept;
    Session s(kept, "vesk.test");
    EXPECT_EQ(s.greeting(), "220 vesk.test ESMTP Vesk mail catcher\r\n");
    const std::string ehlo = s.feed("EHLO app.test\r\n");
    EXPECT_NE(ehlo.find("250-PIPELINING\r\n"), std::string::npos);
    EXPECT_NE(ehlo.find("250-SIZE 33554432\r\n"), std::string::npos);
    EXPECT_NE(ehlo.find("250-8BITMIME\r\n250-SMTPUTF8\r\n250-AUTH PLAIN LOGIN\r\n"),
              std::string::npos);
    // Everything in one write, as a pipelining client sends it.
    const std::string replies = s.feed(
        "MAIL FROM:<shop@app.test> SIZE=120 BODY=8BITMIME\r\n"
        "RCPT TO:<ada@example.com>\r\n"
        "rcpt to: <bob@example.com>\r\n"
        "DATA\r\n"
        "Subject: hi\r\n"
        "\r\n"
        "..leading dot\r\n"
        ". \r\n"
        ".\r\n"
        "QUIT\r\n");
    EXPECT_EQ(codes(replies), (std::vector<std::string>{"250", "250", "250", "354", "250", "221"}));
    EXPECT_NE(replies.find("250 2.0.0 Ok: queued as M1\r\n"), std::string::npos);
    EXPECT_TRUE(s.closed());
    ASSERT_EQ(kept.messages.size(), 1U);
    EXPECT_EQ(kept.messages[0].from, "shop@app.test");
    EXPECT_EQ(kept.messages[0].to,
              (std::vector<std::string>{"ada@example.com", "bob@example.com"}));
    EXPECT_EQ(kept.messages[0].data, "Subject: hi\r\n\r\n.leading dot\r\n \r\n");
    EXPECT_EQ(s.feed("NOOP\r\n"), "") << "nothing is answered after QUIT";
}

TEST(SmtpSession, BytesArriveInAnyPiecesAndBareLineFeedsAreLines) {
    const std::string conversation =
        "HELO x\nMAIL FROM:<>\nRCPT TO:<a@b>\nDATA\nline one\r\n.\nQUIT\n";
    Kept kept;
    Session s(kept, "h");
    std::string replies;
    for (const char c : conversation) replies += s.feed(std::string(1, c));
    EXPECT_EQ(codes(replies), (std::vector<std::string>{"250", "250", "250", "354", "250", "221"}));
    ASSERT_EQ(kept.messages.size(), 1U);
    EXPECT_EQ(kept.messages[0].from, "") << "the null sender of bounces";
    EXPECT_EQ(kept.messages[0].data, "line one\r\n");
}

TEST(SmtpSession, CommandsOutOfOrderAndBadAddressesAreRefused) {
    Kept kept;
    Session s(kept, "h");
    EXPECT_EQ(codes(s.feed("RCPT TO:<a@b>\r\n")), (std::vector<std::string>{"503"}));
    EXPECT_EQ(codes(s.feed("DATA\r\n")), (std::vector<std::string>{"503"}));
    EXPECT_EQ(codes(s.feed("MAIL FROM:<a@b\r\n")), (std::vector<std::string>{"501"}));
    EXPECT_EQ(codes(s.feed("MAIL FROM:<a\x01@b>\r\n")), (std::vector<std::string>{"501"}));
    EXPECT_EQ(codes(s.feed("MAIL FROM:<a@b>\r\nMAIL FROM:<c@d>\r\n")),
              (std::vector<std::string>{"250", "503"}));
    EXPECT_EQ(codes(s.feed("DATA\r\n")), (std::vector<std::string>{"554"})) << "no recipient";
    EXPECT_EQ(codes(s.feed("RCPT TO:<>\r\n")), (std::vector<std::string>{"501"}));
    EXPECT_EQ(codes(s.feed("RSET\r\nRCPT TO:<a@b>\r\n")), (std::vector<std::string>{"250", "503"}));
    EXPECT_EQ(codes(s.feed("FROB\r\n\r\nSTARTTLS\r\nVRFY x\r\nHELP\r\n")),
              (std::vector<std::string>{"502", "500", "502", "252", "214"}));
    EXPECT_TRUE(kept.messages.empty());
    EXPECT_FALSE(s.closed());
}

TEST(SmtpSession, AnyCredentialsAreTakenByPlainAndLogin) {
    Kept kept;
    Session s(kept, "h");
    EXPECT_EQ(codes(s.feed("AUTH PLAIN AHVzZXIAcGFzcw==\r\n")), (std::vector<std::string>{"235"}));
    EXPECT_EQ(s.feed("AUTH PLAIN\r\n"), "334 \r\n");
    EXPECT_EQ(codes(s.feed("AHVzZXIAcGFzcw==\r\n")), (std::vector<std::string>{"235"}));
    EXPECT_EQ(s.feed("AUTH LOGIN\r\n"), "334 VXNlcm5hbWU6\r\n");
    EXPECT_EQ(s.feed("dXNlcg==\r\n"), "334 UGFzc3dvcmQ6\r\n");
    EXPECT_EQ(codes(s.feed("cGFzcw==\r\n")), (std::vector<std::string>{"235"}));
    EXPECT_EQ(s.feed("AUTH LOGIN dXNlcg==\r\n"), "334 UGFzc3dvcmQ6\r\n");
    EXPECT_EQ(codes(s.feed("*\r\n")), (std::vector<std::string>{"501"}));
    EXPECT_EQ(codes(s.feed("AUTH CRAM-MD5\r\n")), (std::vector<std::string>{"504"}));
}

TEST(SmtpSession, AMessageOverTheLimitIsRefusedWithoutBeingHeld) {
    Limits limits;
    limits.message = 1000;
    Kept kept;
    Session s(kept, "h", limits);
    EXPECT_EQ(codes(s.feed("MAIL FROM:<a@b> SIZE=5000\r\n")), (std::vector<std::string>{"552"}));
    s.feed("MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n");
    // 3 MB in 1 KB lines and one long line: handed on no further than the limit.
    std::string replies;
    const std::string kilobyte(1022, 'x');
    for (int i = 0; i < 2000; ++i) replies += s.feed(kilobyte + "\r\n");
    replies += s.feed(std::string(1'000'000, 'y'));
    replies += s.feed("\r\n.\r\n");
    EXPECT_EQ(codes(replies), (std::vector<std::string>{"552"}));
    EXPECT_LE(kept.current.data.size(), limits.message);
    EXPECT_EQ(kept.aborted, 1);
    EXPECT_TRUE(kept.messages.empty());
    // The session goes on: the next message is taken.
    EXPECT_EQ(codes(s.feed("MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\nsmall\r\n.\r\n")),
              (std::vector<std::string>{"250", "250", "354", "250"}));
    ASSERT_EQ(kept.messages.size(), 1U);
}

TEST(SmtpSession, LongLinesAreBoundedAndDataLinesOfAnyLengthPass) {
    Kept kept;
    Limits limits;
    limits.commandLine = 100;
    Session s(kept, "h", limits);
    std::string replies = s.feed("MAIL FROM:<" + std::string(200'000, 'a'));
    EXPECT_EQ(replies, "") << "nothing is answered before the line ends";
    replies = s.feed(">\r\nNOOP\r\n");
    EXPECT_EQ(codes(replies), (std::vector<std::string>{"500", "250"}));
    // A 300 KB data line (an HTML body that was not wrapped), with a leading
    // dot, arrives whole and unstuffed.
    s.feed("MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n");
    const std::string body = std::string(300'000, 'z');
    s.feed(".." + body.substr(0, 100'000));
    s.feed(body.substr(100'000) + "\r");
    EXPECT_EQ(codes(s.feed("\n.\r\n")), (std::vector<std::string>{"250"}));
    ASSERT_EQ(kept.messages.size(), 1U);
    EXPECT_EQ(kept.messages[0].data, "." + body + "\r\n");
}

TEST(SmtpSession, TooManyErrorsHangUpAndALostClientAbandonsItsMessage) {
    Kept kept;
    Limits limits;
    limits.errors = 3;
    Session s(kept, "h", limits);
    const std::string replies = s.feed("X\r\nY\r\nZ\r\nNOOP\r\n");
    EXPECT_EQ(codes(replies), (std::vector<std::string>{"502", "502", "502", "421"}));
    EXPECT_TRUE(s.closed());

    Kept other;
    {
        Session t(other, "h");
        t.feed("MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\nhalf a mes");
        t.disconnected();
        EXPECT_TRUE(t.closed());
    }
    EXPECT_EQ(other.aborted, 1);
    EXPECT_TRUE(other.messages.empty());
    // A store that cannot keep the message: the client is told to try later.
    Kept full;
    full.refuseNext = true;
    Session u(full, "h");
    EXPECT_EQ(codes(u.feed("MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\nx\r\n.\r\n")),
              (std::vector<std::string>{"250", "250", "354", "451"}));
}

TEST(SmtpSession, AddressesAreTakenFromTheirBracketsOrBare) {
    std::string a;
    EXPECT_TRUE(vesk::smtp::addressIn("<ada@example.com> SIZE=10", a));
    EXPECT_EQ(a, "ada@example.com");
    EXPECT_TRUE(vesk::smtp::addressIn("  bob@example.com BODY=8BITMIME", a));
    EXPECT_EQ(a, "bob@example.com");
    EXPECT_TRUE(vesk::smtp::addressIn("<>", a));
    EXPECT_EQ(a, "");
    EXPECT_TRUE(vesk::smtp::addressIn("<用户@例子.测试>", a)) << "SMTPUTF8";
    EXPECT_FALSE(vesk::smtp::addressIn("<a b@c>", a));
    EXPECT_FALSE(vesk::smtp::addressIn("<" + std::string(400, 'a') + ">", a));
}

}  // namespace
