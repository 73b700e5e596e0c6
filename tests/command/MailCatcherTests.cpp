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
        fs::create_directories(home);
        port = freePort();
    }
    /// The catcher, dropping a client after `idle` seconds without a byte.
    void start(int idle) {
        child = ::fork();
        if (child == 0) {
            const std::string p = std::to_string(port);
            const std::string i = std::to_string(idle);
            ::execl(VESK_CATCHER, VESK_CATCHER, "--port", p.c_str(), "--store", dir.c_str(),
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
        const bool written = ::write(fds[1], input.data(), input.size()) ==
                             static_cast<ssize_t>(input.size());
        ::close(fds[1]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!written) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    /// The store's mails once `count` are there (ten seconds at most).
    [[nodiscard]] std::vector<vesk::CapturedMail> mailsOnce(std::size_t count) const {
        const vesk::mail::Store store(dir);
        for (int i = 0; i < 200; ++i) {
            auto mails = store.list();
            if (mails.size() >= count) return mails;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return store.list();
    }

    [[nodiscard]] std::size_t spooled() const {
        return vesk::mail::Spool(spool).waiting().size();
    }

    std::string dir;
    std::string home;
    std::string spool;
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

}  // namespace
