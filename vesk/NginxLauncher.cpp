// The environment's nginx (/usr/local/vesk/bin/nginx): Debian's own program,
// run on the environment's configuration unless another is named with -c.
// nginx finds its master for "-s stop" and "-s reload" through the pid file
// its configuration names, so the environment's nginx keeps a pid file of
// its own (in its run directory), and Debian's nginx.service can run,
// stop and restart beside it without either losing track of the other.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

std::string readSmall(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "re")) {
        char buffer[4096];
        text.assign(buffer, std::fread(buffer, 1, sizeof buffer, f));
        std::fclose(f);
    }
    return text;
}

/// A master an older version started keeps its pid in Debian's file: it is
/// signalled there, once it is known to run the environment's configuration.
bool signalOlderMaster(const std::string& base, const std::string& config, const char* name) {
    int signal = 0;
    const std::string s = name;
    if (s == "stop") signal = SIGTERM;
    if (s == "quit") signal = SIGQUIT;
    if (s == "reload") signal = SIGHUP;
    if (s == "reopen") signal = SIGUSR1;
    if (signal == 0 || ::access((base + "/run/nginx.pid").c_str(), F_OK) == 0) return false;
    const long pid = std::strtol(readSmall("/run/nginx.pid").c_str(), nullptr, 10);
    if (pid <= 1) return false;
    std::string cmdline = readSmall("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : cmdline) c = c == '\0' ? ' ' : c;
    if (cmdline.find("nginx: master process") != 0 || cmdline.find(config) == std::string::npos) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), signal) == 0;
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
    if (!named && signalName != nullptr && signalOlderMaster(base, config, signalName)) return 0;
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
