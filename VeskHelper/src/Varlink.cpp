#include "Varlink.hpp"

#include <variant>
#include <vector>

#include "vesk/foundation/Data.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/Version.hpp"

namespace vesk::helper::varlink {

namespace {

constexpr std::string_view kService = "org.varlink.service";

// Cheap scan before parsing: bounded nesting, and a bounded number of values
// (a call names a method and a handful of parameters), so the parser's own
// memory stays small whatever the message's size.
bool shapeWithinLimits(std::string_view text) {
    int depth = 0;
    std::size_t values = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) return false;
            if (++values > kMaxValues) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        } else if (c == ',' || c == ':') {
            if (++values > kMaxValues) return false;
        }
    }
    return true;
}

std::string errorReply(std::string_view error, std::string_view key, std::string_view value) {
    JsonWriter w;
    JsonOut out(w);
    out.beginObject();
    out.key("error").string(error);
    out.key("parameters").beginObject();
    if (!key.empty()) out.key(key).string(value);
    out.endObject();
    out.endObject();
    return w.take();
}

// Replies keep their keys in byte order, as every reply always has.
// {"parameters":{...}} around what `fill` writes into the parameters object.
template <class F>
std::string parametersReply(F&& fill) {
    JsonWriter w;
    JsonOut out(w);
    out.beginObject();
    out.key("parameters").beginObject();
    fill(out);
    out.endObject();
    out.endObject();
    return w.take();
}

std::string statusReply(bool success, const std::optional<std::string>& message) {
    return parametersReply([&](JsonOut& out) {
        if (message) out.key("message").string(*message);
        out.key("success").boolean(success);
    });
}

std::string versionReply(const std::optional<std::string>& version) {
    return parametersReply([&](JsonOut& out) {
        if (version) out.key("version").string(*version);
    });
}

std::string getInfo() {
    return parametersReply([](JsonOut& out) {
        out.key("interfaces").beginArray();
        out.string(kService);
        out.string(HelperInterface::name);
        out.endArray();
        out.key("product").string("VeskHelper");
        out.key("url").string("https://vesk.test/");
        out.key("vendor").string("Vesk");
        out.key("version").string(VeskVersion::current);
    });
}

const std::string& serviceDescription() {
    static const std::string idl =
        "# The varlink service interface\n"
        "interface org.varlink.service\n\n"
        "method GetInfo() -> (vendor: string, product: string, version: string, url: string,"
        " interfaces: []string)\n\n"
        "method GetInterfaceDescription(interface: string) -> (description: string)\n\n"
        "error InterfaceNotFound (interface: string)\n\n"
        "error MethodNotFound (method: string)\n\n"
        "error MethodNotImplemented (method: string)\n\n"
        "error InvalidParameter (parameter: string)\n\n"
        "error PermissionDenied ()\n\n"
        "error ExpectedMore ()\n";
    return idl;
}

std::string describeInterface(const std::optional<JsonIn>& params) {
    std::optional<JsonIn> name;
    if (params) name = params->find("interface");
    if (!name || !name->isString()) {
        return errorReply("org.varlink.service.InvalidParameter", "parameter", "interface");
    }
    const std::string which = name->string();
    const std::string* description = nullptr;
    if (which == HelperInterface::name) {
        description = &HelperInterface::description();
    } else if (which == kService) {
        description = &serviceDescription();
    } else {
        return errorReply("org.varlink.service.InterfaceNotFound", "interface", which);
    }
    return parametersReply([&](JsonOut& out) { out.key("description").string(*description); });
}

using HelperInterface::Argument;

