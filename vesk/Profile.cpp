// vesk profile list | show ID [--svg FILE] | diff A B [--svg FILE] | import [FILE] [--label TEXT]
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <unordered_map>

#include "Command.hpp"
#include "vesk/debugging/Cachegrind.hpp"
#include "vesk/debugging/FlameGraphNode.hpp"
#include "vesk/debugging/ProfileDiff.hpp"
#include "vesk/foundation/VeskPaths.hpp"

namespace vesk::cli {

namespace {

/// The largest folded-stacks file imported.
constexpr std::size_t kImportLimit = std::size_t{512} << 20;

ProfileStore store() {
    return ProfileStore(VeskPaths::profilesDir());
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

/// The profile whose id is `id` or starts with it (one only).
ProfileRun find(const std::string& id) {
    const std::string wanted = upper(id);
    std::vector<std::string> matches;
    for (const auto& path : store().listProfiles()) {
        const std::string name = path.substr(path.rfind('/') + 1);
        // "profile-<UUID>.json"
        if (name.size() > 13 && name.compare(8, wanted.size(), wanted) == 0) {
            matches.push_back(path);
        }
    }
    if (matches.empty()) throw Failure{"no profile " + id + " (vesk profile list shows them)"};
    if (matches.size() > 1) throw Failure{"more than one profile starts with " + id};
    try {
        return store().load(matches.front());
    } catch (const std::exception& e) {
        throw Failure{matches.front() + " cannot be read: " + e.what()};
    }
}

std::vector<FlameGraphNode> graphOf(const ProfileRun& run) {
    std::vector<FlameGraphNode> roots;
    roots.reserve(run.frames.size());
    for (const auto& f : run.frames) roots.push_back(FlameGraphNode::from(f));
    return roots;
}

std::string titleOf(const ProfileRun& run) {
    std::string title = run.label.empty() ? run.requestURI : run.label;
    if (title.empty()) title = run.id.uuidString();
    return title + " (" + run.date.iso8601() + ")";
}

/// Writes the picture to --svg FILE, or to a file of its own that the
/// browser opens.
int deliver(const Arguments& args, const std::string& svg, const std::string& name) {
    const auto given = args.value("--svg");
    // Never into /tmp, which is everyone's: the developer's own data tree.
    const std::string path =
        given ? *given : VeskPaths::baseDir() + "/flamegraphs/" + name + ".svg";
    try {
        recordfile::writeText(path, svg);
    } catch (const std::exception& e) {
        throw Failure{e.what()};
    }
    std::cout << "Wrote " << path << " (" << svg.size() << " bytes)\n";
    if (given) return 0;
    std::cout.flush();
    const Ran opened = run("/usr/bin/xdg-open", {path}, std::chrono::seconds(10));
    if (opened.status != 0) std::cout << "Open it in a browser: file://" << path << "\n";
    return 0;
}

void printTop(const std::vector<FlameGraphNode>& roots) {
    std::cout << "Top functions by self time:\n";
    for (const auto& f : topFunctions(roots, FunctionSortOrder::selfTime, 10)) {
        std::cout << "  " << f.selfTime << "  " << f.totalTime << "  " << f.function << "\n";
    }
}

int list() {
    for (const auto& path : store().listProfiles()) {
        try {
            const ProfileRun r = store().load(path);
            std::cout << r.id.uuidString() << "  " << r.date.iso8601() << "  total " << r.totalTime
                      << "  " << (r.label.empty() ? r.requestURI : r.label) << "\n";
        } catch (const std::exception& e) {
            std::cerr << "vesk: " << path << " cannot be read: " << e.what() << "\n";
        }
    }
    return 0;
}

/// The run in `file`: Xdebug's profile (cachegrind) or folded stacks.
ProfileRun runIn(const std::string& file, const std::string& label, std::size_t& skipped) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Failure{"cannot read " + file};
    char start[32] = {};
    in.read(start, sizeof start);
    const std::string_view opening(start, static_cast<std::size_t>(in.gcount()));
    in.clear();
    in.seekg(0);
    skipped = 0;
    if (cachegrind::looksLike(opening)) {
        try {
            ProfileRun r = cachegrind::read(in, label);
            struct stat st {};
            if (::stat(file.c_str(), &st) == 0)
                r.date = Date::fromUnix(static_cast<double>(st.st_mtime));
            return r;
        } catch (const cachegrind::FormatError& e) {
            throw Failure{file + ": " + e.what()};
        }
    }
    std::string text;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kImportLimit) throw Failure{file + " is larger than 512 MiB"};
    }
    return profileFromFoldedStacks(text, label, skipped);
}

