#include "vesk/debugging/MailStore.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using vesk::mail::parseFile;
using vesk::mail::Store;
using vesk::mail::StoreLimits;

class MailStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = (fs::temp_directory_path() / ("vesk-mail-" + std::to_string(::getpid()))).string();
        fs::remove_all(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    /// Receives one message through the SMTP session, as the catcher does.
    static std::string send(Store& store, const std::string& subject, const std::string& body,
                            const std::string& bcc = "") {
        vesk::mail::StoreSink sink(store);
        vesk::smtp::Session session(sink, "test");
        const std::string replies = session.feed(
            "MAIL FROM:<shop@app.test>\r\nRCPT TO:<ada@example.com>\r\n" +
            (bcc.empty() ? std::string() : "RCPT TO:<" + bcc + ">\r\n") +
            "DATA\r\nFrom: shop@app.test\r\nTo: ada@example.com\r\nSubject: " + subject +
            "\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: "
            "text/plain\r\n\r\n" +
            body +
            "\r\n--b\r\nContent-Type: text/csv\r\nContent-Disposition: attachment; "
            "filename=r.csv\r\n\r\n"
            "a,b\r\n--b--\r\n.\r\n");
        const auto at = replies.find("queued as ");
        return at == std::string::npos
                   ? ""
                   : replies.substr(at + 10, replies.find("\r\n", at) - at - 10);
    }

    std::string dir;
};

TEST_F(MailStoreTest, AMessageIsKeptWhenWholeWithItsRecordAndItsBytes) {
    Store store(dir, {}, parseFile);
    const std::string id = send(store, "Your order", "Thank you", "boss@app.test");
    ASSERT_EQ(id.size(), 36U) << "the reply names the mail's id";
    const auto mails = store.list();
    ASSERT_EQ(mails.size(), 1U);
    EXPECT_EQ(mails[0].id.uuidString(), id);
    EXPECT_EQ(mails[0].subject, "Your order");
    EXPECT_EQ(mails[0].textBody, "Thank you");
    EXPECT_EQ(mails[0].bcc, (std::vector<std::string>{"boss@app.test"}));
    ASSERT_EQ(mails[0].attachments.size(), 1U);
    EXPECT_EQ(mails[0].attachments[0].size, 3);
    EXPECT_FALSE(mails[0].attachments[0].data) << "the record leaves the bytes in the raw message";
    const auto full = store.withAttachments(mails[0]);
    ASSERT_TRUE(full && full->attachments[0].data);
    EXPECT_EQ(std::string(full->attachments[0].data->bytes.begin(),
                          full->attachments[0].data->bytes.end()),
              "a,b");
    EXPECT_NE(store.raw(mails[0])->find("Subject: Your order\r\n"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir + "/tmp"));

    EXPECT_TRUE(store.find(id.substr(0, 8)));
    EXPECT_TRUE(store.find(vesk::UUID::parse(id)->uuidString().substr(0, 6)));
    EXPECT_FALSE(store.find("abc")) << "too short to name one";
    EXPECT_TRUE(store.markRead(mails[0]));
    EXPECT_TRUE(store.list()[0].isRead);
    EXPECT_TRUE(store.remove(mails[0]));
    EXPECT_TRUE(store.list().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
        << "tmp/ alone";
}

TEST_F(MailStoreTest, TheOldestGoPastTheCountOrTheSize) {
    StoreLimits limits;
    limits.count = 3;
    limits.body = 10;
    Store store(dir, limits, parseFile);
    for (int i = 0; i < 5; ++i)
        send(store, "mail " + std::to_string(i), "caf\xc3\xa9 caf\xc3\xa9 caf\xc3\xa9");
    auto mails = store.list();
    ASSERT_EQ(mails.size(), 3U);
    EXPECT_EQ(mails[0].subject, "mail 4") << "newest first";
    EXPECT_EQ(mails[2].subject, "mail 2");
    EXPECT_EQ(mails[0].textBody, "caf\xc3\xa9 caf") << "cut at a character's start";
    EXPECT_EQ(store.clear(), 3U);

    StoreLimits small;
    small.bytes = 1500;
    Store bounded(dir, small, parseFile);
    for (int i = 0; i < 4; ++i) send(bounded, "m" + std::to_string(i), std::string(400, 'x'));
    std::uint64_t total = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == ".eml") total += entry.file_size();
    }
    EXPECT_LE(total, 1500U);
    EXPECT_EQ(bounded.list().front().subject, "m3");
}

