// The services as a developer runs them: the real command and its
// supervisor, Debian's MariaDB, PostgreSQL and Redis, their own clients. The
// servers refuse to run as root, so the command runs as nobody, in a network
// namespace of the test's own (the services' ports are fixed), with the
// supervisor's waits scaled down.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "vesk/app/DiagnosticResult.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/services/DatabaseSnapshot.hpp"
#include "vesk/services/Supervision.hpp"

namespace {

namespace fs = std::filesystem;
using vesk::supervision::SupervisedServer;

constexpr uid_t kNobody = 65534;

struct Outcome {
    int status = -1;
    std::string out;
};

Outcome shell(const std::string& command) {
    Outcome r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    std::array<char, 4096> buf{};
    while (std::fgets(buf.data(), buf.size(), p) != nullptr) r.out += buf.data();
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

class ServicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root: the servers run as another account";
        for (const char* program :
             {"/usr/sbin/mariadbd", "/usr/bin/redis-server", "/usr/bin/ip", "/usr/bin/setpriv"}) {
            if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is not installed";
        }
        const std::string id = std::to_string(::getpid());
        home = "/tmp/vesk-services-" + id;
        ns = "vesk-services-" + id;
        fs::remove_all(home);
        fs::create_directories(home + "/bin");
        // The test build's command, where nobody can run it.
        fs::copy_file(VESK_PROGRAM, home + "/bin/vesk");
        ::chmod((home + "/bin/vesk").c_str(), 0755);
        ::chmod(home.c_str(), 0755);
        ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(shell("ip netns add " + ns).status, 0);
        ASSERT_EQ(shell("ip netns exec " + ns + " ip link set lo up").status, 0);
    }

    void TearDown() override {
        if (ns.empty()) return;
        // The supervisor stops the services; what is left is ended.
        const auto pid = trimmed(
            shell("cat '" + home + "/Library/Application Support/Vesk/state/supervisor.pid'").out);
        if (!pid.empty()) shell("kill " + pid);
        for (int i = 0; i < 100 && shell("kill -0 " + pid).status == 0; ++i) pause(100);
        shell("ip netns pids " + ns + " | xargs -r kill -9");
        shell("ip netns del " + ns);
        fs::remove_all(home);
    }

    static void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    /// `command` as nobody in the test's network, with `prefix` before it.
    [[nodiscard]] Outcome asDeveloper(const std::string& command,
                                      const std::string& prefix = "") const {
        return shell("cd '" + home + "' && ip netns exec " + ns + " " + prefix +
                     " setpriv --reuid=65534 --regid=65534 --clear-groups env -i HOME='" + home +
                     "' PATH=/usr/bin:/bin VESK_BASE='" + home + "/env' VESK_HELPER_SOCKET='" +
                     home + "/no-helper' VESK_TEST_TIME_SCALE=0.02 " + extraEnvironment + " " +
                     command);
    }
    [[nodiscard]] Outcome vesk(const std::string& args, const std::string& prefix = "") const {
        return asDeveloper(home + "/bin/vesk " + args, prefix);
    }

    [[nodiscard]] std::vector<SupervisedServer> status(const std::string& names = "") const {
        const auto r = vesk("service status --json " + names);
        vesk::CodingOptions o;
        o.dates = vesk::DateStrategy::iso8601;
        try {
            return vesk::decodeJSON<std::vector<SupervisedServer>>(r.out, o);
        } catch (const std::exception&) {
            ADD_FAILURE() << "vesk service status --json: " << r.out;
            return {};
        }
    }
    [[nodiscard]] std::optional<SupervisedServer> statusOf(const std::string& name) const {
        for (const auto& s : status(name)) {
            if (s.name == name) return s;
        }
        return std::nullopt;
    }
    /// Waits up to `seconds` for `done` to hold of the service's status.
    [[nodiscard]] std::optional<SupervisedServer> waitFor(
        const std::string& name, int seconds,
        const std::function<bool(const SupervisedServer&)>& done) const {
        std::optional<SupervisedServer> s;
        for (int i = 0; i < seconds * 5; ++i) {
            s = statusOf(name);
            if (s && done(*s)) return s;
            pause(200);
        }
        return s;
    }
    [[nodiscard]] std::string dataDir() const { return home + "/Library/Application Support/Vesk"; }

