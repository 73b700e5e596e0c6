// vesk docker [list] | sync: the running Docker containers and the domain
// and port each would get; sync serves each container labelled vesk.domain
// at that domain (a DockerProxy, and a proxied site forwarding to the port
// it publishes on this machine) and stops serving those whose container is
// gone. Without Docker, or when its daemon does not answer this user, one
// line says so.
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "Command.hpp"
#include "vesk/foundation/UUID.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/sites/DockerProxy.hpp"
#include "vesk/sites/ServedSites.hpp"

namespace vesk::cli {

namespace {

RecordFile<std::vector<DockerProxy>> dockerRecords() {
    return RecordFile<std::vector<DockerProxy>>(VeskPaths::configDir() + "/docker.json");
}

std::string dockerProgram() {
    for (const char* path : {"/usr/bin/docker", "/usr/local/bin/docker"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    throw Failure{"Docker is not installed: vesk docker needs it (sudo apt install docker.io)"};
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::vector<docker::Inspected> running() {
    const std::string docker = dockerProgram();
    const Ran ids = run(docker, {"ps", "-q", "--no-trunc"}, std::chrono::seconds(10));
    if (ids.status != 0) {
        throw Failure{"Docker does not answer: " + firstLine(ids.output) +
                      " (is its daemon running, and are you in the docker group?)"};
    }
    std::vector<std::string> args{"inspect"};
    std::istringstream lines(ids.output);
    for (std::string id; std::getline(lines, id);) {
        if (!id.empty()) args.push_back(id);
    }
    if (args.size() == 1) return {};
    const Ran inspected = run(docker, args, std::chrono::seconds(20));
    if (inspected.status != 0)
        throw Failure{"docker inspect failed: " + firstLine(inspected.output)};
    return docker::fromInspect(inspected.output);
}

int list(const Arguments& args) {
    const auto containers = running();
    const std::string tld = currentSettings().defaultTLD;
    if (args.has("--json")) {
        std::vector<DockerProxy> would;
        would.reserve(containers.size());
        for (const auto& c : containers) {
            would.push_back(DockerProxy{UUID::random(), c.container.name,
                                        c.container.resolvedDomain(),
                                        docker::hostPort(c).value_or(0), c.container.containerId});
        }
        std::cout << scriptJSON(would, true) << "\n";
        return 0;
    }
    for (const auto& c : containers) {
        const auto port = docker::hostPort(c);
        std::cout << c.container.name << "  " << c.container.image << "  "
                  << c.container.resolvedDomain() << "." << tld << " -> "
                  << (port ? "127.0.0.1:" + std::to_string(*port) : std::string("no port"))
                  << (c.container.labels.count("vesk.domain") != 0
                          ? "  (vesk docker sync serves it)"
                          : "")
                  << "\n";
    }
    if (containers.empty()) std::cout << "No container runs\n";
    return 0;
}

int sync() {
    const auto containers = running();
    std::vector<DockerProxy> wanted;
    for (const auto& c : containers) {
        if (c.container.labels.count("vesk.domain") == 0) continue;
        const auto name = ServedSites::siteName(c.container.resolvedDomain());
        const auto port = docker::hostPort(c);
        if (!name || !port) {
            std::cerr << "vesk: " << c.container.name << " is not served: its vesk.domain "
                      << (name ? "has no port (publish one, or label vesk.port)"
                               : "is no site name")
                      << "\n";
            continue;
        }
        wanted.push_back(
            DockerProxy{UUID::random(), c.container.name, *name, *port, c.container.containerId});
    }
    const std::string tld = currentSettings().defaultTLD;
    const auto before = dockerRecords().read({});
    // Those whose container is gone stop being served.
    for (const auto& old : before) {
        const bool kept = std::any_of(wanted.begin(), wanted.end(), [&](const DockerProxy& p) {
            return p.domain == old.domain && p.targetPort == old.targetPort;
        });
        if (kept) continue;
        const std::string domain = old.domain + "." + tld;
        proxyRecords().update({}, [&](std::vector<SiteProxy>& all) {
            all.erase(std::remove_if(all.begin(), all.end(),
                                     [&](const SiteProxy& p) { return p.domain == domain; }),
                      all.end());
        });
        siteRecords().update({}, [&](std::vector<Site>& records) {
            records.erase(std::remove_if(records.begin(), records.end(),
                                         [&](const Site& s) {
                                             return s.isLinked && s.fullDomain() == domain &&
                                                    s.path == proxyDirectory(old.domain);
                                         }),
                          records.end());
        });
        std::cout << domain << " no longer served (" << old.containerName << " is gone)\n";
    }
    for (const auto& p : wanted) {
        addProxy(p.domain, ProxyTarget{"127.0.0.1", p.targetPort, ""}, false);
        std::cout << "http://" << p.domain << "." << tld << " -> " << p.containerName
                  << " (127.0.0.1:" << p.targetPort << ")\n";
    }
    dockerRecords().update({}, [&](std::vector<DockerProxy>& all) { all = wanted; });
    applyConfiguration();
    if (wanted.empty()) std::cout << "No running container has a vesk.domain label\n";
    return 0;
}

}  // namespace

int docker(const Arguments& args) {
    const std::string verb = args.word(0).value_or("list");
    if (args.words.size() > 1) throw UsageError{};
    if (verb == "list") return list(args);
    if (verb == "sync") return sync();
    throw UsageError{};
}

}  // namespace vesk::cli
