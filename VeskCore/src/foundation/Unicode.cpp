#include "vesk/foundation/Unicode.hpp"

#include <unicode/utf8.h>

#include <memory>

namespace vesk::Unicode {

namespace {

// Decodes the code point at `i` (advancing it); negative for ill-formed input.
UChar32 next(std::string_view s, std::size_t& i) {
    UChar32 c = 0;
    auto pos = static_cast<int32_t>(i);
    U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), pos, static_cast<int32_t>(s.size()), c);
    i = static_cast<std::size_t>(pos);
    return c;
}

// Code point that ends just before `end`, with its start in `start`;
// negative when the bytes before `end` are no well-formed code point.
UChar32 previous(std::string_view s, std::size_t end, std::size_t& start) {
    std::size_t lead = end - 1;
    // A code point is at most four bytes: its lead and up to three
    // continuation bytes (10xxxxxx).
    while (lead > 0 && end - lead < 4 && (static_cast<unsigned char>(s[lead]) & 0xC0) == 0x80) {
        --lead;
    }
    std::size_t after = lead;
    const UChar32 c = next(s, after);
    if (c >= 0 && after == end) {
        start = lead;
        return c;
    }
    start = end - 1;
    return -1;
}

// White_Space, and the horizontal part of it (tab and the space
// separators): fixed sets of the Unicode Character Database, written out so
// that trimming needs none of ICU's data.
bool isSpaceSeparator(char32_t c) {
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (next(text, i) < 0) return false;
    }
    return true;
}

bool isNewline(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespaceOrNewline(char32_t c) {
    return isNewline(c) || c == 0x09 || isSpaceSeparator(c);
}

bool isBlank(char32_t c) {
    return c == 0x09 || isSpaceSeparator(c);
}

namespace {

template <class Pred>
std::string_view trimmedWhere(std::string_view s, Pred pred) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t i = begin;
        const UChar32 c = next(s, i);
        if (c < 0 || !pred(static_cast<char32_t>(c))) break;
        begin = i;
    }
    std::size_t end = s.size();
    while (end > begin) {
        std::size_t start = 0;
        const UChar32 c = previous(s, end, start);
        if (c < 0 || !pred(static_cast<char32_t>(c))) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

}  // namespace

std::string_view trimmedBlanks(std::string_view s) {
    return trimmedWhere(s, isBlank);
}

std::string_view trimmed(std::string_view s) {
    return trimmedWhere(s, isWhitespaceOrNewline);
}

std::vector<std::string_view> lines(std::string_view s, LineBreaks breaks) {
    std::vector<std::string_view> out;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t at = i;
        const UChar32 c = next(s, i);
        if (c >= 0 && isNewline(static_cast<char32_t>(c))) {
            out.push_back(s.substr(lineStart, at - lineStart));
            if (breaks == LineBreaks::crlfIsOne && c == '\r' && i < s.size() && s[i] == '\n') ++i;
            lineStart = i;
        }
    }
    out.push_back(s.substr(lineStart));
    return out;
}

void appendXMLEscaped(std::string& out, std::string_view text, std::size_t limit) {
    std::size_t written = 0;
    for (std::size_t i = 0; i < text.size() && written < limit;) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '"':
                    out += "&quot;";
                    break;
                case '\'':
                    out += "&apos;";
                    break;
                default:
                    if (c >= 0x20 && c != 0x7f) out += static_cast<char>(c);
            }
            ++i;
            ++written;
            continue;
        }
        // The length a lead byte announces, and whether the sequence holds.
        const std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        bool valid = n > 0 && c <= 0xF4 && i + n <= text.size();
        for (std::size_t k = 1; valid && k < n; ++k) {
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (valid && n == 3) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
        } else if (valid && n == 4) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
        }
        if (valid) {
            out.append(text.data() + i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
        ++written;
    }
}

namespace {

void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

/// Whether a terminal could take `c` as an instruction or a reordering.
bool isInstruction(UChar32 c, bool keepLayout) {
    if (c == '\n' || c == '\t') return !keepLayout;
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

}  // namespace

std::size_t appendTerminalSafe(std::string& out, std::string_view text, bool keepLayout,
                               bool more) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0x20 && lead < 0x7F) {
            // Runs of plain ASCII go as they are.
            std::size_t end = i + 1;
            while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x20 &&
                   static_cast<unsigned char>(text[end]) < 0x7F) {
                ++end;
            }
            out.append(text.substr(i, end - i));
            i = end;
            continue;
        }
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (more && i + length > text.size()) break;
        std::size_t after = i;
        const UChar32 c = next(text, after);
        if (c < 0) {
            appendHex(out, "\\x", lead, 2);
            ++i;
        } else if (isInstruction(c, keepLayout)) {
            if (c < 0x80) {
                appendHex(out, "\\x", static_cast<unsigned>(c), 2);
            } else {
                appendHex(out, "\\u", static_cast<unsigned>(c), 4);
            }
            i = after;
        } else {
            out.append(text.substr(i, after - i));
            i = after;
        }
    }
    return i;
}

std::string terminalSafe(std::string_view text, bool keepLayout) {
    std::string out;
    out.reserve(text.size());
    appendTerminalSafe(out, text, keepLayout);
    return out;
}

}  // namespace vesk::Unicode
