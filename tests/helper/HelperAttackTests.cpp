// The helper attacked as a local user would: each test is an attack that
// once worked, and shows that it no longer does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

#include "HelperServer.hpp"
#include "HelperTestSupport.hpp"
#include "vesk/foundation/Json.hpp"

namespace {

namespace fs = vesk::test::fs;
using vesk::test::readText;
using vesk::test::runProgram;
using vesk::test::writeText;
using Op = vesk::HelperOperation;

const std::string kClient = VESK_HELPERCTL;

mode_t modeOf(const std::string& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

class AttackTest : public vesk::test::HelperFixture {
  protected:
    void prepare(vesk::EnvironmentLayout& l) override {
        l.chown = root.path() + "/bin/chown";
        // As on a system where users may link any file (the tests link as root).
        l.protectedHardlinks = root.path() + "/protected_hardlinks";
        writeText(l.protectedHardlinks, "0\n");
    }

    int callAs(const std::string& program, const std::vector<std::string>& args = {},
               uid_t asUser = static_cast<uid_t>(-1)) {
        std::vector<std::string> argv{program, "--socket", layout.socketPath};
        if (args.empty()) argv.emplace_back("GetInstalledVersion");
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv, nullptr, asUser);
    }

    /// A signed client of the tests' own, in a directory anyone may enter.
    std::string clientCopy(const std::string& name) {
        const std::string dir = root.path() + "/clients";
        fs::create_directories(dir);
        ::chmod(root.path().c_str(), 0755);
        ::chmod(dir.c_str(), 0755);
        const std::string p = dir + "/" + name;
        fs::copy_file(kClient, p, fs::copy_options::overwrite_existing);
        ::chmod(p.c_str(), 0755);
        return p;
    }

    /// Hands the environment to a user, who may then call.
    void allowUser(uid_t uid) {
        fs::create_directories(layout.veskBase);
        ASSERT_EQ(::chown(layout.veskBase.c_str(), uid, uid), 0);
    }
};

TEST_F(AttackTest, BytesChangedInPlaceWithTheOldTimeAreVerifiedAgain) {
    const std::string p = clientCopy("client");
    ASSERT_EQ(callAs(p), 0);
    struct stat before {};
    ASSERT_EQ(::stat(p.c_str(), &before), 0);
    // Same size, same inode, the modification time set back: only the
    // change time tells, and the signature no longer verifies.
    std::string bytes = readText(p);
    bytes.back() = static_cast<char>(bytes.back() ^ 0x5A);
    const int fd = ::open(p.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
    EXPECT_EQ(callAs(p), 2) << "a cached verdict served a changed executable";
}

TEST_F(AttackTest, CredentialsFromAnotherUserNamespaceAreRefused) {
    if (runProgram({"/usr/bin/unshare", "--user", "--map-root-user", "--pid", "--fork",
                    "/bin/true"}) != 0) {
        GTEST_SKIP() << "no user namespaces here";
    }
    const std::string p = clientCopy("client");
    // Inside its own user and pid namespaces a process may name any pid of
    // them in its credentials; nothing from there is served.
    EXPECT_EQ(runProgram({"/usr/bin/unshare", "--user", "--map-root-user", "--pid", "--fork", p,
                          "--socket", layout.socketPath, "GetInstalledVersion"}),
              2);
    EXPECT_EQ(log.countPrefix("VeskHelper: Accepted"), 0U);
    EXPECT_EQ(callAs(p), 0) << "the same client outside is served";
}

TEST_F(AttackTest, OneUserCannotTakeEverySlot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    allowUser(65534);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t flooder = ::fork();
    if (flooder == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
        std::vector<int> held;
        for (std::size_t i = 0; i < vesk::helper::HelperServer::kMaxConnections + 50; ++i) {
            const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", layout.socketPath.c_str());
            if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                held.push_back(s);
            }
            // Spread out a little, so the flood is checked rather than refused at the door.
            if (i % 4 == 3) ::usleep(2000);
        }
        if (::write(ready[1], "x", 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(callAs(kClient), 0) << "root is still served while another user floods";
    ::kill(flooder, SIGKILL);
    ::waitpid(flooder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(AttackTest, ANeverAllowedUserIsRefusedBeforeAnythingIsRead) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const std::string p = clientCopy("client");
    // The check of a never-allowed user fails before the executable is
    // read: making its file unreadable changes nothing about the answer
    // or its speed, and no verdict is cached for it.
    EXPECT_EQ(callAs(p, {}, 65534), 2);
    EXPECT_EQ(log.countPrefix("VeskHelper: Rejected connection"), 1U);
}

TEST_F(AttackTest, MagicLinksOfRootsProcessesOpenNothingForAUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    allowUser(65534);
    // A root process holds a readable file open inside a directory only
    // root may enter; the bundle links to that descriptor.
    const std::string secretDir = root.path() + "/secret";
    fs::create_directories(secretDir);
    ::chmod(secretDir.c_str(), 0700);
    writeText(secretDir + "/notes.txt", "root's notes");
    ::chmod((secretDir + "/notes.txt").c_str(), 0644);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open((secretDir + "/notes.txt").c_str(), O_RDONLY);
        if (fd != 3) ::dup2(fd, 3);
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string resources = root.path() + "/Resources";
    fs::create_directories(resources + "/bin");
    ::chmod(root.path().c_str(), 0755);
    ::chmod(resources.c_str(), 0755);
    ::chmod((resources + "/bin").c_str(), 0755);
    fs::create_symlink("/proc/" + std::to_string(holder) + "/fd/3", resources + "/bin/nginx");
    const int status =
        callAs(kClient, {"InstallEnvironment", "bundleResourcesPath=" + resources}, 65534);
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(fs::exists(layout.binDir() + "/nginx") &&
                 readText(layout.binDir() + "/nginx") == "root's notes");
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
}

TEST_F(AttackTest, TheModeLandsOnTheFileThatWasWrittenNeverOnALinkSwappedIn) {
    // Root's private file, and a name the caller keeps swapping between a
    // file of its own and a hard link to root's file, in a directory of the
    // caller's.
    fs::create_directories(layout.veskBase + "/etc");
    ASSERT_EQ(::chown((layout.veskBase + "/etc").c_str(), 65534, 65534), 0);
    const std::string precious = layout.veskBase + "/precious";
    writeText(precious, "root only");
    ::chmod(precious.c_str(), 0600);
    const std::string target = layout.veskBase + "/etc/target";
    const std::string plain = layout.veskBase + "/etc/plain";
    const std::string hard = layout.veskBase + "/etc/hard";
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop.load()) {
            writeText(plain, "mine");
            ::rename(plain.c_str(), target.c_str());
            // The kernel may refuse the link (protected hard links): the
            // race goes on either way.
            if (::link(precious.c_str(), hard.c_str()) == 0) ::rename(hard.c_str(), target.c_str());
        }
    });
    auto client = connect();
    const auto start = std::chrono::steady_clock::now();
    int calls = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1500)) {
        client->writeFile(target, {'x'}, 0666, [](bool, const std::optional<std::string>&) {});
        ++calls;
    }
    stop = true;
    swapper.join();
    EXPECT_GT(calls, 50);
    EXPECT_EQ(modeOf(precious), 0600U);
    EXPECT_EQ(readText(precious), "root only");
}

