// vesk park [DIR], vesk unpark [DIR], vesk parked
#include <algorithm>
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/L10n.hpp"

namespace vesk::cli {

int park(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const std::string dir = servableDirectory(args.word(0));
    const AppConfig config = settings().update(newSettings(), [&](AppConfig& c) {
        if (std::find(c.parkedPaths.begin(), c.parkedPaths.end(), dir) == c.parkedPaths.end()) {
            c.parkedPaths.push_back(dir);
        }
    });
    std::cout << L10n::tr("sites.parked", dir) << " (each directory in it is served at <name>."
              << config.defaultTLD << ")\n";
    applyConfiguration();
    return 0;
}

int unpark(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    // A directory gone since it was parked can still be unparked by its path.
    std::string dir = args.word(0).value_or("");
    try {
        dir = directory(args.word(0));
    } catch (const Failure&) {
        if (dir.empty()) throw;
    }
    bool found = false;
    settings().update(newSettings(), [&](AppConfig& c) {
        const auto it = std::find(c.parkedPaths.begin(), c.parkedPaths.end(), dir);
        found = it != c.parkedPaths.end();
        if (found) c.parkedPaths.erase(it);
    });
    if (!found) throw Failure{dir + " is not parked"};
    std::cout << "Unparked " << dir << "\n";
    applyConfiguration();
    return 0;
}

int parked(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    for (const auto& path : currentSettings().parkedPaths) std::cout << path << "\n";
    return 0;
}

}  // namespace vesk::cli