void importOne(const std::string& file, const std::string& label) {
    std::size_t skipped = 0;
    const ProfileRun r = runIn(file, label, skipped);
    if (r.frames.empty()) throw Failure{file + " holds no call stacks"};
    std::string path;
    try {
        path = store().save(r);
    } catch (const std::exception& e) {
        throw Failure{e.what()};
    }
    std::cout << "Imported " << file << " as " << r.id.uuidString() << " (total " << r.totalTime;
    if (skipped > 0) std::cout << "; " << skipped << " lines were no stack and were skipped";
    std::cout << ")\n" << path << "\n";
}

/// Every profile Xdebug's pools wrote since the last import; each moves to
/// imported/ once it is a profile of the store.
int importXdebug() {
    const std::string dir = xdebugOutputDir();
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (std::string_view(e->d_name).rfind("cachegrind.out.", 0) == 0 &&
                e->d_type == DT_REG) {
                names.emplace_back(e->d_name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    if (names.empty()) {
        std::cout << "No profile waits in " << dir
                  << " (vesk xdebug on --mode profile, then a request with XDEBUG_PROFILE or "
                     "XDEBUG_TRIGGER)\n";
        return 0;
    }
    ::mkdir((dir + "/imported").c_str(), 0700);
    int failures = 0;
    for (const auto& name : names) {
        std::string file = dir;
        file.append("/").append(name);
        std::string imported = dir;
        imported.append("/imported/").append(name);
        try {
            importOne(file, name);
            ::rename(file.c_str(), imported.c_str());
        } catch (const Failure& f) {
            std::cerr << "vesk: " << f.message << "\n";
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

int import(const Arguments& args) {
    if (args.words.size() == 1) return importXdebug();
    if (args.words.size() != 2) throw UsageError{};
    const std::string& file = args.words[1];
    importOne(file, args.value("--label").value_or(file.substr(file.find_last_of('/') + 1)));
    return 0;
}

}  // namespace

int profile(const Arguments& args) {
    const auto sub = args.word(0);
    if (!sub) throw UsageError{};
    if (*sub == "list" && args.words.size() == 1) return list();
    if (*sub == "import") return import(args);
    if (*sub == "show" && args.words.size() == 2) {
        const ProfileRun r = find(args.words[1]);
        const auto roots = graphOf(r);
        printTop(roots);
        FlameGraphStyle style;
        style.title = titleOf(r);
        return deliver(args, flameGraphSVG(roots, style), "profile-" + r.id.uuidString());
    }
    if (*sub == "diff" && args.words.size() == 3) {
        const ProfileRun before = find(args.words[1]);
        const ProfileRun after = find(args.words[2]);
        const ProfileDiff diff = ProfileDiff::compare(before, after);
        std::cout << "Total " << diff.baselineTotalTime << " -> " << diff.currentTotalTime << " ("
                  << (diff.totalTimeDelta >= 0 ? "+" : "") << diff.totalTimePercentChange << "%)\n";
        for (const auto& d : diff.topRegressions(5)) {
            std::cout << "  slower  +" << d.delta << "  " << d.function << "\n";
        }
        for (const auto& d : diff.topImprovements(5)) {
            std::cout << "  faster  " << d.delta << "  " << d.function << "\n";
        }
        std::unordered_map<std::string, double> change;
        for (const auto& d : diff.diffs) change[d.function] = d.percentChange;
        FlameGraphStyle style;
        style.title = "Change from " + titleOf(before) + " to " + titleOf(after);
        const std::string svg = differentialFlameGraphSVG(
            graphOf(after),
            [&](std::string_view function) {
                const auto at = change.find(std::string(function));
                return at == change.end() ? 0.0 : at->second;
            },
            style);
        return deliver(args, svg, "diff-" + after.id.uuidString());
    }
    throw UsageError{};
}

}  // namespace vesk::cli
