#include "vesk/system/Spawn.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace {

using vesk::spawn::Output;
using vesk::spawn::Request;

Request shell(const std::string& script) {
    Request r;
    r.program = "/bin/sh";
    r.arguments = {"-c", script};
    return r;
}

TEST(Spawn, ExitStatusSignalAndOutputAreTheChilds) {
    Request r = shell("echo out; echo err >&2; read line; echo \"[$line]\"; exit 7");
    r.output = Output::capture;
    const auto done = vesk::spawn::run(r);
    EXPECT_EQ(done.spawnError, 0);
    EXPECT_EQ(done.exitStatus, 7);
    EXPECT_EQ(done.output, "out\nerr\n[]\n") << "its input is /dev/null";
    const auto killed = vesk::spawn::run(shell("kill -TERM $$"));
    EXPECT_EQ(killed.signal, SIGTERM);
    EXPECT_FALSE(killed.exitStatus);
    // The caller's ignored SIGPIPE is not the child's: a shell that starts
    // with it ignored could never be ended by it.
    ::signal(SIGPIPE, SIG_IGN);
    const auto piped = vesk::spawn::run(shell("kill -PIPE $$; exit 3"));
    ::signal(SIGPIPE, SIG_DFL);
    EXPECT_EQ(piped.signal, SIGPIPE);
}

TEST(Spawn, OnlyAbsolutePathsRunAndTheEnvironmentIsTheOneGiven) {
    Request relative;
    relative.program = "sh";
    EXPECT_EQ(vesk::spawn::run(relative).spawnError, ENOENT);
    Request missing;
    missing.program = "/no/such/program";
    EXPECT_NE(vesk::spawn::run(missing).spawnError, 0);
    Request env = shell("echo \"$ONLY|$HOME\"");
    env.environment = std::vector<std::string>{"ONLY=this"};
    env.output = Output::capture;
    EXPECT_EQ(vesk::spawn::run(env).output, "this|\n");
}

TEST(Spawn, AFloodIsBoundedAndAStallIsEndedAtTheLimit) {
    Request flood = shell("head -c 1000000 /dev/zero");
    flood.output = Output::capture;
    flood.captureLimit = 1000;
    const auto flooded = vesk::spawn::run(flood);
    EXPECT_EQ(flooded.output.size(), 1000U);
    EXPECT_EQ(flooded.exitStatus, 0) << "read to its end, not cut off";

    const auto started = std::chrono::steady_clock::now();
    Request stall = shell("exec sleep 30");
    stall.limit = std::chrono::milliseconds(200);
    const auto stalled = vesk::spawn::run(stall);
    EXPECT_TRUE(stalled.timedOut);
    EXPECT_EQ(stalled.signal, SIGKILL);
    // A grandchild holding the output open ends with its group.
    Request group = shell("sleep 30 & wait");
    group.output = Output::capture;
    group.limit = std::chrono::milliseconds(200);
    group.ownGroup = true;
    const auto grouped = vesk::spawn::run(group);
    EXPECT_TRUE(grouped.timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

}  // namespace

namespace {

TEST(Spawn, AStartedChildHasTheDescriptorsDirectoryAndGroupItIsGiven) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    vesk::spawn::Start s;
    s.program = "/bin/sh";
    s.arguments = {"-c", "pwd; ps -o pgid= -p $$ | tr -d ' '; echo $$; echo oops >&2"};
    s.directory = "/usr";
    s.output = pipeFds[1];
    s.error = pipeFds[1];
    s.ownGroup = true;
    const auto started = vesk::spawn::start(s);
    ::close(pipeFds[1]);
    ASSERT_GT(started.pid, 0);
    std::string out;
    char buffer[256];
    for (ssize_t n = 0; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(static_cast<pid_t>(started.pid), &status, 0), started.pid);
    const std::string pid = std::to_string(started.pid);
    EXPECT_EQ(out, "/usr\n" + pid + "\n" + pid + "\noops\n") << "its own group, led by itself";

    vesk::spawn::Start relative;
    relative.program = "sh";
    EXPECT_EQ(vesk::spawn::start(relative).error, ENOENT);
    EXPECT_EQ(vesk::spawn::start(relative).pid, 0);
}

}  // namespace