TEST_F(MailStoreTest, ACrashLeavesNoHalfMailAndWholeOnesAreReadAgain) {
    {
        Store store(dir, {}, parseFile);
        send(store, "kept", "whole");
        // A message that was being received when the catcher died.
        auto incoming = store.begin();
        ASSERT_TRUE(incoming);
        incoming->write("From: a@b\r\nSubject: half");
        const std::string tmp = fs::directory_iterator(dir + "/tmp")->path().string();
        fs::copy_file(tmp, tmp + ".left");
    }
    // A whole message named before its record was written.
    const std::string orphan = dir + "/0F8FAD5B-D9CB-469F-A165-70867728950E.eml";
    std::ofstream(orphan) << "From: late@app.test\r\nSubject: late\r\n\r\nbody\r\n";
    fs::rename(fs::directory_iterator(dir + "/tmp")->path(), dir + "/tmp/X.eml");
    Store store(dir, {}, parseFile);
    EXPECT_EQ(store.recover(), 1U);
    EXPECT_TRUE(fs::is_empty(dir + "/tmp"));
    const auto mails = store.list();
    ASSERT_EQ(mails.size(), 2U);
    const auto late = store.find("0F8FAD5B");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->subject, "late");
    EXPECT_EQ(late->from, "late@app.test");
    // A record broken by hand is skipped, not fatal.
    std::ofstream(dir + "/" + mails[0].id.uuidString() + ".json", std::ios::trunc) << "{broken";
    EXPECT_EQ(store.list().size(), 1U);
}

TEST_F(MailStoreTest, AMessageThatCannotBeReadBackIsNotKept) {
    Store store(dir, {}, parseFile);
    EXPECT_EQ(store.keep(nullptr, {}), "");
    auto incoming = store.begin();
    ASSERT_TRUE(incoming);
    ASSERT_TRUE(incoming->write("From: a@b\r\n\r\nx\r\n"));
    for (const auto& entry : fs::directory_iterator(dir + "/tmp")) fs::remove(entry.path());
    EXPECT_EQ(store.keep(std::move(incoming), {}), "");
    EXPECT_TRUE(store.list().empty());
    EXPECT_TRUE(fs::is_empty(dir + "/tmp"));
}

TEST_F(MailStoreTest, AReaderWithoutAParserReadsWhatWasKeptAndKeepsNothing) {
    Store catcher(dir, {}, parseFile);
    const std::string id = send(catcher, "Welcome", "Hello");
    Store reader(dir);
    const auto mail = reader.find(id.substr(0, 8));
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->subject, "Welcome");
    EXPECT_TRUE(reader.raw(*mail)->find("Subject: Welcome") != std::string::npos);
    EXPECT_FALSE(reader.withAttachments(*mail));
    EXPECT_EQ(send(reader, "Lost", "x"), "") << "without a parser nothing is kept";
    ASSERT_TRUE(reader.markRead(*mail));
    EXPECT_TRUE(catcher.list().front().isRead);
    // A mail removed meanwhile is not brought back by marking it read.
    ASSERT_TRUE(reader.remove(*mail));
    EXPECT_FALSE(reader.markRead(*mail));
    EXPECT_TRUE(catcher.list().empty());
}

TEST_F(MailStoreTest, TheFilesOfEvictedMailsAreWrittenAgainWithNothingOfThemLeft) {
    StoreLimits one;
    one.count = 1;
    Store store(dir, one, parseFile);
    send(store, "long", std::string(200'000, 'L'));
    send(store, "evicts the long one", "b");
    ASSERT_FALSE(fs::is_empty(dir + "/tmp")) << "its files are kept to be written again";
    const std::string id = send(store, "short", "c");
    ASSERT_FALSE(id.empty());
    const auto mails = store.list();
    ASSERT_EQ(mails.size(), 1U);
    EXPECT_EQ(mails[0].subject, "short");
    const auto raw = store.raw(mails[0]);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->find('L'), std::string::npos) << "nothing of the long mail is left in it";
    EXPECT_EQ(raw->substr(raw->size() - 12), "a,b\r\n--b--\r\n") << "it ends where the message did";
    EXPECT_EQ(store.rawSize(mails[0]), raw->size());
    // A catcher started again finds no spare of the one before.
    Store again(dir, one, parseFile);
    again.recover();
    EXPECT_TRUE(fs::is_empty(dir + "/tmp"));
    EXPECT_EQ(again.list().size(), 1U);
}

}  // namespace
