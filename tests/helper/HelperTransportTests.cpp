// The helper's socket protocol, spoken by this (signed) test program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <cstring>

#include "HelperTestSupport.hpp"
#include "vesk/foundation/Json.hpp"

namespace {

using vesk::JsonDocument;

class TransportTest : public vesk::test::HelperFixture {};

std::string errorOf(const std::string& reply) {
    const JsonDocument doc = JsonDocument::parse(reply);
    auto e = doc.root().find("error");
    return e ? e->string() : std::string();
}

std::string parameterOf(const std::string& reply, const char* key) {
    const JsonDocument doc = JsonDocument::parse(reply);
    auto v = doc.root().require("parameters").find(key);
    return v && v->isString() ? v->string() : std::string();
}

TEST_F(TransportTest, StartupLinesInOrderBeforeServing) {
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[0], "VeskHelper: Starting (version 1.0.0)");
    EXPECT_EQ(lines[1], "VeskHelper: Listening on com.vesk.helper");
    struct stat st {};
    ASSERT_EQ(::stat(layout.socketPath.c_str(), &st), 0) << "listening before the second line";
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666U);
    ASSERT_EQ(::stat(layout.socketDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755U);
}

TEST_F(TransportTest, InstalledVersionAbsentThenTrimmed) {
    auto c = connect();
    EXPECT_EQ(c->call("com.vesk.helper.GetInstalledVersion"), R"({"parameters":{}})");
    vesk::test::fs::create_directories(layout.veskBase);
    vesk::test::writeText(layout.versionFile, "1.0.0\n");
    EXPECT_EQ(c->installedVersion(), "1.0.0");
    vesk::test::writeText(layout.versionFile, "");
    EXPECT_EQ(c->installedVersion(), "") << "an empty file is an empty text, not absent";
    vesk::test::writeText(layout.versionFile, "\xFF\xFE");
    EXPECT_EQ(c->installedVersion(), std::nullopt) << "not UTF-8";
}

TEST_F(TransportTest, IntrospectionLikeAnyVarlinkService) {
    auto c = connect();
    const std::string info = c->call("org.varlink.service.GetInfo");
    EXPECT_NE(info.find(R"("interfaces":["org.varlink.service","com.vesk.helper"])"),
              std::string::npos)
        << info;
    const std::string idl = parameterOf(c->call("org.varlink.service.GetInterfaceDescription",
                                                R"({"interface":"com.vesk.helper"})"),
                                        "description");
    EXPECT_NE(idl.find("interface com.vesk.helper\n"), std::string::npos);
    EXPECT_NE(idl.find("method WriteFile(path: string, content: string, permissions: int) -> "
                       "(success: bool, message: ?string)"),
              std::string::npos);
    EXPECT_NE(idl.find("method GetInstalledVersion() -> (version: ?string)"), std::string::npos);
    EXPECT_EQ(
        errorOf(c->call("org.varlink.service.GetInterfaceDescription", R"({"interface":"x.y"})")),
        "org.varlink.service.InterfaceNotFound");
}

TEST_F(TransportTest, ProtocolErrorsKeepTheConnectionUsable) {
    auto c = connect();
    const std::string unknown = c->call("com.vesk.helper.FormatDisk");
    EXPECT_EQ(errorOf(unknown), "org.varlink.service.MethodNotFound");
    EXPECT_EQ(parameterOf(unknown, "method"), "com.vesk.helper.FormatDisk");
    EXPECT_EQ(errorOf(c->call("com.vesk.helper.getInstalledVersion")),
              "org.varlink.service.MethodNotFound")
        << "method names are exact";

    const std::string missing = c->call("com.vesk.helper.WriteResolver", R"({"tld":"test"})");
    EXPECT_EQ(errorOf(missing), "org.varlink.service.InvalidParameter");
    EXPECT_EQ(parameterOf(missing, "parameter"), "ip");
    const std::string wrongType = c->call("com.vesk.helper.RemoveResolver", R"({"tld":7})");
    EXPECT_EQ(parameterOf(wrongType, "parameter"), "tld");
    for (const char* mode : {R"("644")", "70000", "-1", "1.5", "null"}) {
        const std::string r = c->call("com.vesk.helper.CreateDirectory",
                                      std::string(R"({"path":"/x","permissions":)") + mode + "}");
        EXPECT_EQ(parameterOf(r, "parameter"), "permissions") << mode;
    }
    const std::string badBase64 =
        c->call("com.vesk.helper.WriteFile", R"({"path":"/x","content":"no!","permissions":420})");
    EXPECT_EQ(parameterOf(badBase64, "parameter"), "content");
    EXPECT_EQ(errorOf(c->call("com.vesk.helper.GetInstalledVersion", "[]")),
              "org.varlink.service.InvalidParameter");
    EXPECT_EQ(c->call("com.vesk.helper.GetInstalledVersion"), R"({"parameters":{}})");
}

