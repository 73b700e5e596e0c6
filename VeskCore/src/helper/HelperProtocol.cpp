#include "vesk/helper/HelperProtocol.hpp"

namespace vesk::HelperInterface {

namespace {

// operation() finds a row by the enumeration's value.
static_assert([] {
    for (std::size_t i = 0; i < kOperations.size(); ++i) {
        if (static_cast<std::size_t>(kOperations[i].operation) != i) return false;
    }
    return true;
}());

// Texts and Base64 bytes are strings; permissions are an int from 0 to 65535.
std::string_view idlType(ParameterKind kind) {
    return kind == ParameterKind::permissions ? "int" : "string";
}

}  // namespace

const Operation* find(std::string_view name) {
    for (const Operation& row : kOperations) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

const std::string& description() {
    static const std::string idl = [] {
        std::string s =
            "# The privileged helper of Vesk. Status replies carry success and, on\n"
            "# failure, a message; content is standard Base64; permissions are POSIX\n"
            "# mode bits from 0 to 65535.\n"
            "interface com.vesk.helper\n";
        for (const Operation& row : kOperations) {
            s += "\n# ";
            s += row.summary;
            s += "\nmethod ";
            s += row.name;
            s += "(";
            bool first = true;
            for (const Parameter& p : row.parameters) {
                if (!first) s += ", ";
                first = false;
                s += p.name;
                s += ": ";
                s += idlType(p.kind);
            }
            s += row.versionReply ? ") -> (version: ?string)\n"
                                  : ") -> (success: bool, message: ?string)\n";
        }
        return s;
    }();
    return idl;
}

}  // namespace vesk::HelperInterface
