// The mail catcher as clients meet it: the real program on a port of the
// test's own, many clients at once, ones that stall or flood; and sendmail,
// as PHP's mail() runs it, with the catcher up, down, or something else on
// its port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vesk/debugging/MailSpool.hpp"
#include "vesk/debugging/MailStore.hpp"

namespace {

namespace fs = std::filesystem;

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 100; ++i) {
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
    return -1;
}

/// What the server says until it closes or `until` appears (`seconds` at most).
std::string readUntil(int fd, const std::string& until, int seconds = 10) {
    std::string got;
    char buffer[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::string message(int n) {
    return "EHLO client\r\nMAIL FROM:<app@site.test>\r\nRCPT TO:<user" + std::to_string(n) +
           "@example.com>\r\nDATA\r\nFrom: app@site.test\r\nTo: user" + std::to_string(n) +
           "@example.com\r\nSubject: number " + std::to_string(n) + "\r\n\r\nbody\r\n.\r\nQUIT\r\n";
}

class MailCatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = (fs::temp_directory_path() / ("vesk-catcher-" + std::to_string(::getpid()))).string();
        fs::remove_all(dir);
        home = dir + "/home";
        spool = home + "/Library/Application Support/Vesk/mail/spool";
        store = dir;
        fs::create_directories(home);
        port = freePort();
    }
    /// The catcher, dropping a client after `idle` seconds without a byte.
    void start(int idle) {
        child = ::fork();
        if (child == 0) {
            const std::string p = std::to_string(port);
            const std::string i = std::to_string(idle);
            ::execl(VESK_CATCHER, VESK_CATCHER, "--port", p.c_str(), "--store", store.c_str(),
                    "--spool", spool.c_str(), "--idle", i.c_str(), nullptr);
            ::_exit(127);
        }
    }
    void stop() {
        if (child <= 0) return;
        ::kill(child, SIGTERM);
        int status = 0;
        ::waitpid(child, &status, 0);
        child = 0;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "it ends cleanly on SIGTERM";
    }
    void TearDown() override {
        stop();
        fs::remove_all(dir);
    }

    /// sendmail with `arguments`, `input` on its standard input, as the
    /// developer whose home is the test's; its exit status.
    [[nodiscard]] int sendmail(const std::vector<std::string>& arguments,
                               const std::string& input) const {
        int fds[2];
        if (::pipe(fds) != 0) return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[0], 0);
            ::close(fds[0]);
            ::close(fds[1]);
            ::setenv("HOME", home.c_str(), 1);
            ::setenv("VESK_MAIL_PORT", std::to_string(port).c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(VESK_SENDMAIL)};
            for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(VESK_SENDMAIL, argv.data());
            ::_exit(127);
        }
        ::close(fds[0]);
        const bool written =
            ::write(fds[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
        ::close(fds[1]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!written) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    /// The store's mails once `count` are there (ten seconds at most).
    [[nodiscard]] std::vector<vesk::CapturedMail> mailsOnce(std::size_t count) const {
        const vesk::mail::Store kept(store);
        for (int i = 0; i < 200; ++i) {
            auto mails = kept.list();
            if (mails.size() >= count) return mails;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return kept.list();
    }

    [[nodiscard]] std::size_t spooled() const { return vesk::mail::Spool(spool).waiting().size(); }

    /// vesk with `args`, as the developer; its status and output.
    [[nodiscard]] std::pair<int, std::string> vesk(const std::string& args) const {
        const std::string command = "cd '" + dir + "' && HOME='" + home + "' PATH='" + dir +
                                    "/bin:/usr/bin:/bin' " + VESK_PROGRAM + " " + args + " 2>&1";
        std::string out;
        FILE* p = ::popen(command.c_str(), "r");
        if (p == nullptr) return {-1, out};
        std::array<char, 4096> buffer{};
        while (std::fgets(buffer.data(), buffer.size(), p) != nullptr) out += buffer.data();
        const int status = ::pclose(p);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }

    std::string dir;
    std::string home;
    std::string spool;
    std::string store;
    int port = 0;
    pid_t child = 0;
};

TEST_F(MailCatcherTest, TwoHundredClientsAtOnceAreEachKept) {
    // Connecting 200 may take a second's SYN retry: no client is idle here.
    start(60);
    std::vector<int> fds;
    for (int i = 0; i < 200; ++i) {
        const int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    for (int i = 0; i < 200; ++i) {
        const std::string m = message(i);
        ASSERT_EQ(::send(fds[static_cast<std::size_t>(i)], m.data(), m.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(m.size()));
    }
    int done = 0;
    bool shown = false;
    for (const int fd : fds) {
        const std::string got = readUntil(fd, "221 ", 60);
        const bool kept = got.find("250 2.0.0 Ok: queued as") != std::string::npos;
        done += kept ? 1 : 0;
        if (!kept && !shown) {
            shown = true;
            ADD_FAILURE() << "a client was answered: " << got;
        }
        ::close(fd);
    }
    EXPECT_EQ(done, 200);
    vesk::mail::Store store(dir);
    const auto mails = store.list();
    ASSERT_EQ(mails.size(), 200U);
    std::set<std::string> subjects;
    for (const auto& m : mails) subjects.insert(m.subject);
    EXPECT_EQ(subjects.size(), 200U);
}

TEST_F(MailCatcherTest, AClientThatStallsOrFloodsHoldsNoOneUp) {
    start(1);
    const int silent = connectTo(port);
    ASSERT_GE(silent, 0);
    EXPECT_NE(readUntil(silent, "\r\n").find("220 "), std::string::npos);
    const int flood = connectTo(port);
    ASSERT_GE(flood, 0);
    const std::string junk(1 << 20, 'x');
    for (int i = 0; i < 8; ++i)
        (void)::send(flood, junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    // Meanwhile another client is served at once.
    const int fd = connectTo(port);
    const std::string m = message(1);
    ::send(fd, m.data(), m.size(), MSG_NOSIGNAL);
    EXPECT_NE(readUntil(fd, "221 ").find("queued as"), std::string::npos);
    ::close(fd);
    // The silent one is told and dropped after its idle time.
    const std::string told = readUntil(silent, "421");
    EXPECT_NE(told.find("421 4.4.2 Timeout"), std::string::npos) << told;
    ::close(silent);
    ::close(flood);
    // Too large a message is refused with its code, and the session goes on.
    const int big = connectTo(port);
    const std::string size = "EHLO x\r\nMAIL FROM:<a@b> SIZE=999999999\r\nQUIT\r\n";
    ::send(big, size.data(), size.size(), MSG_NOSIGNAL);
    EXPECT_NE(readUntil(big, "221 ").find("552 5.3.4"), std::string::npos);
    ::close(big);
}

const std::string kPHPMail =
    "To: ada@example.com\nSubject: =?UTF-8?B?V2lsbGtvbW1lbg==?=\nBcc: audit@app.test\n"
    "Cc: Bob <bob@example.com>\nFrom: shop@app.test\nMIME-Version: 1.0\n"
    "Content-Type: text/plain; charset=UTF-8\n\n.hidden line\nHello\n";

TEST_F(MailCatcherTest, SendmailHandsMailToTheCatcherAsPHPSendsIt) {
    start(10);
    ASSERT_NE(connectTo(port), -1);
    EXPECT_EQ(sendmail({"-t", "-i"}, kPHPMail), 0);
    EXPECT_EQ(sendmail({"-i", "-f", "bounce@app.test", "carol@example.com, dan@example.com"},
                       "Subject: second\n\nbody\n"),
              0);
    const auto mails = mailsOnce(2);
    ASSERT_EQ(mails.size(), 2U);
    const auto& first = mails[1].subject == "Willkommen" ? mails[1] : mails[0];
    const auto& second = mails[1].subject == "Willkommen" ? mails[0] : mails[1];
    EXPECT_EQ(first.from, "shop@app.test");
    EXPECT_EQ(first.to, (std::vector<std::string>{"ada@example.com"}));
    EXPECT_EQ(first.cc, (std::vector<std::string>{"bob@example.com"}));
    EXPECT_EQ(first.bcc, (std::vector<std::string>{"audit@app.test"}));
    EXPECT_EQ(first.textBody, ".hidden line\r\nHello\r\n") << "a leading dot survives the dialogue";
    const auto raw = vesk::mail::Store(dir).raw(first);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->find("Bcc:"), std::string::npos) << "the recipients never see a Bcc";
    EXPECT_EQ(second.bcc, (std::vector<std::string>{"carol@example.com", "dan@example.com"}));
    EXPECT_EQ(spooled(), 0U);
    // Without -i a lone dot ends the message, as with sendmail itself.
    EXPECT_EQ(sendmail({"eve@example.com"}, "Subject: dot\n\nkept\n.\nnot kept\n"), 0);
    const auto third = mailsOnce(3);
    ASSERT_EQ(third.size(), 3U);
    EXPECT_EQ(third.front().textBody, "kept\r\n");
    // The options of the classic sendmail attacks (a log file the web
    // server serves, another configuration) do nothing here.
    const std::string planted = dir + "/planted.php";
    EXPECT_EQ(sendmail({"-t", "-i", "-fa@b.test", "-X" + planted, "-OQueueDirectory=" + dir,
                        "-C" + planted, "-X", planted},
                       "To: frank@example.com\nSubject: attacked\n\n<?php system($_GET[1]); ?>\n"),
              0);
    EXPECT_FALSE(fs::exists(planted)) << "sendmail wrote a file it was told to";
    ASSERT_EQ(mailsOnce(4).size(), 4U);
    EXPECT_EQ(mailsOnce(4).front().from, "a@b.test");
    // Nobody to send to is an error, not a silent loss.
    EXPECT_EQ(sendmail({"-i"}, "Subject: nobody\n\nx\n"), 64);
    EXPECT_EQ(sendmail({"-i", "a@b\r\nRCPT TO:<x@y>"}, "Subject: x\n\nx\n"), 65);
}

TEST_F(MailCatcherTest, MailSentWhileTheCatcherIsDownWaitsAndArrivesWhenItStarts) {
    EXPECT_EQ(sendmail({"-t", "-i"}, kPHPMail), 0) << "mail() does not fail";
    EXPECT_EQ(sendmail({"-t", "-i"}, "To: z@example.com\nSubject: later\n\nx\n"), 0);
    EXPECT_EQ(spooled(), 2U);
    // Something that is no spooled mail is set aside, never delivered.
    fs::create_directories(spool);
    std::ofstream(spool + "/0000-forged.mail") << "not a spool file";
    start(10);
    const auto mails = mailsOnce(2);
    ASSERT_EQ(mails.size(), 2U);
    EXPECT_EQ(mails[1].bcc, (std::vector<std::string>{"audit@app.test"}));
    for (int i = 0; i < 100 && spooled() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(spooled(), 0U);
    EXPECT_TRUE(fs::exists(spool + "/0000-forged.mail.unreadable"));
    // A message spooled while it runs (it could not take it) arrives too.
    ASSERT_TRUE(vesk::mail::Spool(spool).put({"a@app.test", {"b@example.com"}},
                                             "Subject: spooled meanwhile\r\n\r\nx\r\n"));
    const auto after = mailsOnce(3);
    ASSERT_EQ(after.size(), 3U);
    EXPECT_EQ(after.front().subject, "spooled meanwhile");
}

TEST_F(MailCatcherTest, AnotherServerOnTheCatchersPortNeverGetsTheMail) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    std::string heard;
    std::thread relay([&] {
        const int client = ::accept(listener, nullptr, nullptr);
        const std::string greeting = "220 mx.example.com ESMTP Postfix\r\n";
        (void)::send(client, greeting.data(), greeting.size(), MSG_NOSIGNAL);
        heard = readUntil(client, "MAIL FROM", 3);
        ::close(client);
    });
    EXPECT_EQ(sendmail({"-t", "-i"}, kPHPMail), 0);
    relay.join();
    ::close(listener);
    EXPECT_EQ(heard.find("MAIL FROM"), std::string::npos) << heard;
    EXPECT_EQ(spooled(), 1U) << "the mail waits for the catcher instead";
}

TEST_F(MailCatcherTest, AttachmentsAreWrittenUnderSafeNamesAndNeverOverAFile) {
    start(10);
    const int fd = connectTo(port);
    ASSERT_NE(fd, -1);
    const std::string dialogue =
        "EHLO c\r\nMAIL FROM:<a@app.test>\r\nRCPT TO:<b@example.com>\r\nDATA\r\n"
        "Subject: files\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
        "Content-Type: text/plain\r\n\r\nsee attached\r\n--b\r\nContent-Type: text/plain\r\n"
        "Content-Disposition: attachment; filename=\"../../.bashrc\"\r\n\r\nevil\r\n--b\r\n"
        "Content-Type: text/csv\r\nContent-Disposition: attachment; filename=report.csv\r\n\r\n"
        "a,b\r\n--b--\r\n.\r\nQUIT\r\n";
    (void)::send(fd, dialogue.data(), dialogue.size(), MSG_NOSIGNAL);
    readUntil(fd, "221 ");
    ::close(fd);
    const auto mails = mailsOnce(1);
    ASSERT_EQ(mails.size(), 1U);
    const std::string out = dir + "/out";
    fs::create_directories(out);
    std::ofstream(out + "/report.csv") << "mine";
    const std::string id = mails[0].id.uuidString().substr(0, 8);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execl(VESK_CATCHER, VESK_CATCHER, "--attachments", id.c_str(), out.c_str(), "--store",
                dir.c_str(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"bashrc", "report.csv", "report (2).csv"}));
    std::ifstream kept(out + "/report.csv");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "mine");
    EXPECT_FALSE(fs::exists(dir + "/.bashrc"));
}

TEST_F(MailCatcherTest, TheDeveloperReadsTheCaughtMailWithVeskMail) {
    store = home + "/Library/Application Support/Vesk/mail";
    start(10);
    ASSERT_NE(connectTo(port), -1);
    const std::string html =
        "To: ada@example.com\nFrom: Shop <shop@app.test>\nSubject: Order \x1b[2J\x1b]0;owned\x07 "
        "ready\nBcc: audit@app.test\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=m\n\n--m\n"
        "Content-Type: multipart/alternative; boundary=a\n\n--a\nContent-Type: text/plain\n\n"
        "Your order \x1b[31mis ready.\n--a\nContent-Type: text/html\n\n<!DOCTYPE html><html><body>"
        "<img src=\"https://tracker.example/p.gif\">Your <b>order</b></body></html>\n--a--\n--m\n"
        "Content-Type: application/pdf\nContent-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment; filename=invoice.pdf\n\nJVBERi0xLjQK\n--m--\n";
    ASSERT_EQ(sendmail({"-t", "-i"}, html), 0);
    ASSERT_EQ(mailsOnce(1).size(), 1U);

    const auto [listed, list] = vesk("mail list");
    EXPECT_EQ(listed, 0) << list;
    EXPECT_EQ(list.find('\x1b'), std::string::npos) << "a mail's escapes reach no terminal";
    EXPECT_NE(list.find("new "), std::string::npos) << list;
    EXPECT_NE(list.find("Order \\x1b[2J"), std::string::npos) << list;
    const auto records =
        vesk::decodeJSON<std::vector<vesk::CapturedMail>>(vesk("mail list --json").second, [] {
            vesk::CodingOptions o;
            o.dates = vesk::DateStrategy::iso8601;
            return o;
        }());
    ASSERT_EQ(records.size(), 1U);
    const auto& m = records[0];
    EXPECT_EQ(m.from, "shop@app.test");
    EXPECT_EQ(m.bcc, (std::vector<std::string>{"audit@app.test"}));
    EXPECT_EQ(m.subject, "Order \x1b[2J\x1b]0;owned\x07 ready") << "--json is exact";
    ASSERT_EQ(m.attachments.size(), 1U);
    EXPECT_EQ(m.attachments[0].filename, "invoice.pdf");
    EXPECT_FALSE(m.isRead);
    const std::string id = m.id.uuidString().substr(0, 8);

    const auto [shown, text] = vesk("mail show " + id);
    EXPECT_EQ(shown, 0);
    EXPECT_NE(text.find("Your order \\x1b[31mis ready.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Attached: invoice.pdf (application/pdf, 9 B)"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(vesk("mail list").second.find("new "), std::string::npos) << "shown is read";
    EXPECT_EQ(vesk("mail show " + id + " --raw").second.find("Bcc:"), std::string::npos);
    EXPECT_NE(vesk("mail show " + id + " --html").second.find("<b>order</b>"), std::string::npos);

    fs::create_directories(dir + "/files");
    const auto [saved, savedText] = vesk("mail attachments " + id + " files");
    EXPECT_EQ(saved, 0) << savedText;
    std::ifstream pdf(dir + "/files/invoice.pdf");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(pdf), {}), "%PDF-1.4\n");

    // The page opened keeps every remote fetch out.
    fs::create_directories(dir + "/bin");
    std::ofstream(dir + "/bin/xdg-open") << "#!/bin/sh\necho \"$1\" > '" << dir << "/opened'\n";
    fs::permissions(dir + "/bin/xdg-open", fs::perms::owner_all);
    EXPECT_EQ(vesk("mail open " + id).first, 0);
    std::ifstream opened(dir + "/opened");
    std::string url;
    std::getline(opened, url);
    ASSERT_EQ(url.rfind("file://", 0), 0U) << url;
    std::ifstream page(url.substr(7));
    const std::string pageText(std::istreambuf_iterator<char>(page), {});
    EXPECT_EQ(pageText.rfind("<!DOCTYPE html><meta http-equiv=\"Content-Security-Policy\" "
                             "content=\"default-src 'none'; img-src data:;",
                             0),
              0U)
        << pageText;

    // Followed: a new mail is printed as it arrives.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t follower = ::fork();
    if (follower == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::setenv("HOME", home.c_str(), 1);
        ::execl(VESK_PROGRAM, VESK_PROGRAM, "mail", "-f", "--json", nullptr);
        ::_exit(127);
    }
    ::close(fds[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(sendmail({"-i", "bob@example.com"}, "Subject: followed\n\nhi\n"), 0);
    std::string followed;
    for (int i = 0; i < 100 && followed.find('\n') == std::string::npos; ++i) {
        pollfd p{fds[0], POLLIN, 0};
        char chunk[4096];
        const ssize_t n = ::poll(&p, 1, 100) == 1 ? ::read(fds[0], chunk, sizeof chunk) : 0;
        if (n > 0) followed.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_NE(followed.find("\"subject\":\"followed\""), std::string::npos) << followed;
    ::kill(follower, SIGTERM);
    ::waitpid(follower, nullptr, 0);
    ::close(fds[0]);

    EXPECT_EQ(vesk("mail delete " + id).second, "Deleted mail " + id + "\n");
    EXPECT_EQ(vesk("mail show " + id).first, 1);
    EXPECT_EQ(vesk("mail clear").second, "Deleted 1 mail\n");
    EXPECT_EQ(mailsOnce(1).size(), 0U);
}

}  // namespace