    std::string home;
    std::string ns;
    /// Variables for the command and the supervisor it starts.
    std::string extraEnvironment;
};

TEST_F(ServicesTest, EachKindRunsOnLoopbackAndComesBackAfterAKill) {
    const auto started = vesk("service start redis postgresql mariadb mysql");
    ASSERT_EQ(started.status, 0) << started.out;
    EXPECT_NE(started.out.find("Redis started on 127.0.0.1:6380"), std::string::npos)
        << started.out;
    EXPECT_NE(started.out.find("MySQL started on 127.0.0.1:3360 (MariaDB"), std::string::npos)
        << started.out;

    // Each answers its own client with the accounts projects are given.
    EXPECT_EQ(trimmed(asDeveloper("redis-cli -p 6380 ping").out), "PONG");
    EXPECT_EQ(
        trimmed(
            asDeveloper("psql -X -h 127.0.0.1 -p 5440 -U vesk -d postgres -Atc 'select 6*7'").out),
        "42");
    EXPECT_EQ(trimmed(asDeveloper("mariadb -h 127.0.0.1 -P 3361 -u root -N -e 'select 6*7'").out),
              "42");
    EXPECT_EQ(trimmed(asDeveloper("mariadb -h 127.0.0.1 -P 3360 -u root -N -e 'select 1'").out),
              "1");
    // Bound to loopback alone.
    const auto listening = shell("ip netns exec " + ns + " ss -Hltn").out;
    for (const char* port : {":6380", ":5440", ":3361", ":3360"}) {
        EXPECT_NE(listening.find(std::string("127.0.0.1") + port), std::string::npos) << listening;
        EXPECT_EQ(listening.find(std::string("0.0.0.0") + port), std::string::npos) << listening;
        EXPECT_EQ(listening.find(std::string("*") + port), std::string::npos) << listening;
    }
    const auto text = vesk("service status mysql").out;
    EXPECT_NE(text.find("MariaDB: Debian ships no MySQL"), std::string::npos) << text;

    // kill -9 of each: back on a new pid, the crash recorded with its signal.
    for (const std::string name : {"redis", "postgresql", "mariadb"}) {
        const auto before = statusOf(name);
        ASSERT_TRUE(before && before->pid) << name;
        ASSERT_EQ(::kill(static_cast<pid_t>(*before->pid), SIGKILL), 0);
        const auto after = waitFor(name, 30, [&](const SupervisedServer& s) {
            return s.status == vesk::ServiceStatus::running && s.pid && *s.pid != *before->pid;
        });
        ASSERT_TRUE(after && after->status == vesk::ServiceStatus::running) << name;
        ASSERT_EQ(after->health.crashCount, 1) << name;
        const auto& crash = after->health.recentCrashes.back();
        EXPECT_EQ(crash.signal, SIGKILL) << name;
        EXPECT_EQ(crash.restartAttempt, 1);
        EXPECT_TRUE(crash.restartSucceeded) << name;
        EXPECT_EQ(after->health.status, vesk::HealthStatus::healthy);
    }
    EXPECT_EQ(trimmed(asDeveloper("redis-cli -p 6380 ping").out), "PONG");

    // A developer's stop is no crash, and it stays stopped.
    const auto stopped = vesk("service stop redis");
    ASSERT_EQ(stopped.status, 0) << stopped.out;
    pause(500);
    const auto redis = statusOf("redis");
    ASSERT_TRUE(redis);
    EXPECT_FALSE(redis->pid);
    EXPECT_EQ(redis->health.crashCount, 1);
    EXPECT_NE(asDeveloper("redis-cli -p 6380 ping").out.find("refused"), std::string::npos);
}

