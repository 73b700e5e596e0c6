#include "vesk/services/DotEnvFile.hpp"

#include <algorithm>

namespace vesk::dotenv {

namespace {

bool keyChar(char c, bool first) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    return letter || (!first && ((c >= '0' && c <= '9') || c == '.'));
}

// Where the value of an assignment line starts and ends (the end before an
// unquoted " #" comment), and its key; false for any other line.
struct Assignment {
    std::string_view key;
    std::size_t valueFrom = 0;
    std::size_t valueTo = 0;
};

bool assignment(std::string_view line, Assignment& out) {
    std::size_t i = line.find_first_not_of(" \t");
    if (i == std::string_view::npos) return false;
    if (line.substr(i, 7) == "export " || line.substr(i, 7) == "export\t") {
        i = line.find_first_not_of(" \t", i + 7);
        if (i == std::string_view::npos) return false;
    }
    const std::size_t keyFrom = i;
    while (i < line.size() && keyChar(line[i], i == keyFrom)) ++i;
    if (i == keyFrom) return false;
    out.key = line.substr(keyFrom, i - keyFrom);
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] != '=') return false;
    ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    out.valueFrom = i;
    // The value runs to a comment: " #" outside quotes.
    char quote = 0;
    std::size_t end = line.size();
    for (std::size_t j = i; j < line.size(); ++j) {
        const char c = line[j];
        if (quote != 0) {
            if (c == '\\' && quote == '"') {
                ++j;
            } else if (c == quote) {
                quote = 0;
            }
        } else if ((c == '"' || c == '\'') && j == i) {
            quote = c;
        } else if (c == '#' && j > i && (line[j - 1] == ' ' || line[j - 1] == '\t')) {
            end = j;
            while (end > i && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
            break;
        }
    }
    out.valueTo = end;
    return true;
}

}  // namespace

Entries parseBlock(std::string_view block) {
    Entries entries;
    while (!block.empty()) {
        const auto end = block.find('\n');
        const std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view{} : block.substr(end + 1);
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0) continue;
        entries.emplace_back(std::string(line.substr(0, equals)),
                             std::string(line.substr(equals + 1)));
    }
    return entries;
}

std::string quoted(std::string_view value) {
    const bool bare = std::all_of(value.begin(), value.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               std::string_view("_-.:/@+").find(c) != std::string_view::npos;
    });
    if (bare) return std::string(value);
    std::string out = "\"";
    for (const char c : value) {
        if (c == '\\' || c == '"' || c == '$') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

std::string withKeys(std::string_view text, const Entries& entries) {
    const bool crlf = text.find("\r\n") != std::string_view::npos;
    const std::string_view newline = crlf ? "\r\n" : "\n";
    std::vector<bool> seen(entries.size(), false);
    std::string out;
    out.reserve(text.size() + 256);
    std::string_view rest = text;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        const bool hadNewline = end != std::string_view::npos;
        rest = hadNewline ? rest.substr(end + 1) : std::string_view{};
        const bool cr = !line.empty() && line.back() == '\r';
        if (cr) line.remove_suffix(1);
        Assignment a;
        std::string replaced(line);
        if (assignment(line, a)) {
            for (std::size_t k = 0; k < entries.size(); ++k) {
                if (entries[k].first != a.key) continue;
                seen[k] = true;
                replaced = std::string(line.substr(0, a.valueFrom)) + quoted(entries[k].second) +
                           std::string(line.substr(a.valueTo));
            }
        }
        out += replaced;
        if (cr) out += '\r';
        if (hadNewline) out += '\n';
    }
    const bool anyNew = std::find(seen.begin(), seen.end(), false) != seen.end();
    if (!anyNew) return out;
    if (!out.empty() && out.back() != '\n') out += newline;
    // The new keys as a block of their own.
    if (!out.empty() && out.size() >= newline.size() * 2 &&
        out.compare(out.size() - newline.size() * 2, newline.size() * 2,
                    std::string(newline) + std::string(newline)) != 0) {
        out += newline;
    }
    for (std::size_t k = 0; k < entries.size(); ++k) {
        if (seen[k]) continue;
        out.append(entries[k].first).append("=").append(quoted(entries[k].second)).append(newline);
    }
    return out;
}

}  // namespace vesk::dotenv
