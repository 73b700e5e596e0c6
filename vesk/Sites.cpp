// vesk sites [--json]
#include <iostream>

#include "Command.hpp"
#include "vesk/Json.hpp"

namespace vesk::cli {

int sites(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const std::vector<Site> served = servedSites();
    if (args.has("--json")) {
        CodingOptions pretty;
        pretty.indent = 2;
        std::cout << encodeJSON(served, pretty) << "\n";
        return 0;
    }
    const std::string defaultPHP = currentSettings().defaultPHPVersion;
    for (const Site& s : served) {
        std::cout << (s.isSecured ? "https://" : "http://") << s.fullDomain() << "/  " << s.path
                  << "  PHP " << s.phpVersion.value_or(defaultPHP)
                  << (s.phpVersion ? " (isolated)" : "") << "  "
                  << (s.isLinked ? "linked" : "parked") << "\n";
    }
    return 0;
}

}  // namespace vesk::cli
