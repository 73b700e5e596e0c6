#include "vesk/app/QuickSwitcherTypes.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <memory>
#include <vector>

#include "vesk/foundation/Unicode.hpp"

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

// A text in canonical composition (NFC), so that precomposed and decomposed
// spellings are equal, lower-cased first when asked, with the boundaries of
// its grapheme clusters.
struct Clusters {
    icu::UnicodeString text;
    std::vector<int32_t> bounds;  // start of each cluster, then the end

    [[nodiscard]] std::size_t size() const { return bounds.empty() ? 0 : bounds.size() - 1; }
    [[nodiscard]] bool same(std::size_t i, const Clusters& o, std::size_t j) const {
        const int32_t len = bounds[i + 1] - bounds[i];
        return len == o.bounds[j + 1] - o.bounds[j] &&
               text.compare(bounds[i], len, o.text, o.bounds[j], len) == 0;
    }
};

Clusters clusters(std::string_view utf8, bool lower) {
    Clusters c;
    c.text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    if (lower) c.text.toLower(icu::Locale::getRoot());
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_SUCCESS(status) && nfc->isNormalized(c.text, status) == false && U_SUCCESS(status)) {
        icu::UnicodeString normal = nfc->normalize(c.text, status);
        if (U_SUCCESS(status)) c.text = std::move(normal);
    }
    // Making a break iterator costs far more than using one: one per thread.
    thread_local std::unique_ptr<icu::BreakIterator> cached;
    if (!cached) {
        status = U_ZERO_ERROR;
        cached.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) cached.reset();
    }
    if (!cached) {
        for (int32_t i = 0; i < c.text.length(); i = c.text.moveIndex32(i, 1))
            c.bounds.push_back(i);
        c.bounds.push_back(c.text.length());
        return c;
    }
    cached->setText(c.text);
    for (int32_t at = cached->first(); at != icu::BreakIterator::DONE; at = cached->next()) {
        c.bounds.push_back(at);
    }
    return c;
}

bool clustersMatch(const Clusters& query, const Clusters& text) {
    std::size_t at = 0;
    for (std::size_t q = 0; q < query.size(); ++q) {
        for (;;) {
            if (at == text.size()) return false;
            if (text.same(at++, query, q)) break;
        }
    }
    return true;
}

bool matchesText(std::string_view lowerQuery, std::string_view text) {
    if (plainAscii(lowerQuery) && plainAscii(text)) return byteSubsequence<true>(lowerQuery, text);
    if (lowerQuery.empty()) return true;
    return clustersMatch(clusters(lowerQuery, false), clusters(text, true));
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
    return clustersMatch(clusters(query, false), clusters(text, false));
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
