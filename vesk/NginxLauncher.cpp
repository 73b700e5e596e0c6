// The environment's nginx (/usr/local/vesk/bin/nginx): Debian's own program,
// run on the environment's configuration unless another is named with -c.
// nginx finds its master for "-s stop" and "-s reload" through the pid file
// its configuration names, so the environment's nginx keeps a pid file of
// its own (in its run directory), and Debian's nginx.service can run,
// stop and restart beside it without either losing track of the other.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vesk/system/ProcFS.hpp"

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

/// The environment this program sits in: the directory above its own.
std::string environmentBase() {
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n <= 0) return "/usr/local/vesk";
    self.resize(static_cast<std::size_t>(n));
    const auto bin = self.rfind('/');
    const auto base =
        bin == std::string::npos || bin == 0 ? std::string::npos : self.rfind('/', bin - 1);
    return base == std::string::npos || base == 0 ? std::string("/usr/local/vesk")
                                                  : self.substr(0, base);
}

/// Stopping or reopening needs no configuration: the master is signalled
/// from its pid file (when the kernel confirms the process is the nginx
/// that wrote it), so a configuration broken by hand never keeps it
/// running. Reloading reads the configuration (nginx's own -s), so a broken
/// one is reported.
bool signalMaster(const std::string& base, const std::string& name) {
    int signal = 0;
    if (name == "stop") signal = SIGTERM;
    if (name == "quit") signal = SIGQUIT;
    if (name == "reopen") signal = SIGUSR1;
    if (signal == 0) return false;
    const auto pid = vesk::procfs::serverInPidFile(base + "/run/nginx.pid", "nginx");
    return pid && ::kill(static_cast<pid_t>(*pid), signal) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool named = false;
    const char* signalName = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.rfind("-c", 0) == 0) named = true;
        if (word == "-s" && i + 1 < argc) signalName = argv[i + 1];
    }
    const std::string base = environmentBase();
    const std::string config = base + "/etc/nginx.conf";
    if (!named && signalName != nullptr && signalMaster(base, signalName)) return 0;
    // The environment's own name stays the master's: ps shows whose it is.
    std::vector<char*> words{argv[0]};
    if (!named) {
        words.push_back(const_cast<char*>("-c"));
        words.push_back(const_cast<char*>(config.c_str()));
    }
    for (int i = 1; i < argc; ++i) words.push_back(argv[i]);
    words.push_back(nullptr);
    ::execv(kNginx, words.data());
    std::perror(kNginx);
    return 127;
}
