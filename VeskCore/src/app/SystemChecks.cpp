#include "vesk/app/SystemChecks.hpp"

#include <algorithm>
#include <sstream>

#include "vesk/foundation/Unicode.hpp"

namespace vesk::SystemChecks {

namespace {

DiagnosticResult passed(std::string label) {
    return {std::move(label), DiagnosticSeverity::passed, std::nullopt};
}
DiagnosticResult failed(std::string label, std::string fix,
                        DiagnosticSeverity severity = DiagnosticSeverity::error) {
    return {std::move(label), severity, std::move(fix)};
}

/// The words of the first hosts line (indented or not), without "hosts:".
std::optional<std::vector<std::string>> hostsWords(std::string_view text) {
    for (const std::string_view raw : Unicode::lines(text)) {
        const std::string_view line = Unicode::trimmed(raw);
        if (line.rfind("hosts:", 0) != 0) continue;
        std::vector<std::string> words;
        std::istringstream in{std::string(line.substr(6))};
        for (std::string w; in >> w;) words.push_back(w);
        return words;
    }
    return std::nullopt;
}

}  // namespace

DiagnosticResult hostsLine(std::string_view nsswitchText) {
    const std::string label = "the system's name lookup asks the vesk module";
    const auto words = hostsWords(nsswitchText);
    if (!words) {
        return failed(label,
                      "/etc/nsswitch.conf has no hosts line: add \"hosts: files vesk "
                      "[NOTFOUND=return] dns\"");
    }
    const auto at = [&](std::string_view w) {
        return std::find(words->begin(), words->end(), w) - words->begin();
    };
    const auto vesk = at("vesk");
    const auto resolve = at("resolve");
    const auto size = static_cast<std::ptrdiff_t>(words->size());
    if (vesk == size) {
        return failed(label,
                      "put \"vesk [NOTFOUND=return]\" before \"resolve\" or \"dns\" on the "
                      "hosts line of /etc/nsswitch.conf (reinstalling the package does it)");
    }
    if (resolve < vesk) {
        return failed(label,
                      "the module comes after \"resolve\", which answers every name "
                      "itself: move \"vesk [NOTFOUND=return]\" before \"resolve\" on the "
                      "hosts line of /etc/nsswitch.conf");
    }
    return passed(label);
}

DiagnosticResult resolverFile(std::string_view tld, const std::optional<std::string>& text) {
    const std::string path = "/etc/resolver/" + std::string(tld);
    const std::string label = "names under ." + std::string(tld) + " have a resolver file";
    if (!text)
        return failed(label, path +
                                 " is missing: sudo vesk install writes it (and tells "
                                 "systemd-resolved)");
    bool nameserver = false;
    for (const std::string_view raw : Unicode::lines(*text)) {
        const std::string_view line = Unicode::trimmed(raw);
        if (line.rfind("nameserver ", 0) == 0) nameserver = true;
    }
    if (!nameserver)
        return failed(label, path + " names no name server: sudo vesk install writes it again");
    return passed(label);
}

DiagnosticResult port(int number, std::string_view use, bool listening, bool vesks,
                      const std::optional<std::string>& holder) {
    const std::string label = "port " + std::to_string(number) + " is free for " + std::string(use);
    if (!listening || vesks) return passed(label);
    if (holder) {
        return failed(label, "port " + std::to_string(number) + " is held by " + *holder +
                                 ": stop it with sudo systemctl disable --now " + *holder);
    }
    return failed(label, "port " + std::to_string(number) +
                             " is held by another program: sudo ss -lntup 'sport = :" +
                             std::to_string(number) + "' names it");
}

DiagnosticResult phpVersions(const std::vector<Site>& sites, const std::string& defaultPHP,
                             const std::vector<std::string>& installed) {
    const std::string label = "every PHP version the sites use is installed";
    std::vector<std::string> missing;
    for (const Site& s : sites) {
        const std::string& v = s.phpVersion ? *s.phpVersion : defaultPHP;
        if (std::find(installed.begin(), installed.end(), v) == installed.end() &&
            std::find(missing.begin(), missing.end(), v) == missing.end()) {
            missing.push_back(v);
        }
    }
    if (missing.empty()) return passed(label);
    std::string list;
    for (const auto& v : missing) list += (list.empty() ? "" : ", ") + v;
    return failed(label, "PHP " + list + " is not installed: sudo apt install php" + missing[0] +
                             "-fpm, or vesk use / vesk isolate an installed version");
}

DiagnosticResult siteDirectories(const std::vector<std::string>& unreadable) {
    const std::string label = "the web server can read every site's directory";
    if (unreadable.empty()) return passed(label);
    return failed(label, unreadable.front() + " cannot be read" +
                             (unreadable.size() > 1
                                  ? " (and " + std::to_string(unreadable.size() - 1) + " more)"
                                  : "") +
                             ": chmod u+rx it and the directories above it");
}

const std::vector<std::pair<std::string, std::vector<int>>>& knownHolders() {
    static const std::vector<std::pair<std::string, std::vector<int>>> holders = {
        {"nginx.service", {80, 443}},    {"apache2.service", {80, 443}},
        {"lighttpd.service", {80, 443}}, {"caddy.service", {80, 443}},
        {"dnsmasq.service", {53}},       {"bind9.service", {53}},
        {"named.service", {53}},         {"unbound.service", {53}},
    };
    return holders;
}

}  // namespace vesk::SystemChecks