TEST_F(TransportTest, PipelinedCallsAreAnsweredInOrder) {
    auto c = connect();
    std::string batch;
    for (int i = 0; i < 50; ++i) {
        batch += R"({"method":"com.vesk.helper.Nope)" + std::to_string(i) + R"("})";
        batch.push_back('\0');
    }
    c->sendRaw(batch);
    for (int i = 0; i < 50; ++i) {
        const auto reply = c->receive();
        ASSERT_TRUE(reply);
        EXPECT_EQ(parameterOf(*reply, "method"), "com.vesk.helper.Nope" + std::to_string(i));
    }
}

TEST_F(TransportTest, MessageSplitAcrossWritesIsReassembled) {
    auto c = connect();
    c->sendRaw(R"({"method":"com.vesk.he)");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    c->sendRaw(std::string(R"(lper.GetInstalledVersion"})") + '\0');
    EXPECT_EQ(c->receive(), R"({"parameters":{}})");
}

TEST_F(TransportTest, MalformedMessagesCloseTheConnection) {
    const std::vector<std::string> bad{
        "not json",
        "[1,2]",
        "\"text\"",
        R"({"method":1})",
        R"({"parameters":{}})",
        std::string(100, '[') + std::string(100, ']'),
    };
    for (const auto& message : bad) {
        auto c = connect();
        c->sendRaw(message + '\0');
        EXPECT_EQ(c->receive(), std::nullopt) << message;
    }
}

TEST_F(TransportTest, OversizedMessageClosesTheConnection) {
    auto c = connect();
    const std::string chunk(1 << 20, ' ');
    bool closed = false;
    for (int i = 0; i < 20 && !closed; ++i) {
        try {
            c->sendRaw(chunk);
        } catch (const std::runtime_error&) {
            closed = true;
        }
    }
    if (!closed) {
        EXPECT_EQ(c->receive(), std::nullopt);
    }
}

TEST_F(TransportTest, ConcurrentConnectionsAreServedIndependently) {
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            auto c = connect();
            for (int i = 0; i < 200; ++i) {
                const std::string method =
                    "com.vesk.helper.T" + std::to_string(t) + "x" + std::to_string(i);
                if (parameterOf(c->call(method), "method") == method) ++good;
            }
        });
    }
    // A connection that stalls mid-message holds up nobody else.
    auto stalled = connect();
    stalled->sendRaw(R"({"method":)");
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), 800);
}

TEST_F(TransportTest, ConnectionsPastTheLimitAreClosed) {
    std::vector<std::unique_ptr<vesk::HelperClient>> idle;
    for (std::size_t i = 0; i < vesk::helper::HelperServer::kMaxConnections; ++i) {
        idle.push_back(connect());
        ASSERT_EQ(idle.back()->call("com.vesk.helper.GetInstalledVersion"), R"({"parameters":{}})");
    }
    auto extra = connect();
    EXPECT_THROW((void)extra->call("com.vesk.helper.GetInstalledVersion"), std::runtime_error);
    idle.pop_back();
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        try {
            auto again = connect();
            EXPECT_EQ(again->call("com.vesk.helper.GetInstalledVersion"), R"({"parameters":{}})");
            return;
        } catch (const std::runtime_error&) {
        }
    }
    ADD_FAILURE() << "no slot was freed";
}

