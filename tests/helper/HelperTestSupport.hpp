// A real helper serving a layout inside a temporary directory, with its log
// captured, for tests over the real socket.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Helper.hpp"
#include "HelperClient.hpp"
#include "Log.hpp"

namespace vesk::test {

namespace fs = std::filesystem;

/// Collects log lines and lets a test wait for one.
class LogCapture {
  public:
    LogCapture() {
        helper::setLogSink([this](const std::string& line) {
            const std::lock_guard lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        });
    }
    ~LogCapture() { helper::setLogSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() {
        const std::lock_guard lock(mutex_);
        return lines_;
    }
    std::size_t count(const std::string& line) {
        const std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), line));
    }
    std::size_t countPrefix(const std::string& prefix) {
        const std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(lines_.begin(), lines_.end(),
                          [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }
    /// Waits up to five seconds for the line to have been logged.
    bool waitFor(const std::string& line) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
            return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
        });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

/// A temporary root (0755, so other users can reach the socket) removed afterwards.
class TempRoot {
  public:
    TempRoot() {
        std::string tmpl = (fs::temp_directory_path() / "vesk-test-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
        ::chmod(path_.c_str(), 0755);
    }
    ~TempRoot() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }

  private:
    std::string path_;
};

/// A running helper over a temporary layout.
class HelperFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root.path() + "/run");
        layout = EnvironmentLayout::rootedAt(root.path());
        prepare(layout);
        instance = std::make_unique<helper::Helper>(layout, [this](int status) {
            const std::lock_guard lock(exitMutex);
            exitStatuses.push_back(status);
        });
        thread = std::thread([this] { runResult = instance->run(); });
        ASSERT_TRUE(log.waitFor("VeskHelper: Listening on com.vesk.helper"));
    }
    void TearDown() override {
        if (HasFailure()) {
            for (const auto& line : log.lines()) std::cerr << "  log: " << line << "\n";
        }
        instance->stop();
        thread.join();
    }

    /// Adjusts the layout before the helper starts.
    virtual void prepare(EnvironmentLayout&) {}

    std::unique_ptr<HelperClient> connect() {
        return std::make_unique<HelperClient>(layout.socketPath);
    }

    LogCapture log;
    TempRoot root;
    EnvironmentLayout layout;
    std::unique_ptr<helper::Helper> instance;
    std::thread thread;
    int runResult = -1;
    std::mutex exitMutex;
    std::vector<int> exitStatuses;
};

/// Runs a program, returning its pid through `pid` and its exit status.
inline int runProgram(const std::vector<std::string>& argv, pid_t* pid = nullptr,
                      uid_t asUser = static_cast<uid_t>(-1)) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (asUser != static_cast<uid_t>(-1)) {
            if (::setgid(asUser) != 0 || ::setuid(asUser) != 0) ::_exit(126);
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDOUT_FILENO);
        ::dup2(devnull, STDERR_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (pid != nullptr) *pid = child;
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace vesk::test
