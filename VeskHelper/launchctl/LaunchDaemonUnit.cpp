#include "LaunchDaemonUnit.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "vesk/foundation/Unicode.hpp"

namespace vesk::launchctl {

namespace {

// Property lists larger than this are not launch daemons.
constexpr std::size_t kMaxPlist = std::size_t{1} << 20;
constexpr std::size_t kMaxArguments = 4096;
constexpr std::uint32_t kMaxSeconds = 1'000'000;

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using Plist = std::unique_ptr<void, PlistFree>;

/// Why a key cannot be translated: the one line launchctl prints.
struct Refusal {
    std::string line;
};

[[noreturn]] void refuse(std::string line) {
    throw Refusal{std::move(line)};
}
[[noreturn]] void cannotTranslate(std::string_view key) {
    refuse("cannot translate key " + printable(key));
}

bool hasControl(std::string_view s, std::string_view allowed = {}) {
    return std::any_of(s.begin(), s.end(), [&](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 || u == 0x7f) && allowed.find(c) == std::string_view::npos;
    });
}

std::string stringValue(plist_t node, std::string_view key) {
    if (plist_get_node_type(node) != PLIST_STRING) cannotTranslate(key);
    std::uint64_t length = 0;
    const char* p = plist_get_string_ptr(node, &length);
    if (p == nullptr) cannotTranslate(key);
    std::string s(p, static_cast<std::size_t>(length));
    if (s.find('\0') != std::string::npos || !Unicode::isValidUTF8(s)) cannotTranslate(key);
    return s;
}

bool boolValue(plist_t node, std::string_view key) {
    if (plist_get_node_type(node) != PLIST_BOOLEAN) cannotTranslate(key);
    std::uint8_t b = 0;
    plist_get_bool_val(node, &b);
    return b != 0;
}

std::uint32_t secondsValue(plist_t node, std::string_view key) {
    if (plist_get_node_type(node) != PLIST_UINT) cannotTranslate(key);
    std::uint64_t v = 0;
    plist_get_uint_val(node, &v);
    if (v > kMaxSeconds) cannotTranslate(key);  // negative numbers arrive as huge ones
    return static_cast<std::uint32_t>(v);
}

/// An absolute path a unit can hold as the rest of a line: systemd strips
/// white space at its end and reads a final backslash as joining the next
/// line to this one.
bool isLinePath(std::string_view s) {
    return !s.empty() && s.front() == '/' && !hasControl(s) && s.back() != ' ' && s.back() != '\\';
}

std::string pathValue(plist_t node, std::string_view key) {
    std::string s = stringValue(node, key);
    if (!isLinePath(s)) cannotTranslate(key);
    return s;
}

/// User and group names as systemd accepts them, with nothing to expand.
bool isAccountName(std::string_view s) {
    const auto ok = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.';
    };
    return !s.empty() && s.size() <= 31 && s.front() != '-' && std::all_of(s.begin(), s.end(), ok);
}

/// An executable systemd would read no prefix ("-", "@", ...) from.
bool isPlainExecutable(std::string_view s) {
    constexpr std::string_view kPrefixes = "-@:+!|";
    return !s.empty() && kPrefixes.find(s.front()) == std::string_view::npos && !hasControl(s);
}