TEST_F(TransportTest, DescriptorsAreCloseOnExec) {
    auto c = connect();
    (void)c->call("org.varlink.service.GetInfo");
    int flagged = 0;
    for (const auto& entry : vesk::test::fs::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        if (fd <= 2) continue;
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags < 0) continue;
        const auto target = vesk::test::fs::read_symlink(entry.path()).string();
        if (target.rfind("socket:", 0) == 0) {
            EXPECT_TRUE(flags & FD_CLOEXEC) << "fd " << fd;
            ++flagged;
        }
    }
    EXPECT_GE(flagged, 3) << "listener, accepted connection and client";
}

// Listening sockets handed over the way the service manager hands them: at
// the first passed descriptor, with this process named as their receiver.
// The test keeps its own copy, as the manager does.
class PassedSockets {
  public:
    explicit PassedSockets(const std::vector<std::string>& paths) {
        int target = SD_LISTEN_FDS_START;
        for (const auto& path : paths) {
            saved_.push_back(::fcntl(target, F_DUPFD_CLOEXEC, 100));
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
            EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
            EXPECT_EQ(::listen(fd, 16), 0);
            // Our copy lives well above the passed range.
            kept_.push_back(::fcntl(fd, F_DUPFD_CLOEXEC, 100));
            if (fd != target) {
                ::dup2(fd, target);
                ::close(fd);
            }
            ++target;
        }
        ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
        ::setenv("LISTEN_FDS", std::to_string(paths.size()).c_str(), 1);
    }
    ~PassedSockets() {
        for (int fd : kept_) ::close(fd);
        for (std::size_t i = 0; i < saved_.size(); ++i) {
            const int target = SD_LISTEN_FDS_START + static_cast<int>(i);
            if (saved_[i] >= 0) {
                ::dup2(saved_[i], target);
                ::close(saved_[i]);
            } else {
                ::close(target);
            }
        }
        ::unsetenv("LISTEN_PID");
        ::unsetenv("LISTEN_FDS");
    }
    PassedSockets(const PassedSockets&) = delete;
    PassedSockets& operator=(const PassedSockets&) = delete;

  private:
    std::vector<int> saved_;  ///< what the passed range held before, restored after
    std::vector<int> kept_;
};

class InheritedSocketTest : public TransportTest {
  protected:
    void prepare(vesk::EnvironmentLayout& l) override {
        vesk::test::fs::create_directories(l.socketDir);
        passed = std::make_unique<PassedSockets>(std::vector<std::string>{l.socketPath});
    }
    std::unique_ptr<PassedSockets> passed;
};

TEST_F(InheritedSocketTest, ServesOnThePassedSocketAndNeverShutsItDown) {
    EXPECT_EQ(::getenv("LISTEN_FDS"), nullptr) << "taken out of the environment";
    auto c = connect();
    EXPECT_EQ(c->call("com.vesk.helper.GetInstalledVersion"), R"({"parameters":{}})");
    c.reset();
    instance->stop();
    thread.join();
    thread = std::thread([] {});
    // The manager's copy still listens: a new caller is queued for the next
    // helper instead of being refused.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, layout.socketPath.c_str(), layout.socketPath.size() + 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0)
        << std::strerror(errno);
    ::close(fd);
}

TEST(InheritedSocket, AnythingButOneSocketOnTheExpectedPathIsRefused) {
    vesk::test::TempRoot root;
    const auto layout = vesk::EnvironmentLayout::rootedAt(root.path());
    vesk::test::fs::create_directories(layout.socketDir);
    const std::vector<std::vector<std::string>> cases = {
        {root.path() + "/elsewhere"},
        {layout.socketPath, root.path() + "/second"},
    };
    for (const auto& paths : cases) {
        vesk::test::LogCapture log;
        {
            const PassedSockets passed(paths);
            vesk::helper::Helper helper(layout, [](int) {});
            EXPECT_EQ(helper.run(), 71) << paths.front();
        }
        EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                   "VeskHelper: Starting (version 1.0.0)",
                                   "VeskHelper: Refusing to start: the inherited socket is not " +
                                       layout.socketPath}));
        for (const auto& p : paths) ::unlink(p.c_str());
    }
}

}  // namespace
