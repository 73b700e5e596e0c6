#include "SystemdUnits.hpp"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace vesk::launchctl {

namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnit = "org.freedesktop.systemd1.Unit";
constexpr const char* kService = "org.freedesktop.systemd1.Service";
constexpr std::uint64_t kCallTimeoutUsec = 10'000'000;

// The last failure of a query, for launchctl's one line.
thread_local std::string lastFailure;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

struct ErrorFree {
    sd_bus_error error{nullptr, nullptr, 0};  // SD_BUS_ERROR_NULL, spelled in C++
    ErrorFree() = default;
    ErrorFree(const ErrorFree&) = delete;
    ErrorFree& operator=(const ErrorFree&) = delete;
    ~ErrorFree() { sd_bus_error_free(&error); }
    /// Notes why `what` failed with `r`; false, for returning.
    bool failed(const char* what, int r) {
        lastFailure = std::string(what) + ": " +
                      (error.message != nullptr ? error.message : std::strerror(-r));
        return false;
    }
};

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

std::optional<std::string> stringProperty(sd_bus* bus, const std::string& path,
                                          const char* interface, const char* name) {
    ErrorFree e;
    char* value = nullptr;
    if (const int r = sd_bus_get_property_string(bus, kDestination, path.c_str(), interface, name,
                                                 &e.error, &value);
        r < 0) {
        e.failed(name, r);
        return std::nullopt;
    }
    std::string out = value != nullptr ? value : "";
    std::free(value);  // NOLINT(cppcoreguidelines-no-malloc)
    return out;
}

std::optional<std::vector<std::string>> listProperty(sd_bus* bus, const std::string& path,
                                                     const char* interface, const char* name) {
    ErrorFree e;
    char** values = nullptr;
    if (const int r = sd_bus_get_property_strv(bus, kDestination, path.c_str(), interface, name,
                                               &e.error, &values);
        r < 0) {
        e.failed(name, r);
        return std::nullopt;
    }
    std::vector<std::string> out;
    for (char** v = values; v != nullptr && *v != nullptr; ++v) {
        out.emplace_back(*v);
        std::free(*v);  // NOLINT(cppcoreguidelines-no-malloc)
    }
    std::free(static_cast<void*>(values));  // NOLINT(cppcoreguidelines-no-malloc)
    return out;
}

std::optional<std::string> unitPath(sd_bus* bus, const std::string& unit) {
    ErrorFree e;
    sd_bus_message* raw = nullptr;
    if (const int r = sd_bus_call_method(bus, kDestination, kManagerPath, kManager, "LoadUnit",
                                         &e.error, &raw, "s", unit.c_str());
        r < 0) {
        e.failed("LoadUnit", r);
        return std::nullopt;
    }
    const Message reply(raw);
    const char* path = nullptr;
    if (sd_bus_message_read(reply.get(), "o", &path) < 0 || path == nullptr) return std::nullopt;
    return std::string(path);
}

/// The first command of ExecStart: its path and argv.
bool readExecStart(sd_bus* bus, const std::string& path, LoadedService& out) {
    ErrorFree e;
    sd_bus_message* raw = nullptr;
    if (sd_bus_get_property(bus, kDestination, path.c_str(), kService, "ExecStart", &e.error, &raw,
                            "a(sasbttttuii)") < 0) {
        return false;
    }
    const Message reply(raw);
    sd_bus_message* m = reply.get();
    if (sd_bus_message_enter_container(m, 'a', "(sasbttttuii)") <= 0 ||
        sd_bus_message_enter_container(m, 'r', "sasbttttuii") <= 0) {
        lastFailure = "ExecStart holds no command";
        return false;
    }
    const char* exec = nullptr;
    char** argv = nullptr;
    if (sd_bus_message_read(m, "s", &exec) < 0 || sd_bus_message_read_strv(m, &argv) < 0) {
        return false;
    }
    out.execPath = exec != nullptr ? exec : "";
    for (char** a = argv; a != nullptr && *a != nullptr; ++a) {
        out.argv.emplace_back(*a);
        std::free(*a);  // NOLINT(cppcoreguidelines-no-malloc)
    }
    std::free(static_cast<void*>(argv));  // NOLINT(cppcoreguidelines-no-malloc)
    return true;
}

}  // namespace

SystemdBus::SystemdBus() {
    // As root, the manager's own socket: no bus daemon is needed.
    if (sd_bus_new(&bus_) >= 0) {
        int r = sd_bus_set_address(bus_, "unix:path=/run/systemd/private");
        if (r >= 0) r = sd_bus_start(bus_);
        if (r < 0) {
            lastFailure = std::string("/run/systemd/private: ") + std::strerror(-r);
            bus_ = sd_bus_flush_close_unref(bus_);
        }
    }
    if (bus_ != nullptr) sd_bus_set_method_call_timeout(bus_, kCallTimeoutUsec);
}

