#include "vesk/QuickSwitcherTypes.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <memory>
#include <vector>

#include "vesk/Unicode.hpp"

namespace vesk {

namespace {

// ASCII text without a carriage return is its own grapheme clusters, one a
// byte (CR LF is the one ASCII pair that forms a single cluster).
bool plainAscii(std::string_view s) {
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || u == '\r') return false;
    }
    return true;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

template <bool Lower>
bool byteSubsequence(std::string_view query, std::string_view text) {
    std::size_t t = 0;
    for (const char q : query) {
        for (;;) {
            if (t == text.size()) return false;
            const char c = Lower ? asciiLower(text[t++]) : text[t++];
            if (c == q) break;
        }
    }
    return true;
}

// The grapheme clusters of a text in canonical composition (NFC), so that
// precomposed and decomposed spellings give equal clusters.
std::vector<icu::UnicodeString> clusters(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    icu::UnicodeString text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    if (U_SUCCESS(status)) {
        icu::UnicodeString normal = nfc->normalize(text, status);
        if (U_SUCCESS(status)) text = std::move(normal);
    }
    status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::vector<icu::UnicodeString> out;
    if (U_FAILURE(status) || !it) {
        for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
            out.emplace_back(text, i, text.moveIndex32(i, 1) - i);
        }
        return out;
    }
    it->setText(text);
    for (int32_t start = it->first(), end = it->next(); end != icu::BreakIterator::DONE;
         start = end, end = it->next()) {
        out.emplace_back(text, start, end - start);
    }
    return out;
}

bool matchesText(std::string_view lowerQuery, std::string_view text) {
    if (plainAscii(lowerQuery) && plainAscii(text)) return byteSubsequence<true>(lowerQuery, text);
    return fuzzyMatch(lowerQuery, Unicode::lowercased(text));
}

std::string lowered(std::string_view s) {
    if (plainAscii(s)) {
        std::string out(s);
        for (char& c : out) c = asciiLower(c);
        return out;
    }
    return Unicode::lowercased(s);
}

}  // namespace

bool fuzzyMatch(std::string_view query, std::string_view text) {
    if (query.empty()) return true;
    if (plainAscii(query) && plainAscii(text)) return byteSubsequence<false>(query, text);
    const auto q = clusters(query);
    const auto t = clusters(text);
    std::size_t at = 0;
    for (const auto& c : q) {
        for (;;) {
            if (at == t.size()) return false;
            if (t[at++] == c) break;
        }
    }
    return true;
}

std::string QuickSwitcherItem::id() const {
    if (const auto* s = std::get_if<Site>(&target)) return "site-" + s->id.uuidString();
    if (const auto* p = std::get_if<PHPVersionChoice>(&target)) return "php-" + p->version;
    return "svc-" + std::get<Service>(target).id.uuidString();
}

std::string QuickSwitcherItem::title() const {
    if (const auto* s = std::get_if<Site>(&target)) return s->fullDomain();
    if (const auto* p = std::get_if<PHPVersionChoice>(&target)) return "PHP " + p->version;
    return std::string(displayName(std::get<Service>(target).type));
}

std::string QuickSwitcherItem::subtitle() const {
    if (const auto* s = std::get_if<Site>(&target)) return s->path;
    if (const auto* p = std::get_if<PHPVersionChoice>(&target)) {
        return p->isCurrent ? "Current" : "Switch to this version";
    }
    const Service& svc = std::get<Service>(target);
    if (svc.status == ServiceStatus::running) return "Running on port " + std::to_string(svc.port);
    return "Stopped";
}

std::string_view QuickSwitcherItem::section() const {
    switch (target.index()) {
        case 0:
            return "Sites";
        case 1:
            return "PHP Versions";
        default:
            return "Services";
    }
}

std::string_view QuickSwitcherItem::iconName() const {
    if (const auto* s = std::get_if<Site>(&target)) return s->isSecured ? "lock.fill" : "globe";
    if (std::holds_alternative<PHPVersionChoice>(target)) {
        return "chevron.left.forwardslash.chevron.right";
    }
    return vesk::iconName(std::get<Service>(target).type);
}

bool QuickSwitcherItem::matches(std::string_view query) const {
    const std::string q = lowered(query);
    // Sites are matched on their own texts, without building the title.
    if (const auto* s = std::get_if<Site>(&target)) {
        if (plainAscii(q) && plainAscii(s->domain) && plainAscii(s->tld)) {
            // The title is domain "." tld: match across the three pieces.
            std::size_t done = 0;
            const auto advance = [&](std::string_view piece) {
                std::size_t t = 0;
                while (done < q.size() && t < piece.size()) {
                    if (asciiLower(piece[t++]) == q[done]) ++done;
                }
            };
            advance(s->domain);
            advance(".");
            advance(s->tld);
            if (done == q.size()) return true;
            return matchesText(q, s->path);
        }
    }
    return matchesText(q, title()) || matchesText(q, subtitle());
}

}  // namespace vesk
