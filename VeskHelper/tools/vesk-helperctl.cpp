// vesk-helperctl: calls any operation of the helper and prints the reply.
//
//   vesk-helperctl [--socket PATH] METHOD [NAME=VALUE ...]
//
// METHOD is an operation name (GetInstalledVersion, WriteResolver, ...) or a
// full varlink method name (org.varlink.service.GetInfo). "content" values
// are sent as Base64; "content" and "plistContent" take NAME=@FILE for the
// bytes of FILE; "permissions" is a
// number (octal with a leading 0). Exit status: 0 on success, 1 when the
// helper answered with a failure or an error, 2 when it could not be asked.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "HelperClient.hpp"
#include "vesk/foundation/Data.hpp"
#include "vesk/foundation/Json.hpp"

namespace {

int usage() {
    std::cerr << "usage: vesk-helperctl [--socket PATH] METHOD [NAME=VALUE ...]\n";
    return 2;
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socket(vesk::HelperClient::defaultSocketPath);
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--socket") {
        socket = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return usage();
    std::string method = argv[i++];
    if (method.find('.') == std::string::npos) method = "com.vesk.helper." + method;

    vesk::JsonWriter params;
    vesk::JsonOut root(params);
    root.beginObject();
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        if (eq == std::string::npos || eq == 0) return usage();
        const std::string name = arg.substr(0, eq);
        std::string value = arg.substr(eq + 1);
        if (name == "permissions") {
            char* end = nullptr;
            const unsigned long mode = std::strtoul(value.c_str(), &end, 0);
            if (value.empty() || *end != '\0') return usage();
            root.key(name).unsignedInteger(mode);
        } else if (name == "content") {
            if (!value.empty() && value.front() == '@' && !readFile(value.substr(1), value)) {
                std::cerr << "vesk-helperctl: cannot read " << value.substr(1) << "\n";
                return 2;
            }
            root.key(name).string(vesk::Data::fromString(value).base64());
        } else if (name == "plistContent" && !value.empty() && value.front() == '@') {
            std::string text;
            if (!readFile(value.substr(1), text)) {
                std::cerr << "vesk-helperctl: cannot read " << value.substr(1) << "\n";
                return 2;
            }
            root.key(name).string(text);
        } else {
            root.key(name).string(value);
        }
    }

    root.endObject();
    try {
        vesk::HelperClient client(socket);
        const std::string reply = client.call(method, params.take());
        std::cout << reply << "\n";
        const vesk::JsonDocument doc = vesk::JsonDocument::parse(reply);
        if (doc.root().find("error")) return 1;
        if (auto p = doc.root().find("parameters")) {
            if (auto s = p->find("success"); s && !s->boolean()) return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "vesk-helperctl: " << e.what() << "\n";
        return 2;
    }
}
