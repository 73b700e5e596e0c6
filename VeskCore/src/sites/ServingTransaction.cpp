#include "vesk/sites/ServingTransaction.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "vesk/system/ProcFS.hpp"
#include "vesk/system/RecordFile.hpp"
#include "vesk/system/Spawn.hpp"

namespace vesk::serving {

namespace fs = std::filesystem;

namespace {

Verdict run(const std::string& program, const std::vector<std::string>& arguments) {
    spawn::Request request;
    request.program = program;
    request.arguments = arguments;
    request.output = spawn::Output::capture;
    request.limit = std::chrono::seconds(30);
    const spawn::Result r = spawn::run(request);
    if (r.spawnError != 0) return {-1, program + " could not be run"};
    Verdict verdict{r.exitStatus.value_or(-1), r.output};
    if (r.timedOut) verdict.output += "\n(" + program + " took too long and was stopped)";
    return verdict;
}

/// Whether every error nginx reported is a port it was not allowed to bind.
bool onlyBindRefused(const std::string& output) {
    std::istringstream lines(output);
    bool any = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("[emerg]") == std::string::npos) continue;
        if (line.find("bind() to ") == std::string::npos ||
            line.find("(13: Permission denied)") == std::string::npos) {
            return false;
        }
        any = true;
    }
    return any;
}

}  // namespace

Verdict check(const ServerConfig::Layout& layout, const std::string& sitesDir) {
    const std::string checkConf = layout.etcDir() + "/nginx-check.conf";
    const bool asRoot = ::geteuid() == 0;
    ServerConfig::Layout checked = layout;
    if (!asRoot) checked.ipv6 = false;
    const std::string staged = sitesDir + ".check";
    if (!asRoot && layout.ipv6) {
        std::error_code ec;
        fs::remove_all(staged, ec);
        fs::create_directories(staged, ec);
        for (const auto& entry : fs::directory_iterator(sitesDir, ec)) {
            auto text = recordfile::readText(entry.path().string());
            if (!text) continue;
            for (std::size_t at = 0;
                 (at = text->find("    listen [::1]:", at)) != std::string::npos;) {
                text->erase(at, text->find('\n', at) + 1 - at);
            }
            recordfile::writeText(staged + "/" + entry.path().filename().string(), *text);
        }
    }
    recordfile::writeText(
        checkConf, ServerConfig::nginxMain(
                       checked, {!asRoot && layout.ipv6 ? staged : sitesDir, true,
                                 asRoot ? std::nullopt : std::optional<std::string>("root root")}));
    std::string nginx = layout.nginx();
    if (::access(nginx.c_str(), X_OK) != 0) nginx = "/usr/sbin/nginx";
    const std::vector<std::string> test{"-q", "-t", "-e", "stderr", "-c", checkConf};
    Verdict verdict;
    if (asRoot) {
        verdict = run(nginx, test);
    } else {
        std::vector<std::string> inside{"--user", "--map-root-user", "--net", "--", nginx};
        inside.insert(inside.end(), test.begin(), test.end());
        verdict = run("/usr/bin/unshare", inside);
        if (verdict.status != 0 && verdict.output.rfind("unshare: ", 0) == 0) {
            // No user namespaces here: a refusal to bind is then no verdict.
            verdict = run(nginx, test);
            if (verdict.status != 0 && onlyBindRefused(verdict.output)) verdict.status = 0;
        }
    }
    ::unlink(checkConf.c_str());
    std::error_code ec;
    fs::remove_all(staged, ec);
    // nginx's words name the files the developer knows.
    for (auto at = verdict.output.find(staged); at != std::string::npos;
         at = verdict.output.find(staged, at + sitesDir.size())) {
        verdict.output.replace(at, staged.size(), sitesDir);
    }
    return verdict;
}

Transaction::Transaction(const ServerConfig::Layout& layout)
    : layout_(layout), staged_(layout.sitesDir() + ".new") {
    std::error_code ec;
    fs::remove_all(staged_, ec);
    fs::create_directories(staged_, ec);
    if (ec) throw std::runtime_error("cannot make " + staged_ + ": " + ec.message());
}

Transaction::~Transaction() {
    if (committed_) return;
    std::error_code ec;
    fs::remove_all(staged_, ec);
}

void Transaction::add(const std::string& name, const std::string& text) {
    recordfile::writeText(std::string(staged_).append("/").append(name), text);
}

void Transaction::commit() {
    const Verdict verdict = check(layout_, staged_);
    if (verdict.status != 0) throw Refused(verdict.output);
    const std::string live = layout_.sitesDir();
    std::error_code ec;
    if (fs::exists(live, ec)) {
        // Swapped in one step: nginx never reads half of either.
        if (::renameat2(AT_FDCWD, staged_.c_str(), AT_FDCWD, live.c_str(), RENAME_EXCHANGE) != 0) {
            throw std::runtime_error("cannot put " + live + " in place: " + std::strerror(errno));
        }
    } else if (::rename(staged_.c_str(), live.c_str()) != 0) {
        throw std::runtime_error("cannot put " + live + " in place: " + std::strerror(errno));
    } else {
        committed_ = true;
        return;
    }
    // The old blocks, now where the staged ones were, go with the destructor.
}

void writeIfChanged(const std::string& path, const std::string& text) {
    const auto existing = recordfile::readText(path);
    if (!existing || *existing != text) recordfile::writeText(path, text);
}

void reloadAndWait(long master, const std::function<void()>& reload) {
    const std::vector<long> before = procfs::childrenOf(master);
    reload();
    for (int i = 0; i < 100; ++i) {
        const std::vector<long> now = procfs::childrenOf(master);
        const bool oldLeft = std::any_of(before.begin(), before.end(), [&](long pid) {
            return std::find(now.begin(), now.end(), pid) != now.end();
        });
        if (!oldLeft && !now.empty()) return;
        ::usleep(50'000);
    }
}

}  // namespace vesk::serving
