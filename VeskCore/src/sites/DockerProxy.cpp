#include "vesk/sites/DockerProxy.hpp"

#include <algorithm>
#include <charconv>

#include "vesk/foundation/json/Document.hpp"

namespace vesk {

namespace {

// Optional sign, digits only, within the signed 64-bit range.
std::optional<long long> wholeNumber(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i >= text.size()) return std::nullopt;
    for (std::size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return std::nullopt;
    }
    // Parse with the sign attached so that the minimum value fits.
    const std::string digits = (negative ? "-" : "") + text.substr(i);
    long long v = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return v;
}

}  // namespace

std::string DockerContainer::resolvedDomain() const {
    const auto it = labels.find("vesk.domain");
    if (it == labels.end()) return name;
    std::string domain = it->second;
    static constexpr std::string_view suffix = ".test";
    if (domain.size() >= suffix.size() &&
        domain.compare(domain.size() - suffix.size(), suffix.size(), suffix) == 0) {
        domain.erase(domain.size() - suffix.size());
    }
    return domain;
}

std::optional<long long> DockerContainer::resolvedPort() const {
    if (const auto it = labels.find("vesk.port"); it != labels.end()) {
        if (auto port = wholeNumber(it->second)) return port;
    }
    if (!ports.empty()) return ports.front();
    return std::nullopt;
}

}  // namespace vesk

namespace vesk::docker {

namespace {

std::optional<std::string> text(const JsonIn& object, std::string_view key) {
    const auto value = object.find(key);
    if (!value || !value->isString()) return std::nullopt;
    return value->string();
}

std::optional<long long> port(std::string_view digits) {
    long long n = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (error != std::errc() || end != digits.data() + digits.size() || n < 1 || n > 65535) {
        return std::nullopt;
    }
    return n;
}

Inspected inspected(const JsonIn& c) {
    Inspected out;
    out.container.containerId = text(c, "Id").value_or("");
    std::string name = text(c, "Name").value_or("");
    if (!name.empty() && name.front() == '/') name.erase(0, 1);
    out.container.name = name;
    if (const auto config = c.find("Config"); config && config->isObject()) {
        out.container.image = text(*config, "Image").value_or("");
        if (const auto labels = config->find("Labels"); labels && labels->isObject()) {
            for (const auto& [key, value] : labels->members()) {
                if (value.isString()) out.container.labels[key] = value.string();
            }
        }
    }
    const auto network = c.find("NetworkSettings");
    const auto ports = network && network->isObject() ? network->find("Ports") : std::nullopt;
    if (ports && ports->isObject()) {
        // "80/tcp": [{"HostIp": "0.0.0.0", "HostPort": "8080"}, ...] or null.
        for (const auto& [key, bindings] : ports->members()) {
            const auto inside = port(std::string_view(key).substr(0, key.find('/')));
            if (!inside || !bindings.isArray()) continue;
            bindings.forEachElement([&](const JsonIn& b) {
                if (!b.isObject()) return;
                const auto host = text(b, "HostPort");
                if (const auto outside = host ? port(*host) : std::nullopt) {
                    out.published.try_emplace(*inside, *outside);
                }
            });
        }
    }
    for (const auto& [inside, outside] : out.published) out.container.ports.push_back(outside);
    std::sort(out.container.ports.begin(), out.container.ports.end());
    out.container.ports.erase(std::unique(out.container.ports.begin(), out.container.ports.end()),
                              out.container.ports.end());
    return out;
}

}  // namespace

std::vector<Inspected> fromInspect(std::string_view json) {
    std::vector<Inspected> containers;
    try {
        const JsonDocument doc = JsonDocument::parse(json);
        const JsonIn root = doc.root();
        if (!root.isArray()) return containers;
        root.forEachElement([&](const JsonIn& c) {
            try {
                if (!c.isObject()) return;
                const auto state = c.find("State");
                const auto running =
                    state && state->isObject() ? state->find("Running") : std::nullopt;
                if (!running || !running->boolean()) return;
                containers.push_back(inspected(c));
            } catch (const DecodingError&) {
                // One that is not as Docker writes it is left out.
            }
        });
    } catch (const std::exception&) {
        return {};
    }
    return containers;
}

std::optional<long long> hostPort(const Inspected& i) {
    const auto wanted = i.container.resolvedPort();
    if (!wanted) return std::nullopt;
    const auto published = i.published.find(*wanted);
    if (published != i.published.end()) return published->second;
    if (*wanted < 1 || *wanted > 65535) return std::nullopt;
    return wanted;
}

}  // namespace vesk::docker