/// A big-endian unsigned integer of `size` bytes (1 to 8) at `p`.
std::uint64_t bigEndian(const std::uint8_t* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

/// Whether a binary property list expands to no more than its size: every
/// array, set and dictionary is referenced at most once, the top object never.
/// libplist reads a shared object again at each reference, so a list of a
/// few hundred bytes whose levels each refer twice to the next would expand
/// to millions of objects. Texts, numbers and Booleans may be shared (writers
/// share equal ones); each reference to them costs one copy.
bool expandsLinearly(std::string_view bytes) {
    constexpr std::size_t kHeader = 8;
    constexpr std::size_t kTrailer = 32;
    if (bytes.size() < kHeader + kTrailer) return false;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());  // NOLINT
    const std::size_t size = bytes.size();
    const std::uint8_t* trailer = data + size - kTrailer;
    const std::size_t offsetSize = trailer[6];
    const std::size_t refSize = trailer[7];
    const std::uint64_t count = bigEndian(trailer + 8, 8);
    const std::uint64_t top = bigEndian(trailer + 16, 8);
    const std::uint64_t table = bigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 ||
        count > size || top >= count || table < kHeader || table > size - kTrailer ||
        count > (size - kTrailer - table) / offsetSize) {
        return false;
    }
    const auto objects = static_cast<std::size_t>(count);
    const auto objectsEnd = static_cast<std::size_t>(table);
    const auto isContainer = [](std::uint8_t marker) {
        const unsigned type = marker >> 4U;
        return type == 0xA || type == 0xC || type == 0xD;
    };
    std::vector<std::size_t> offsets(objects);
    for (std::size_t i = 0; i < objects; ++i) {
        const std::uint64_t offset = bigEndian(data + objectsEnd + i * offsetSize, offsetSize);
        if (offset < kHeader || offset >= objectsEnd) return false;
        offsets[i] = static_cast<std::size_t>(offset);
    }
    std::vector<std::uint8_t> referenced(objects, 0);
    referenced[static_cast<std::size_t>(top)] = 1;  // the top is reached once, from outside
    for (std::size_t i = 0; i < objects; ++i) {
        std::size_t at = offsets[i];
        const std::uint8_t marker = data[at++];
        if (!isContainer(marker)) continue;
        std::uint64_t n = marker & 0x0FU;
        if (n == 0x0F) {  // the count follows as an integer object
            if (at >= objectsEnd || (data[at] >> 4U) != 0x1) return false;
            const std::size_t width = std::size_t{1} << (data[at] & 0x0FU);
            ++at;
            if (width > 8 || width > objectsEnd - at) return false;
            n = bigEndian(data + at, width);
            at += width;
        }
        if ((marker >> 4U) == 0xD) {
            if (n > count) return false;
            n *= 2;
        }
        if (n > count || n > (objectsEnd - at) / refSize) return false;
        for (std::uint64_t r = 0; r < n; ++r) {
            const std::uint64_t ref =
                bigEndian(data + at + static_cast<std::size_t>(r) * refSize, refSize);
            if (ref >= count) return false;
            const auto target = static_cast<std::size_t>(ref);
            if (isContainer(data[offsets[target]]) && referenced[target]++ != 0) return false;
        }
    }
    return true;
}

std::string accountValue(plist_t node, std::string_view key) {
    std::string s = stringValue(node, key);
    if (!isAccountName(s)) cannotTranslate(key);
    return s;
}

bool isEnvironmentName(std::string_view s) {
    if (s.empty() || (s.front() >= '0' && s.front() <= '9')) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    });
}

/// Calls `each(key, value)` for every entry of a dictionary.
template <typename F>
void forEachEntry(plist_t dict, F&& each) {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    if (it == nullptr) return;
    const std::unique_ptr<void, decltype(&std::free)> iter(it, &std::free);
    for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, it, &rawKey, &value);
        if (rawKey == nullptr) break;
        const std::unique_ptr<char, decltype(&std::free)> key(rawKey, &std::free);
        if (value == nullptr) break;
        each(std::string_view(key.get()), value);
    }
}

KeepAlive keepAliveValue(plist_t node) {
    if (plist_get_node_type(node) == PLIST_BOOLEAN) {
        return boolValue(node, "KeepAlive") ? KeepAlive::always : KeepAlive::never;
    }
    if (plist_get_node_type(node) != PLIST_DICT) cannotTranslate("KeepAlive");
    KeepAlive k = KeepAlive::never;
    forEachEntry(node, [&](std::string_view key, plist_t value) {
        if (key != "SuccessfulExit") cannotTranslate("KeepAlive." + std::string(key));
        k = boolValue(value, "KeepAlive.SuccessfulExit") ? KeepAlive::onSuccess
                                                         : KeepAlive::onFailure;
    });
    return k;
}

