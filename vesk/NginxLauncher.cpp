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

/// The master whose pid `pidFile` holds, when it runs `config`; 0 otherwise.
long masterIn(const std::string& pidFile, const std::string& config) {
    const long pid = std::strtol(readSmall(pidFile).c_str(), nullptr, 10);
    if (pid <= 1) return 0;
    std::string cmdline = readSmall("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : cmdline) c = c == '\0' ? ' ' : c;
    return cmdline.rfind("nginx: master process", 0) == 0 &&
                   cmdline.find(config) != std::string::npos
               ? pid
               : 0;
}

/// Stopping or reopening needs no configuration: the master is signalled
/// from its pid file, so a configuration broken by hand never keeps it
/// running. A master an older version started keeps its pid in Debian's
/// file, where it is found once it is known to run the environment's
/// configuration. Reloading reads the configuration (nginx's own -s), so
/// a broken one is reported.
bool signalMaster(const std::string& base, const std::string& config, const std::string& name) {
    int signal = 0;
    if (name == "stop") signal = SIGTERM;
    if (name == "quit") signal = SIGQUIT;
    if (name == "reopen") signal = SIGUSR1;
    long pid = masterIn(base + "/run/nginx.pid", config);
    if (pid == 0) pid = masterIn("/run/nginx.pid", config);
    if (name == "reload" && pid != 0 && ::access((base + "/run/nginx.pid").c_str(), F_OK) != 0) {
        signal = SIGHUP;
    }
    return signal != 0 && pid != 0 && ::kill(static_cast<pid_t>(pid), signal) == 0;
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
    if (!named && signalName != nullptr && signalMaster(base, config, signalName)) return 0;
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
