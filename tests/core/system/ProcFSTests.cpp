#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "vesk/services/ResourceSampling.hpp"
#include "vesk/system/ProcFS.hpp"

namespace {

using vesk::procfs::parseListening;
using vesk::procfs::parseStat;

TEST(ProcFS, AStatLineIsReadPastANameThatHoldsAnything) {
    // A process may name itself ") 1 2 3 (": the name ends at the last ')'.
    std::string line = "4242 (evil) 1 2 3 () S 77";
    for (int field = 5; field < 22; ++field) line += " " + std::to_string(field);
    line += " 123456 99 100\n";
    const auto s = parseStat(line);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->parent, 77);
    EXPECT_EQ(s->startTicks, 123456U);
    for (const char* bad :
         {"", "4242 (no end", "4242 (x) S", "4242 (x) S notanumber", "4242 (x) S 1 2 3"}) {
        EXPECT_FALSE(parseStat(bad)) << bad;
    }
    // This very process, read from /proc.
    const auto self = vesk::procfs::stat(::getpid());
    ASSERT_TRUE(self);
    EXPECT_EQ(self->parent, ::getppid());
    EXPECT_TRUE(vesk::procfs::startedAt(::getpid()));
}

TEST(ProcFS, OnlyListeningSocketsOfTheTablesAreTaken) {
    const std::string tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 "
        "111 1 0\n"
        "   1: 0100007F:1F90 0100007F:C350 01 00000000:00000000 00:00000000 00000000  1000 0 "
        "222 1 0\n"
        "   2: 00000000:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000  0 0 333\n"
        "   3: 00000000:10000 00000000:0000 0A 00000000:00000000 00:00000000 00000000  0 0 444\n"
        "garbage\n";
    const auto sockets = parseListening(tcp, true);
    ASSERT_EQ(sockets.size(), 1U) << "an established one, a bad port, a port past 65535";
    EXPECT_EQ(sockets[0].port, 80);
    EXPECT_EQ(sockets[0].address, "0100007F");
    EXPECT_EQ(sockets[0].inode, "111");
    const std::string udp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode ref pointer drops\n"
        "  5: 00000000000000000000000001000000:0035 00000000000000000000000000000000:0000 07 "
        "00000000:00000000 00:00000000 00000000  1000 0 555 2 0 0\n";
    const auto bound = parseListening(udp, false);
    ASSERT_EQ(bound.size(), 1U);
    EXPECT_EQ(bound[0].port, 53);
    EXPECT_FALSE(bound[0].tcp);
    EXPECT_TRUE(parseListening(udp, true).empty()) << "07 is no TCP listener";
}

TEST(ProcFS, ASocketOfThisProcessIsFoundAndSoIsItsHolder) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin_port);
    std::set<std::string> inodes;
    for (const auto& s : vesk::procfs::listening()) {
        if (s.tcp && s.port == port) inodes.insert(s.inode);
    }
    ASSERT_EQ(inodes.size(), 1U);
    const auto holders = vesk::procfs::holding(inodes);
    EXPECT_NE(std::find(holders.begin(), holders.end(), ::getpid()), holders.end());
    ::close(fd);
    EXPECT_TRUE(vesk::procfs::holding({}).empty());
}

TEST(ProcFS, AReadThatFailsAfterTheOpenIsNoError) {
    // What a process that ends between the open of its stat file and the
    // read does (ESRCH), a directory does every time (EISDIR).
    EXPECT_NO_THROW(EXPECT_EQ(vesk::procfs::readText("/proc/self"), ""));
    EXPECT_EQ(vesk::procfs::readText("/proc/no-such-file"), "");
    EXPECT_NE(vesk::procfs::readText("/proc/self/stat").find(')'), std::string::npos);
}

TEST(ProcFS, APidFileNamesAServerOnlyWhenTheKernelSaysSo) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("vesk-pid-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string file = (dir / "server.pid").string();
    const auto write = [&](const std::string& text) { std::ofstream(file) << text; };
    const std::string self = vesk::procfs::stat(::getpid())->name;

    write(std::to_string(::getpid()) + "\n");
    EXPECT_EQ(vesk::procfs::pidInFile(file), ::getpid());
    EXPECT_EQ(vesk::procfs::serverInPidFile(file, self), ::getpid());
    // Another program's name: a pid taken since by something else.
    EXPECT_FALSE(vesk::procfs::serverInPidFile(file, "nginx"));
    // A file written before the process started names an earlier holder
    // of the pid.
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    write(std::to_string(child) + "\n");
    const struct timespec past[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), past, 0), 0);
    EXPECT_FALSE(vesk::procfs::serverInPidFile(file, self));
    write(std::to_string(child) + "\n");
    EXPECT_EQ(vesk::procfs::serverInPidFile(file, self), child);
    EXPECT_TRUE(vesk::procfs::runsProgram(child, fs::read_symlink("/proc/self/exe").string()));
    EXPECT_FALSE(vesk::procfs::runsProgram(child, "/usr/sbin/nginx"));
    // A program known by a link (as Debian's redis-server is) is the one it names.
    const std::string link = file + ".link";
    fs::create_symlink(fs::read_symlink("/proc/self/exe"), link);
    EXPECT_TRUE(vesk::procfs::runsProgram(child, link));
    fs::remove(link);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(vesk::procfs::serverInPidFile(file, self)) << "a process that has ended";

    for (const char* bad : {"", "1\n", "0", "-5", "12abc", "abc", "99999999999999999999"}) {
        write(bad);
        EXPECT_FALSE(vesk::procfs::pidInFile(file)) << bad;
    }
    fs::remove(file);
    EXPECT_FALSE(vesk::procfs::serverInPidFile(file, self)) << "no pid file";
    fs::remove_all(dir);
}

