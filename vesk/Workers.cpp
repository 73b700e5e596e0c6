// vesk worker add|list|start|stop|restart|remove|logs: the developer's
// Laravel queue workers, each a QueueWorker record the supervisor keeps
// running (`php artisan queue:work` in the site's directory, as the
// developer, with the site's PHP version), restarted after a crash on the
// services' back-off and brought back at every boot until stopped.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/Unicode.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/services/DotEnvFile.hpp"
#include "vesk/services/WorkerOutput.hpp"
#include "vesk/system/RecordFile.hpp"

namespace vesk::cli {

namespace {

/// A whole number option in [low, high], or `fallback` when not given.
std::int64_t number(const Arguments& args, const std::string& flag, std::int64_t fallback,
                    std::int64_t low, std::int64_t high) {
    const auto text = args.value(flag);
    if (!text) return fallback;
    char* end = nullptr;
    const long long value = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || value < low || value > high) {
        throw Failure{flag + " takes a whole number from " + std::to_string(low) + " to " +
                      std::to_string(high) + ", not " + Unicode::terminalSafe(*text, false)};
    }
    return value;
}

std::string queueName(const Arguments& args, const std::string& flag, const std::string& fallback) {
    std::string name = args.value(flag).value_or(fallback);
    if (!workers::isQueueName(name)) {
        throw Failure{flag + " takes letters, digits and _-.:, (at most 128), not \"" +
                      Unicode::terminalSafe(name, false) + "\""};
    }
    return name;
}

/// QUEUE_CONNECTION in the project's .env, when it names one.
std::optional<std::string> envConnection(const std::string& dir) {
    for (const auto& [key, value] :
         dotenv::parseBlock(recordfile::readText(dir + "/.env").value_or(""))) {
        if (key == "QUEUE_CONNECTION" && workers::isQueueName(value)) return value;
    }
    return std::nullopt;
}

/// The workers `word` names: one by the first characters of its id (at
/// least 4), or every worker of a site (its name or full domain).
std::vector<QueueWorker> named(const std::string& word) {
    const auto all = workerRecords().read({});
    std::vector<QueueWorker> found;
    std::string upper = word;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const auto& w : all) {
        if (word.size() >= 4 && w.id.uuidString().rfind(upper, 0) == 0) found.push_back(w);
    }
    if (!found.empty()) return found;
    const std::string domain =
        word.find('.') == std::string::npos ? word + "." + currentSettings().defaultTLD : word;
    for (const auto& w : all) {
        if (w.siteDomain == domain) found.push_back(w);
    }
    if (found.empty()) {
        throw Failure{"no worker is " + Unicode::terminalSafe(word, false) +
                      " (an id or a site): vesk worker list shows them"};
    }
    return found;
}

void printWorker(const QueueWorker& w) {
    std::cout << w.id.uuidString().substr(0, 8) << "  " << w.siteDomain << "  "
              << (w.connection.empty() ? "(default)" : w.connection) << "/" << w.queue << "  "
              << label(w.status) << (w.pid ? " (pid " + std::to_string(*w.pid) + ")" : "") << ", "
              << w.jobsProcessed << " done, " << w.jobsFailed << " failed\n";
}

int addWorker(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Site site = siteFor(args.word(0));
    struct stat st {};
    if (::stat((site.path + "/artisan").c_str(), &st) != 0) {
        throw Failure{site.fullDomain() + " has no artisan (" + site.path +
                      "): a queue worker runs a Laravel project's php artisan queue:work"};
    }
    QueueWorker w;
    w.id = UUID::random();
    w.siteDomain = site.fullDomain();
    w.connection = queueName(args, "--connection", envConnection(site.path).value_or("database"));
    w.queue = queueName(args, "--queue", "default");
    w.memoryLimit = number(args, "--memory", 128, 16, 65536);
    w.timeout = number(args, "--timeout", 60, 0, 86400);
    w.tries = number(args, "--tries", 1, 0, 1000);
    const std::string version = site.phpVersion.value_or(currentSettings().defaultPHPVersion);
    if (::access(workerPHP(version).c_str(), X_OK) != 0) {
        throw Failure{"PHP " + version + "'s command line is not installed: sudo apt install php" +
                      version + "-cli"};
    }
    workerRecords().update({}, [&](std::vector<QueueWorker>& all) { all.push_back(w); });
    const std::string name = workerUnitName(w.id);
    changeWanted([&](supervision::Wanted& wanted) { wanted.restart.push_back(name); });
    ensureSupervisor();
    std::cout << "Worker " << w.id.uuidString().substr(0, 8) << " for " << w.siteDomain << ": "
              << workers::commandLine(w, workerPHP(version)).program << " "
              << w.artisanCommand().substr(4) << "\n";
    return 0;
}

int listWorkers(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const auto all = workerRecords().read({});
    if (args.has("--json")) {
        std::cout << scriptJSON(all, true) << "\n";
        return 0;
    }
    if (all.empty()) std::cout << "No queue worker yet: vesk worker add SITE\n";
    for (const auto& w : all) printWorker(w);
    return 0;
}

/// Stops or starts what `word` names; a restart stops and starts each.
int change(const Arguments& args, bool stop, bool start) {
    if (args.words.size() != 1) throw UsageError{};
    const auto workers = named(args.words[0]);
    changeWanted([&](supervision::Wanted& wanted) {
        for (const auto& w : workers) {
            const std::string name = workerUnitName(w.id);
            std::erase(wanted.stoppedCore, name);
            if (stop && !start) wanted.stoppedCore.push_back(name);
            if (start) wanted.restart.push_back(name);
        }
    });
    if (start) {
        ensureSupervisor();
    } else {
        notifySupervisor();
    }
    for (const auto& w : workers) {
        std::cout << L10n::tr(start ? (stop ? "services.restarted" : "services.started")
                                    : "services.stopped",
                              "Worker " + w.id.uuidString().substr(0, 8))
                  << "\n";
    }
    return 0;
}

int removeWorkers(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const auto workers = named(args.words[0]);
    workerRecords().update({}, [&](std::vector<QueueWorker>& all) {
        std::erase_if(all, [&](const QueueWorker& w) {
            return std::any_of(workers.begin(), workers.end(),
                               [&](const QueueWorker& x) { return x.id == w.id; });
        });
    });
    changeWanted([&](supervision::Wanted& wanted) {
        for (const auto& w : workers) std::erase(wanted.stoppedCore, workerUnitName(w.id));
    });
    notifySupervisor();
    for (const auto& w : workers) {
        std::cout << "Removed worker " << w.id.uuidString().substr(0, 8) << "\n";
    }
    return 0;
}

int workerLogs(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    std::vector<std::string> files;
    for (const auto& w : named(args.words[0])) {
        files.push_back(VeskPaths::logDir() + "/" + w.id.uuidString().substr(0, 8) + ".log");
    }
    const bool follow = args.has("-f") || args.has("--follow");
    followLogs(files, follow ? 10 : 50, follow);
    return 0;
}

}  // namespace

int worker(const Arguments& args) {
    const auto verb = args.word(0);
    if (!verb) throw UsageError{};
    Arguments rest = args;
    rest.words.erase(rest.words.begin());
    if (*verb == "add") return addWorker(rest);
    if (*verb == "list") return listWorkers(rest);
    if (*verb == "start") return change(rest, false, true);
    if (*verb == "stop") return change(rest, true, false);
    if (*verb == "restart") return change(rest, true, true);
    if (*verb == "remove") return removeWorkers(rest);
    if (*verb == "logs") return workerLogs(rest);
    throw UsageError{};
}

}  // namespace vesk::cli