SystemdBus::~SystemdBus() {
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

std::optional<UnitOrigin> SystemdBus::origin(const std::string& unit) {
    if (bus_ == nullptr) return std::nullopt;
    const auto path = unitPath(bus_, unit);
    if (!path) return std::nullopt;
    UnitOrigin o;
    const auto load = stringProperty(bus_, *path, kUnit, "LoadState");
    const auto active = stringProperty(bus_, *path, kUnit, "ActiveState");
    const auto fragment = stringProperty(bus_, *path, kUnit, "FragmentPath");
    const auto source = stringProperty(bus_, *path, kUnit, "SourcePath");
    const auto dropIns = listProperty(bus_, *path, kUnit, "DropInPaths");
    ErrorFree e;
    int transient = 0;
    if (!load || !active || !fragment || !source || !dropIns ||
        sd_bus_get_property_trivial(bus_, kDestination, path->c_str(), kUnit, "Transient", &e.error,
                                    'b', &transient) < 0) {
        return std::nullopt;
    }
    o.loadState = *load;
    o.activeState = *active;
    o.fragmentPath = *fragment;
    o.sourcePath = *source;
    o.dropInPaths = *dropIns;
    o.transient = transient != 0;
    return o;
}

std::optional<LoadedService> SystemdBus::service(const std::string& unit) {
    if (bus_ == nullptr) return std::nullopt;
    const auto path = unitPath(bus_, unit);
    if (!path) return std::nullopt;
    LoadedService s;
    if (!readExecStart(bus_, *path, s)) return std::nullopt;
    const auto text = [&](const char* name, std::string& into) {
        const auto v = stringProperty(bus_, *path, kService, name);
        if (v) into = *v;
        return v.has_value();
    };
    const auto environment = listProperty(bus_, *path, kService, "Environment");
    if (!environment || !text("User", s.user) || !text("Group", s.group) ||
        !text("WorkingDirectory", s.workingDirectory) || !text("Restart", s.restart) ||
        !text("StandardOutput", s.standardOutput) || !text("StandardError", s.standardError)) {
        return std::nullopt;
    }
    s.environment = *environment;
    return s;
}

const std::string& SystemdBus::lastError() {
    return lastFailure;
}

std::string notOurs(const UnitOrigin& o, const std::string& path) {
    if (o.transient) return "a transient unit of that name exists";
    if (!o.dropInPaths.empty())
        return "the unit has drop-ins (" + printable(o.dropInPaths[0]) + ")";
    if (!o.sourcePath.empty()) return "the unit is generated from " + printable(o.sourcePath);
    if (o.loadState == "not-found") {
        if (o.activeState != "inactive" && o.activeState != "failed") {
            return "a job of that name is " + o.activeState;
        }
        return {};
    }
    if (o.fragmentPath != path) {
        return "the unit is " + (o.fragmentPath.empty() ? o.loadState : printable(o.fragmentPath));
    }
    return {};
}

namespace {

std::string expectedRestart(KeepAlive k) {
    switch (k) {
        case KeepAlive::always:
            return "always";
        case KeepAlive::onSuccess:
            return "on-success";
        case KeepAlive::onFailure:
            return "on-failure";
        case KeepAlive::never:
            break;
    }
    return "no";
}

}  // namespace

std::string readBackMismatch(const LaunchDaemon& d, const LoadedService& s) {
    // A name without a slash is found on the search path when systemd loads it.
    const bool pathOk = d.executable.front() == '/'
                            ? s.execPath == d.executable
                            : s.execPath.size() > d.executable.size() &&
                                  s.execPath.compare(s.execPath.size() - d.executable.size() - 1,
                                                     std::string::npos, "/" + d.executable) == 0;
    if (!pathOk) return "ExecStart's path reads back as " + printable(s.execPath);
    // systemd keeps "$$" as it is until it starts the job, which makes it "$".
    std::vector<std::string> argv;
    argv.reserve(d.argv.size());
    for (const std::string& word : d.argv) {
        std::string& loaded = argv.emplace_back();
        for (const char c : word) {
            loaded += c;
            if (c == '$') loaded += '$';
        }
    }
    if (s.argv != argv) return "ExecStart's arguments read back differently";
    if (s.user != d.userName.value_or("")) return "User reads back as " + printable(s.user);
    if (s.group != d.groupName.value_or("")) return "Group reads back as " + printable(s.group);
    if (s.workingDirectory != d.workingDirectory.value_or("")) {
        return "WorkingDirectory reads back as " + printable(s.workingDirectory);
    }
    std::vector<std::string> environment;
    environment.reserve(d.environment.size());
    for (const auto& [name, value] : d.environment) {
        std::string& entry = environment.emplace_back(name);
        entry += '=';
        entry += value;
    }
    if (s.environment != environment) return "Environment reads back differently";
    if (s.restart != expectedRestart(d.keepAlive)) {
        return "Restart reads back as " + printable(s.restart);
    }
    // The manager does not tell an appended file's path (systemd 252): the
    // kind must read back, and the lines around it do.
    if (d.standardOutPath && s.standardOutput != "append") {
        return "StandardOutput reads back as " + printable(s.standardOutput);
    }
    if (d.standardErrorPath && s.standardError != "append") {
        return "StandardError reads back as " + printable(s.standardError);
    }
    return {};
}

}  // namespace vesk::launchctl