LaunchDaemon translate(plist_t root, std::string_view expectedLabel) {
    if (plist_get_node_type(root) != PLIST_DICT) refuse("not a launch daemon's property list");
    LaunchDaemon d;
    std::optional<std::string> program;
    std::optional<std::vector<std::string>> arguments;
    bool hasLabel = false;
    forEachEntry(root, [&](std::string_view key, plist_t value) {
        if (key == "Label") {
            d.label = stringValue(value, key);
            hasLabel = true;
        } else if (key == "Program") {
            program = stringValue(value, key);
        } else if (key == "ProgramArguments") {
            if (plist_get_node_type(value) != PLIST_ARRAY) cannotTranslate(key);
            const std::uint32_t n = plist_array_get_size(value);
            if (n > kMaxArguments) cannotTranslate(key);
            arguments.emplace();
            for (std::uint32_t i = 0; i < n; ++i) {
                arguments->push_back(stringValue(plist_array_get_item(value, i), key));
            }
        } else if (key == "RunAtLoad") {
            d.runAtLoad = boolValue(value, key);
        } else if (key == "KeepAlive") {
            d.keepAlive = keepAliveValue(value);
        } else if (key == "WorkingDirectory") {
            d.workingDirectory = pathValue(value, key);
        } else if (key == "EnvironmentVariables") {
            if (plist_get_node_type(value) != PLIST_DICT) cannotTranslate(key);
            forEachEntry(value, [&](std::string_view name, plist_t v) {
                const std::string field = "EnvironmentVariables." + std::string(name);
                if (!isEnvironmentName(name)) cannotTranslate(field);
                std::string text = stringValue(v, field);
                // systemd drops values with other control characters.
                if (hasControl(text, "\t\n")) cannotTranslate(field);
                d.environment.push_back({std::string(name), std::move(text)});
            });
        } else if (key == "UserName") {
            d.userName = accountValue(value, key);
        } else if (key == "GroupName") {
            d.groupName = accountValue(value, key);
        } else if (key == "StandardOutPath") {
            d.standardOutPath = pathValue(value, key);
        } else if (key == "StandardErrorPath") {
            d.standardErrorPath = pathValue(value, key);
        } else if (key == "ThrottleInterval") {
            d.throttleInterval = secondsValue(value, key);
        } else if (key == "Disabled") {
            d.disabled = boolValue(value, key);
        } else if (key == "AbandonProcessGroup") {
            d.abandonProcessGroup = boolValue(value, key);
        } else if (key == "ExitTimeOut") {
            d.exitTimeOut = secondsValue(value, key);
        } else {
            cannotTranslate(key);
        }
    });
    if (!hasLabel) refuse("the property list has no Label");
    if (!isSafeLabel(d.label)) refuse("label " + printable(d.label) + " is not a safe unit name");
    if (d.label != expectedLabel) {
        refuse("label " + d.label + " differs from the file's name " + printable(expectedLabel));
    }
    if (arguments && arguments->empty() && !program) cannotTranslate("ProgramArguments");
    if (!program && !arguments)
        refuse("the property list has neither Program nor ProgramArguments");
    d.executable = program ? *program : arguments->front();
    d.argv = arguments && !arguments->empty() ? std::move(*arguments)
                                              : std::vector<std::string>{d.executable};
    if (!isPlainExecutable(d.executable)) cannotTranslate(program ? "Program" : "ProgramArguments");
    std::sort(d.environment.begin(), d.environment.end());
    return d;
}

void appendEscaped(std::string& out, std::string_view word, bool expandsVariables) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : word) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '%':
                out += "%%";
                break;
            case '$':
                out += expandsVariables ? "$$" : "$";
                break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    out += "\\x";
                    out += kHex[u >> 4];
                    out += kHex[u & 0xf];
                } else {
                    out += c;
                }
        }
    }
}

/// A path on the rest of a line: specifiers are expanded there, nothing else.
std::string linePath(std::string_view path) {
    std::string out;
    for (const char c : path) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

}  // namespace

std::string printable(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text.substr(0, 200)) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xf];
        } else {
            out += c;
        }
    }
    if (text.size() > 200) out += "...";
    return out;
}

bool isSafeLabel(std::string_view label) {
    if (label.empty() || label.size() > 200 || label.find("..") != std::string_view::npos) {
        return false;
    }
    const auto alnum = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (!alnum(label.front())) return false;
    return std::all_of(label.begin(), label.end(),
                       [&](char c) { return alnum(c) || c == '.' || c == '_' || c == '-'; });
}

