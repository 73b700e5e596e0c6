#include "vesk/Unicode.hpp"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
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

// Code point that ends just before `end`, with its start in `start`.
UChar32 previous(std::string_view s, std::size_t end, std::size_t& start) {
    UChar32 c = 0;
    auto pos = static_cast<int32_t>(end);
    U8_PREV(reinterpret_cast<const uint8_t*>(s.data()), 0, pos, c);
    start = static_cast<std::size_t>(pos);
    return c;
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (next(text, i) < 0) return false;
    }
    return true;
}

std::size_t graphemeCount(std::string_view utf8) {
    if (utf8.empty()) return 0;
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) {
        utext_close(ut);
        return utf8.size();
    }
    it->setText(ut, status);
    std::size_t n = 0;
    for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) ++n;
    utext_close(ut);
    return n;
}

std::string lowercased(std::string_view utf8) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

bool isNewline(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespaceOrNewline(char32_t c) {
    return isNewline(c) || u_isUWhiteSpace(static_cast<UChar32>(c)) != 0;
}

bool isBlank(char32_t c) {
    return u_isblank(static_cast<UChar32>(c)) != 0;
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

}  // namespace vesk::Unicode