TEST_F(AttackTest, NoSetUserIdFileOrDirectoryOnRequest) {
    auto client = connect();
    const std::string file = layout.veskBase + "/bin/tool";
    std::optional<std::string> message;
    bool ok = false;
    const auto keep = [&](bool success, const std::optional<std::string>& m) {
        ok = success;
        message = m;
    };
    client->writeFile(file, {'#', '!'}, 04755, keep);
    ASSERT_TRUE(ok) << message.value_or("");
    EXPECT_EQ(modeOf(file), 0755U);
    client->writeFile(file, {'#', '!'}, 06777, keep);
    EXPECT_EQ(modeOf(file), 0777U);
    const std::string dir = layout.veskBase + "/shared";
    client->createDirectory(dir, 03777, keep);
    ASSERT_TRUE(ok) << message.value_or("");
    EXPECT_EQ(modeOf(dir), 0777U);
}

TEST_F(AttackTest, LongNamesAreRefusedBeforeAnyWork) {
    auto client = connect();
    std::string manyComponents;
    while (manyComponents.size() <= vesk::HelperInterface::kMaxNameLength) manyComponents += "/a";
    const std::string reply = client->call(
        "com.vesk.helper.RemoveFile", R"({"path":")" + layout.veskBase + manyComponents + R"("})");
    EXPECT_EQ(
        reply,
        R"({"error":"org.varlink.service.InvalidParameter","parameters":{"parameter":"path"}})");
    // A message of a million values is not even parsed.
    std::string values = R"({"x":[)";
    for (int i = 0; i < 1'000'000; ++i) values += "{},";
    values += "{}]}";
    auto flood = connect();
    EXPECT_THROW((void)flood->call("com.vesk.helper.StopNginx", values), std::runtime_error);
    EXPECT_EQ(client->call("com.vesk.helper.GetInstalledVersion"), R"({"parameters":{}})");
}

TEST_F(AttackTest, LargeMessagesAtOnceLeaveTheHelperServing) {
    // Four writes of 11 MiB each (15 MiB messages), at the same time: they
    // share one budget and are answered one after another; a small call
    // meanwhile is served.
    std::vector<std::thread> writers;
    std::atomic<int> done{0};
    for (int i = 0; i < 4; ++i) {
        writers.emplace_back([&, i] {
            try {
                auto c = connect();
                const std::vector<std::uint8_t> content(std::size_t{11} << 20,
                                                        static_cast<std::uint8_t>('a' + i));
                c->writeFile(layout.veskBase + "/large-" + std::to_string(i), content, 0644,
                             [&](bool success, const std::optional<std::string>&) {
                                 if (success) ++done;
                             });
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
            }
        });
    }
    auto small = connect();
    EXPECT_EQ(small->call("com.vesk.helper.GetInstalledVersion"), R"({"parameters":{}})");
    for (auto& w : writers) w.join();
    EXPECT_EQ(done.load(), 4);
    EXPECT_EQ(fs::file_size(layout.veskBase + "/large-3"), std::size_t{11} << 20);
}

}  // namespace