// Reads the operation's arguments; on a fault, names the parameter.
std::optional<std::vector<Argument>> readArguments(const HelperInterface::Operation& op,
                                                   const std::optional<JsonIn>& params,
                                                   std::string& badParameter) {
    std::vector<Argument> args;
    for (const auto& p : op.parameters) {
        std::optional<JsonIn> v;
        if (params) v = params->find(p.name);
        badParameter = std::string(p.name);
        if (!v) return std::nullopt;
        switch (p.kind) {
            case HelperInterface::ParameterKind::text:
                // Names are bounded before anything splits or copies them.
                if (!v->isString() || v->stringView().size() > HelperInterface::kMaxNameLength) {
                    return std::nullopt;
                }
                args.emplace_back(v->string());
                break;
            case HelperInterface::ParameterKind::document:
                if (!v->isString()) return std::nullopt;
                args.emplace_back(v->string());
                break;
            case HelperInterface::ParameterKind::bytes: {
                if (!v->isString()) return std::nullopt;
                auto bytes = Data::fromBase64(v->stringView());
                if (!bytes) return std::nullopt;
                args.emplace_back(std::move(bytes->bytes));
                break;
            }
            case HelperInterface::ParameterKind::permissions:
                try {
                    args.emplace_back(decodeValue<std::uint16_t>(*v));
                } catch (const DecodingError&) {
                    return std::nullopt;
                }
                break;
        }
    }
    badParameter.clear();
    return args;
}

std::string invoke(const HelperInterface::Operation& op, const std::vector<Argument>& a,
                   HelperProtocol& s) {
    std::optional<std::string> reply;
    const HelperInterface::Replies replies{[&](bool ok, const std::optional<std::string>& message) {
                                               if (!reply) reply = statusReply(ok, message);
                                           },
                                           [&](const std::optional<std::string>& v) {
                                               if (!reply) reply = versionReply(v);
                                           }};
    try {
        op.serve(s, a, replies);
    } catch (const std::exception& e) {
        if (!reply) reply = statusReply(false, std::string(e.what()));
    } catch (...) {
        if (!reply) reply = statusReply(false, std::string("internal error"));
    }
    if (!reply) {
        reply = op.versionReply ? versionReply(std::nullopt)
                                : statusReply(false, std::string("no reply"));
    }
    return *reply;
}

}  // namespace

std::optional<std::string> handle(std::string_view message, HelperProtocol& service) {
    if (message.size() > kMaxMessageSize || !shapeWithinLimits(message)) return std::nullopt;
    try {
        const JsonDocument doc = JsonDocument::parse(message);
        const JsonIn root = doc.root();
        if (!root.isObject()) return std::nullopt;
        const auto method = root.find("method");
        if (!method || !method->isString()) return std::nullopt;
        const auto flag = [&root](std::string_view key) {
            const auto v = root.find(key);
            return v && !v->isNull() && v->boolean();
        };
        // A oneway call is answered with nothing at all, errors included.
        const bool oneway = flag("oneway");
        const auto answer = [oneway](std::string reply) -> std::optional<std::string> {
            if (oneway) return std::string();
            return reply;
        };
        std::optional<JsonIn> params = root.find("parameters");
        if (params && params->isNull()) params.reset();
        const std::string name = method->string();
        if (params && !params->isObject()) {
            return answer(
                errorReply("org.varlink.service.InvalidParameter", "parameter", "parameters"));
        }
        // The connection stays varlink: no method of this service upgrades.
        if (flag("upgrade")) {
            return answer(
                errorReply("org.varlink.service.InvalidParameter", "parameter", "upgrade"));
        }

        const auto dot = name.rfind('.');
        const std::string interface =
            dot == std::string::npos ? std::string() : name.substr(0, dot);
        const std::string member = dot == std::string::npos ? name : name.substr(dot + 1);
        if (interface == kService) {
            if (member == "GetInfo") return answer(getInfo());
            if (member == "GetInterfaceDescription") return answer(describeInterface(params));
            return answer(errorReply("org.varlink.service.MethodNotFound", "method", name));
        }
        if (interface != HelperInterface::name) {
            if (interface.empty()) {
                return answer(errorReply("org.varlink.service.MethodNotFound", "method", name));
            }
            return answer(
                errorReply("org.varlink.service.InterfaceNotFound", "interface", interface));
        }
        const HelperInterface::Operation* op = HelperInterface::find(member);
        if (op == nullptr)
            return answer(errorReply("org.varlink.service.MethodNotFound", "method", name));

        std::string bad;
        const auto args = readArguments(*op, params, bad);
        if (!args) {
            return answer(errorReply("org.varlink.service.InvalidParameter", "parameter", bad));
        }
        return answer(invoke(*op, *args, service));
    } catch (const DecodingError&) {
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace vesk::helper::varlink