TEST(ProcFS, AProcessTreesUseIsItsOwnAndItsWorkers) {
    // A worker that burns processor time and holds memory of its own.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t worker = ::fork();
    if (worker == 0) {
        std::vector<char> held(std::size_t{64} << 20, 1);
        (void)!::write(ready[1], "x", 1);
        volatile unsigned long spin = 0;
        for (;;) spin = spin + held[spin % held.size()];
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    const auto before = vesk::procfs::usageOfTree(::getpid());
    ASSERT_TRUE(before);
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto after = vesk::procfs::usageOfTree(::getpid());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ::kill(worker, SIGKILL);
    ::waitpid(worker, nullptr, 0);
    ASSERT_TRUE(after);
    EXPECT_GE(after->residentBytes, std::uint64_t{64} << 20) << "the worker's memory counts";
    EXPECT_GT(after->cpuSeconds, before->cpuSeconds) << "the worker's processor time counts";
    const vesk::ResourceUsage usage = vesk::resources::between(*before, *after, seconds);
    EXPECT_GT(usage.cpuPercent, 5.0) << "a busy worker";
    EXPECT_LT(usage.cpuPercent, 250.0) << "at most the two processors of this machine, and some";
    EXPECT_GE(usage.memoryMB, 64.0);
    EXPECT_FALSE(vesk::procfs::usageOfTree(worker)) << "a process that has ended";
    // A restarted server has less processor time than before: its use since.
    vesk::procfs::Usage earlier;
    earlier.cpuSeconds = 100;
    vesk::procfs::Usage later;
    later.cpuSeconds = 1;
    EXPECT_DOUBLE_EQ(vesk::resources::between(earlier, later, 10).cpuPercent, 10.0);
}

}  // namespace

namespace {

TEST(ProcFS, APortsHolderIsThisProcessOrNoOne) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin_port);
    EXPECT_FALSE(vesk::procfs::tcpPortHolder(port)) << "bound, not listening";
    ASSERT_EQ(::listen(fd, 1), 0);
    const auto holder = vesk::procfs::tcpPortHolder(port);
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->pid, ::getpid());
    EXPECT_EQ(holder->name, vesk::procfs::stat(::getpid())->name);
    ::close(fd);
    EXPECT_FALSE(vesk::procfs::tcpPortHolder(port));
}

TEST(ResourceSampling, AnAlertNeedsAWholeWindowPastItsThreshold) {
    vesk::ResourceHistory history(10);
    const auto add = [&](double cpu, double memory) {
        history.append({vesk::Date{}, cpu, memory});
    };
    for (int i = 0; i < 5; ++i) add(95, 2000);
    EXPECT_TRUE(vesk::resources::alertsFor("redis", history).empty()) << "five samples of six";
    add(99, 1500);
    const auto alerts = vesk::resources::alertsFor("redis", history);
    ASSERT_EQ(alerts.size(), 2U);
    EXPECT_EQ(alerts[0].kind, vesk::ResourceAlert::AlertKind::highCPU);
    EXPECT_EQ(alerts[0].value, 95) << "the lowest of the window";
    EXPECT_EQ(alerts[0].threshold, vesk::ResourceThresholds::cpuPercent);
    EXPECT_EQ(alerts[1].kind, vesk::ResourceAlert::AlertKind::highMemory);
    EXPECT_EQ(alerts[1].value, 1500);
    EXPECT_EQ(vesk::resources::describe(alerts[0]), "CPU 95% (over 80%) for a minute");
    EXPECT_EQ(vesk::resources::describe(alerts[1]), "memory 1500 MB (over 1024 MB) for a minute");
    // One sample under the threshold in the window ends it: a spike is no alert.
    add(10, 2000);
    const auto after = vesk::resources::alertsFor("redis", history);
    ASSERT_EQ(after.size(), 1U);
    EXPECT_EQ(after[0].kind, vesk::ResourceAlert::AlertKind::highMemory);
    EXPECT_TRUE(vesk::resources::alertsFor("redis", history, 0).empty());
}

}  // namespace
