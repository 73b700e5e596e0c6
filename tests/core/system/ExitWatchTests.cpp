// Ends of processes learnt at once: a child with its status, another's
// process (the way root's servers are the supervisor's) without.
#include "vesk/system/ExitWatch.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace {

pid_t sleeper() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::pause();
        ::_exit(0);
    }
    return pid;
}

TEST(ExitWatch, AChildsEndIsLearntAtOnceWithItsStatus) {
    vesk::ExitWatch watch;
    const pid_t killed = sleeper();
    const pid_t exiting = ::fork();
    if (exiting == 0) {
        ::usleep(50'000);
        ::_exit(7);
    }
    ASSERT_TRUE(watch.add(killed));
    ASSERT_TRUE(watch.add(exiting));
    EXPECT_TRUE(watch.wait(0).empty()) << "both still run";
    const auto started = std::chrono::steady_clock::now();
    std::vector<vesk::ExitWatch::Exit> ended;
    while (ended.size() < 1) {
        for (const auto& e : watch.wait(5000)) ended.push_back(e);
    }
    ASSERT_EQ(ended.size(), 1U);
    EXPECT_EQ(ended[0].pid, exiting);
    EXPECT_EQ(ended[0].exitCode, 7);
    EXPECT_FALSE(ended[0].signal);
    ::kill(killed, SIGKILL);
    const auto more = watch.wait(5000);
    ASSERT_EQ(more.size(), 1U);
    EXPECT_EQ(more[0].pid, killed);
    EXPECT_EQ(more[0].signal, SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    EXPECT_FALSE(watch.watching(killed));
    // Reaped by the watch: nothing is left for waitpid.
    EXPECT_EQ(::waitpid(killed, nullptr, WNOHANG), -1);
}

TEST(ExitWatch, AnotherProcessesEndIsLearntToo) {
    // A grandchild whose parent has gone: not this process's child.
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const pid_t middle = ::fork();
    if (middle == 0) {
        const pid_t grandchild = sleeper();
        (void)!::write(pipe[1], &grandchild, sizeof grandchild);
        ::_exit(0);
    }
    pid_t other = 0;
    ASSERT_EQ(::read(pipe[0], &other, sizeof other), static_cast<ssize_t>(sizeof other));
    ::waitpid(middle, nullptr, 0);
    ::close(pipe[0]);
    ::close(pipe[1]);
    vesk::ExitWatch watch;
    ASSERT_TRUE(watch.add(other));
    EXPECT_TRUE(watch.wait(0).empty());
    ::kill(other, SIGKILL);
    const auto ended = watch.wait(5000);
    ASSERT_EQ(ended.size(), 1U);
    EXPECT_EQ(ended[0].pid, other);
    EXPECT_FALSE(ended[0].exitCode) << "its status is its parent's";
    EXPECT_FALSE(ended[0].signal);
    // A process that has ended is not watched, or (a zombie its parent has
    // not reaped yet) is reported ended at once.
    if (watch.add(other)) {
        EXPECT_EQ(watch.wait(0).size(), 1U);
    }
    EXPECT_FALSE(watch.add(0));
    EXPECT_TRUE(watch.wait(10).empty()) << "nothing watched, nothing to wait for";
}

}  // namespace