TEST_F(ServicesTest, AServerThatCrashesAtOnceEndsDegradedAndDoctorSaysWhy) {
    ASSERT_EQ(vesk("service start redis").status, 0);
    ASSERT_EQ(vesk("service stop redis").status, 0);
    // The configuration is the developer's: broken by hand, it is kept.
    const std::string config = dataDir() + "/config/services/redis.conf";
    std::ofstream(config, std::ios::app) << "no-such-directive yes\n";
    const auto r = vesk("service start redis");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Redis failed"), std::string::npos) << r.out;
    const auto s = waitFor("redis", 30, [](const SupervisedServer& x) {
        return x.health.status == vesk::HealthStatus::degraded;
    });
    ASSERT_TRUE(s);
    EXPECT_EQ(s->status, vesk::ServiceStatus::error);
    EXPECT_EQ(s->health.crashCount, 4);
    EXPECT_EQ(s->health.currentRetries, s->health.maxRetries);
    EXPECT_FALSE(s->pid);
    ASSERT_FALSE(s->health.recentCrashes.empty());
    EXPECT_EQ(s->health.recentCrashes.back().exitCode, 1);
    // The reason is the server's own last line.
    EXPECT_NE(s->health.recentCrashes.back().reason.value_or("").find("Bad directive"),
              std::string::npos)
        << s->health.recentCrashes.back().reason.value_or("");
    const auto doctor = vesk("doctor");
    EXPECT_EQ(doctor.status, 1);
    EXPECT_NE(doctor.out.find("FAIL  Redis answers on 127.0.0.1:6380"), std::string::npos)
        << doctor.out;
    EXPECT_NE(doctor.out.find("left stopped"), std::string::npos) << doctor.out;

    // Mended, a start opens a new retry window.
    std::string text;
    {
        std::ifstream in(config);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    text.erase(text.find("no-such-directive"));
    std::ofstream(config, std::ios::trunc) << text;
    const auto again = vesk("service start redis");
    ASSERT_EQ(again.status, 0) << again.out;
    const auto healthy = statusOf("redis");
    ASSERT_TRUE(healthy);
    EXPECT_EQ(healthy->health.status, vesk::HealthStatus::healthy);
    EXPECT_EQ(healthy->health.currentRetries, 0);
}

TEST_F(ServicesTest, OneThatNeverAcceptsIsEndedAndAPortHeldIsNamed) {
    extraEnvironment = "VESK_TEST_READY_SECONDS=2";
    ASSERT_EQ(vesk("service start redis").status, 0);
    ASSERT_EQ(vesk("service stop redis").status, 0);
    // Runs, but listens on no TCP port: ended after its time to get ready.
    const std::string config = dataDir() + "/config/services/redis.conf";
    std::ofstream(config, std::ios::app) << "port 0\nunixsocket " << home << "/redis.sock\n";
    EXPECT_EQ(vesk("service start redis").status, 1);
    const auto ended =
        waitFor("redis", 20, [](const SupervisedServer& x) { return x.health.crashCount > 0; });
    ASSERT_TRUE(ended && !ended->health.recentCrashes.empty());
    EXPECT_EQ(ended->health.recentCrashes.back().signal, SIGKILL);
    EXPECT_EQ(ended->health.recentCrashes.back().reason,
              "it did not accept connections within 2 s");
    ASSERT_EQ(vesk("service stop redis").status, 0);
    EXPECT_EQ(shell("pgrep -u 65534 -x redis-server").status, 1) << "a server was left running";

    // The port held by another program of the developer's: named, with its pid.
    std::string text;
    {
        std::ifstream in(config);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    text.erase(text.find("port 0"));
    std::ofstream(config, std::ios::trunc) << text;
    FILE* holder = ::popen(
        ("ip netns exec " + ns +
         " setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c "
         "\"import socket, sys, time; s = socket.socket(); "
         "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('127.0.0.1', 6380)); "
         "s.listen(); print('up', flush=True); "
         "time.sleep(60)\"")
            .c_str(),
        "r");
    ASSERT_NE(holder, nullptr);
    std::array<char, 16> line{};
    ASSERT_NE(std::fgets(line.data(), line.size(), holder), nullptr);
    const auto r = vesk("service start redis");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Port 6380 is in use by python3 (pid "), std::string::npos) << r.out;
    const auto doctor = vesk("doctor");
    EXPECT_NE(doctor.out.find("Port 6380 is in use by python3"), std::string::npos) << doctor.out;
    shell("ip netns exec " + ns + " pkill -u 65534 -x python3");
    ::pclose(holder);
}

TEST_F(ServicesTest, SnapshotsBringRowsBackAndAFailedDumpChangesNothing) {
    ASSERT_EQ(vesk("service start mariadb postgresql").status, 0);
    ASSERT_EQ(vesk("db create shop").status, 0);
    EXPECT_EQ(vesk("db create 'x`;drop'").status, 1);
    const auto sql = [&](const std::string& statement) {
        return trimmed(
            asDeveloper("mariadb -h 127.0.0.1 -P 3361 -u root -N shop -e \"" + statement + "\"")
                .out);
    };
    sql("create table orders (id int primary key, item text)");
    sql("insert into orders values (1, 'tea'), (2, 'cake'), (3, 'jam')");
    const auto taken = vesk("db snapshot shop --label nightly --notes 'three orders'");
    ASSERT_EQ(taken.status, 0) << taken.out;
    sql("drop table orders");
    const auto restored = vesk("db restore nightly");
    ASSERT_EQ(restored.status, 0) << restored.out;
    EXPECT_EQ(sql("select group_concat(item order by id) from orders"), "tea,cake,jam");

    // A dump larger than the files the command may write: no snapshot, the
    // index and the older snapshot as they were.
    sql("create table filler (id int auto_increment primary key, t text)");
    sql("insert into filler (t) select repeat(uuid(), 8) from seq_1_to_10000");
    const std::string index = dataDir() + "/data/snapshots/index.json";
    std::string before;
    {
        std::ifstream in(index);
        before.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto failed = vesk("db snapshot shop --label big", "prlimit --fsize=65536");
    EXPECT_EQ(failed.status, 1) << failed.out;
    EXPECT_NE(failed.out.find("the snapshot was not taken"), std::string::npos) << failed.out;
    std::string after;
    {
        std::ifstream in(index);
        after.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(after, before);
    for (const auto& entry : fs::directory_iterator(dataDir() + "/data/snapshots")) {
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos);
    }
    sql("drop table orders");
    ASSERT_EQ(vesk("db restore nightly --into shop_copy").status, 0);
    EXPECT_EQ(trimmed(asDeveloper("mariadb -h 127.0.0.1 -P 3361 -u root -N shop_copy -e "
                                  "'select count(*) from orders'")
                          .out),
              "3");

    // PostgreSQL alike; names are not unique and the first is found.
    ASSERT_EQ(vesk("db create app --service postgresql").status, 0);
    const auto psql = [&](const std::string& statement) {
        return trimmed(
            asDeveloper("psql -X -h 127.0.0.1 -p 5440 -U vesk -d app -Atc \"" + statement + "\"")
                .out);
    };
    psql("create table users (name text)");
    psql("insert into users values ('ada')");
    ASSERT_EQ(vesk("db snapshot app --service postgresql --label daily").status, 0);
    psql("insert into users values ('bob')");
    ASSERT_EQ(vesk("db snapshot app --service postgresql --label daily").status, 0);
    ASSERT_EQ(vesk("db restore daily").status, 0);
    EXPECT_EQ(psql("select string_agg(name, ',') from users"), "ada");
    const auto listed = vesk("db snapshots --json");
    vesk::CodingOptions o;
    o.dates = vesk::DateStrategy::iso8601;
    const auto all = vesk::decodeJSON<vesk::SnapshotIndex>(listed.out, o);
    EXPECT_EQ(std::count_if(all.snapshots.begin(), all.snapshots.end(),
                            [](const auto& s) { return s.name == "daily"; }),
              2);
    ASSERT_EQ(vesk("db forget daily").status, 0);
    const auto left = vesk::decodeJSON<vesk::SnapshotIndex>(vesk("db snapshots --json").out, o);
    EXPECT_FALSE(left.find("daily"));
    EXPECT_TRUE(left.find("nightly"));

    // Dropping asks, and without a terminal to ask on it refuses.
    const auto refused = vesk("db drop shop_copy");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("--force"), std::string::npos);
    EXPECT_EQ(vesk("db drop shop_copy --force").status, 0);
    EXPECT_EQ(vesk("db list").out.find("shop_copy"), std::string::npos);
}

}  // namespace