ReadResult readLaunchDaemon(std::string_view bytes, std::string_view expectedLabel) {
    ReadResult result;
    if (bytes.size() > kMaxPlist) {
        result.error = "the property list is larger than 1 MiB";
        return result;
    }
    if (bytes.rfind("bplist", 0) == 0 && !expandsLinearly(bytes)) {
        result.error = "the binary property list refers to a container more than once";
        return result;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
    Plist parsed(raw);
    if (!parsed) {
        result.error = "not a property list";
        return result;
    }
    // A binary list can make a dictionary whose keys are not keys, on which
    // libplist's own dictionary walk aborts. Its XML reader never does: a
    // binary list is read again in XML form, and refused if that fails.
    if (bytes.rfind("bplist", 0) == 0) {
        char* xml = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(parsed.get(), &xml, &length);
        raw = nullptr;
        if (xml != nullptr) plist_from_xml(xml, length, &raw);
        plist_to_xml_free(xml);
        parsed.reset(raw);
        if (!parsed) {
            result.error = "not a property list";
            return result;
        }
    }
    const Plist& root = parsed;
    try {
        result.daemon = translate(root.get(), expectedLabel);
    } catch (const Refusal& r) {
        result.error = r.line;
    }
    return result;
}

std::string checkLaunchDaemon(const LaunchDaemon& d, std::string_view expectedLabel) {
    const auto valid = [](std::string_view s) {
        return s.find('\0') == std::string_view::npos && Unicode::isValidUTF8(s);
    };
    if (!isSafeLabel(d.label) || d.label != expectedLabel) {
        return "label " + printable(d.label) + " is not " + printable(expectedLabel);
    }
    if (!isPlainExecutable(d.executable) || !valid(d.executable))
        return "cannot translate key Program";
    if (d.argv.empty() || d.argv.size() > kMaxArguments ||
        !std::all_of(d.argv.begin(), d.argv.end(), valid)) {
        return "cannot translate key ProgramArguments";
    }
    const auto path = [&](const std::optional<std::string>& p) {
        return !p || (isLinePath(*p) && valid(*p));
    };
    if (!path(d.workingDirectory)) return "cannot translate key WorkingDirectory";
    if (!path(d.standardOutPath)) return "cannot translate key StandardOutPath";
    if (!path(d.standardErrorPath)) return "cannot translate key StandardErrorPath";
    if (d.userName && !isAccountName(*d.userName)) return "cannot translate key UserName";
    if (d.groupName && !isAccountName(*d.groupName)) return "cannot translate key GroupName";
    for (const auto& [name, value] : d.environment) {
        if (!isEnvironmentName(name) || !valid(value) || hasControl(value, "\t\n")) {
            return "cannot translate key EnvironmentVariables." + printable(name);
        }
    }
    if (d.throttleInterval > kMaxSeconds) return "cannot translate key ThrottleInterval";
    if (d.exitTimeOut > kMaxSeconds) return "cannot translate key ExitTimeOut";
    return {};
}

std::string quoteExecWord(std::string_view word, bool expandsVariables) {
    std::string out = "\"";
    appendEscaped(out, word, expandsVariables);
    out += '"';
    return out;
}

std::string unitText(const LaunchDaemon& d) {
    std::string t;
    t += kUnitMarker;
    t += d.label;
    t += "\n[Unit]\nDescription=";
    t += d.label;
    // launchd never stops restarting a job; only the throttle slows it down.
    t += "\nStartLimitIntervalSec=0\n\n[Service]\nType=exec\nExecStart=";
    // The path is never variable-expanded, argv[0] is: when they differ, or the
    // path holds a '$', argv[0] is given on its own after an '@' path.
    if (d.argv.front() != d.executable || d.executable.find('$') != std::string::npos) {
        t += quoteExecWord("@" + d.executable, false);
        for (const auto& a : d.argv) {
            t += ' ';
            t += quoteExecWord(a);
        }
    } else {
        t += quoteExecWord(d.executable, false);
        for (std::size_t i = 1; i < d.argv.size(); ++i) {
            t += ' ';
            t += quoteExecWord(d.argv[i]);
        }
    }
    t += '\n';
    if (d.workingDirectory) t += "WorkingDirectory=" + linePath(*d.workingDirectory) + "\n";
    if (d.userName) t += "User=" + *d.userName + "\n";
    if (d.groupName) t += "Group=" + *d.groupName + "\n";
    for (const auto& [name, value] : d.environment) {
        t += "Environment=";
        std::string assignment = name;
        assignment += '=';
        assignment += value;
        t += quoteExecWord(assignment, false);
        t += '\n';
    }
    if (d.standardOutPath) t += "StandardOutput=append:" + linePath(*d.standardOutPath) + "\n";
    if (d.standardErrorPath) t += "StandardError=append:" + linePath(*d.standardErrorPath) + "\n";
    switch (d.keepAlive) {
        case KeepAlive::never:
            t += "Restart=no\n";
            break;
        case KeepAlive::always:
            t += "Restart=always\n";
            break;
        case KeepAlive::onSuccess:
            t += "Restart=on-success\n";
            break;
        case KeepAlive::onFailure:
            t += "Restart=on-failure\n";
            break;
    }
    t += "RestartSec=" + std::to_string(d.throttleInterval) + "\n";
    t += "TimeoutStopSec=" +
         (d.exitTimeOut == 0 ? std::string("infinity") : std::to_string(d.exitTimeOut)) + "\n";
    if (d.abandonProcessGroup) t += "KillMode=process\n";
    t += "\n[Install]\nWantedBy=multi-user.target\n";
    return t;
}

}  // namespace vesk::launchctl
