#include "vesk/debugging/MailSpool.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using vesk::mail::Envelope;
using vesk::mail::Spool;

class MailSpoolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = (fs::temp_directory_path() / ("vesk-spool-" + std::to_string(::getpid()))).string();
        fs::remove_all(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir;
};

TEST_F(MailSpoolTest, MessagesWaitWholeInTheOrderTheyCame) {
    const Spool spool(dir + "/deep/spool");
    ASSERT_TRUE(spool.put({"a@app.test", {"b@example.com", "c@example.com"}}, "Subject: 1\n\nx"));
    ASSERT_TRUE(spool.put({"", {"d@example.com"}}, "Subject: 2\n\nFROM x\nTO y\n"));
    EXPECT_EQ(fs::status(dir + "/deep/spool").permissions() & fs::perms::all, fs::perms::owner_all);
    const auto waiting = spool.waiting();
    ASSERT_EQ(waiting.size(), 2U);
    const auto first = spool.read(waiting[0]);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->envelope.from, "a@app.test");
    EXPECT_EQ(first->envelope.recipients,
              (std::vector<std::string>{"b@example.com", "c@example.com"}));
    EXPECT_EQ(first->message, "Subject: 1\n\nx");
    const auto second = spool.read(waiting[1]);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->envelope.from, "") << "a null sender, as bounces have";
    EXPECT_EQ(second->message, "Subject: 2\n\nFROM x\nTO y\n") << "the message is not envelope";
    spool.done(*first);
    EXPECT_EQ(spool.waiting().size(), 1U);
}

TEST_F(MailSpoolTest, AnEnvelopeThatCouldSmuggleACommandIsRefused) {
    const Spool spool(dir);
    EXPECT_FALSE(spool.put({"a@b\r\nRCPT TO:<x@y>", {"b@c"}}, "x"));
    EXPECT_FALSE(spool.put({"a@b", {"b@c>\nTO evil@x"}}, "x"));
    EXPECT_FALSE(spool.put({"a@b", {}}, "x")) << "no recipient";
    EXPECT_FALSE(spool.put({"a@b", {""}}, "x"));
    EXPECT_FALSE(spool.put({"a@b", {std::string(999, 'a')}}, "x"));
    EXPECT_TRUE(spool.waiting().empty());
}

TEST_F(MailSpoolTest, WhatIsNoSpooledMailIsSetAsideNotDelivered) {
    const Spool spool(dir);
    ASSERT_TRUE(spool.make());
    std::ofstream(dir + "/1-forged.mail") << "FROM a@b\nTO c@d\n\nno magic line";
    std::ofstream(dir + "/2-no-end.mail") << "VESK-SPOOL 1\nFROM a@b\nTO c@d";
    std::ofstream(dir + "/3-nobody.mail") << "VESK-SPOOL 1\nFROM a@b\n\nbody";
    std::ofstream(dir + "/4-other.mail") << "VESK-SPOOL 1\nFROM a@b\nRCPT c@d\n\nbody";
    fs::create_symlink("/etc/shadow", dir + "/5-link.mail");
    std::ofstream(dir + "/.staged.mail") << "VESK-SPOOL 1\nFROM a@b\nTO c@d\n\nhalf";
    const auto waiting = spool.waiting();
    ASSERT_EQ(waiting.size(), 5U) << "a file being written (a dot file) is not waiting";
    for (const auto& path : waiting) EXPECT_FALSE(spool.read(path)) << path;
    EXPECT_TRUE(spool.waiting().empty());
    EXPECT_TRUE(fs::is_symlink(dir + "/5-link.mail.unreadable"));
}

TEST(MailHeaders, SendmailTakesTheRecipientsFromTheHeadersAndHidesTheBcc) {
    const std::string message =
        "From: \"Shop\" <shop@app.test>\r\nTo: Ada <ada@example.com>, team: bob@example.com, "
        "carol@example.com;\r\nCc: ADA@example.com\r\nBcc: audit@app.test,\r\n\tlegal@app.test\r\n"
        "bcc : second@app.test\r\nX-Bcc: kept@app.test\r\nSubject: hi\r\n\r\n"
        "Bcc: this is the body\r\n";
    const Envelope e = vesk::mail::envelopeOf(message);
    EXPECT_EQ(e.from, "shop@app.test");
    EXPECT_EQ(e.recipients,
              (std::vector<std::string>{"ada@example.com", "bob@example.com", "carol@example.com",
                                        "audit@app.test", "legal@app.test", "second@app.test"}));
    EXPECT_EQ(vesk::mail::withoutBcc(message),
              "From: \"Shop\" <shop@app.test>\r\nTo: Ada <ada@example.com>, team: "
              "bob@example.com, carol@example.com;\r\nCc: ADA@example.com\r\n"
              "X-Bcc: kept@app.test\r\nSubject: hi\r\n\r\nBcc: this is the body\r\n");
    EXPECT_EQ(vesk::mail::withoutBcc("Bcc: a@b\nSubject: no body"), "Subject: no body");
    EXPECT_TRUE(vesk::mail::envelopeOf("").recipients.empty());
    EXPECT_TRUE(vesk::mail::envelopeOf("\r\n\r\nTo: a@b\r\n").recipients.empty())
        << "a To in the body is no recipient";
}

}  // namespace
