// The mail catcher as clients meet it: the real program on a port of the
// test's own, many clients at once, ones that stall or flood.
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
#include <set>
#include <string>
#include <thread>
#include <vector>

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
        port = freePort();
    }
    /// The catcher, dropping a client after `idle` seconds without a byte.
    void start(int idle) {
        child = ::fork();
        if (child == 0) {
            const std::string p = std::to_string(port);
            const std::string i = std::to_string(idle);
            ::execl(VESK_CATCHER, VESK_CATCHER, "--port", p.c_str(), "--store", dir.c_str(),
                    "--idle", i.c_str(), nullptr);
            ::_exit(127);
        }
    }
    void TearDown() override {
        if (child <= 0) return;
        ::kill(child, SIGTERM);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "it ends cleanly on SIGTERM";
        fs::remove_all(dir);
    }

    std::string dir;
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

}  // namespace
