// The text functions that need ICU's data (grapheme clusters, case
// mapping), apart from the rest so that a program using only those does not
// load ICU at start-up.
#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <memory>

#include "vesk/foundation/Unicode.hpp"

namespace vesk::Unicode {

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

}  // namespace vesk::Unicode
