// The one translation unit that knows the JSON parser.
//
// Decoding parses with simdjson into its tape and reads records straight off
// the tape; nothing on the way recurses by nesting depth. Encoding writes text
// directly.
#include "vesk/Json.hpp"

#include <simdjson.h>

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>

namespace vesk {

namespace {

using simdjson::internal::tape_ref;
using simdjson::internal::tape_type;

tape_ref ref(const JsonIn::Node& n) {
    return tape_ref(static_cast<const simdjson::dom::document*>(n.document), n.index);
}

tape_type typeOf(const JsonIn::Node& n) {
    return ref(n).tape_ref_type();
}

const char* faultText(DecodingError::Fault fault) {
    switch (fault) {
        case DecodingError::Fault::keyMissing:
            return "key missing";
        case DecodingError::Fault::wrongType:
            return "wrong type";
        case DecodingError::Fault::invalidValue:
            return "invalid value";
        case DecodingError::Fault::corrupted:
            return "not valid JSON";
    }
    return "invalid";
}

std::string describe(DecodingError::Fault fault, const std::string& path,
                     const std::string& detail) {
    std::string s = path.empty() ? std::string("(root)") : path;
    s += ": ";
    s += faultText(fault);
    if (!detail.empty()) {
        s += " (";
        s += detail;
        s += ")";
    }
    return s;
}

// Integral doubles (1.0, 1e3) count as integers; 1.5 does not.
bool integral(double d) {
    return std::isfinite(d) && std::trunc(d) == d;
}

}  // namespace

DecodingError::DecodingError(Fault fault, std::string path, const std::string& detail)
    : std::runtime_error(describe(fault, path, detail)), fault_(fault), path_(std::move(path)) {}

EncodingError::EncodingError(std::string path, const std::string& detail)
    : std::runtime_error((path.empty() ? std::string("(root)") : path) + ": " + detail),
      path_(std::move(path)) {}

// ---------------------------------------------------------------------------
// JsonIn

bool JsonIn::isNull() const {
    return typeOf(node_) == tape_type::NULL_VALUE;
}
bool JsonIn::isObject() const {
    return typeOf(node_) == tape_type::START_OBJECT;
}
bool JsonIn::isArray() const {
    return typeOf(node_) == tape_type::START_ARRAY;
}
bool JsonIn::isString() const {
    return typeOf(node_) == tape_type::STRING;
}

bool JsonIn::boolean() const {
    const tape_type t = typeOf(node_);
    if (t == tape_type::TRUE_VALUE) return true;
    if (t == tape_type::FALSE_VALUE) return false;
    fail(DecodingError::Fault::wrongType, "expected a Boolean");
}

std::int64_t JsonIn::integer() const {
    const tape_ref r = ref(node_);
    switch (r.tape_ref_type()) {
        case tape_type::INT64:
            return r.next_tape_value<std::int64_t>();
        case tape_type::UINT64:
            fail(DecodingError::Fault::invalidValue, "integer out of range");
        case tape_type::DOUBLE: {
            const double d = r.next_tape_value<double>();
            if (integral(d) && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18) {
                return static_cast<std::int64_t>(d);
            }
            break;
        }
        default:
            break;
    }
    fail(DecodingError::Fault::wrongType, "expected an integer");
}

std::uint64_t JsonIn::unsignedInteger() const {
    const tape_ref r = ref(node_);
    switch (r.tape_ref_type()) {
        case tape_type::UINT64:
            return r.next_tape_value<std::uint64_t>();
        case tape_type::INT64: {
            const auto v = r.next_tape_value<std::int64_t>();
            if (v < 0) fail(DecodingError::Fault::invalidValue, "integer out of range");
            return static_cast<std::uint64_t>(v);
        }
        case tape_type::DOUBLE: {
            const double d = r.next_tape_value<double>();
            if (integral(d) && d >= 0 && d < 1.8446744073709552e19) {
                return static_cast<std::uint64_t>(d);
            }
            if (integral(d)) fail(DecodingError::Fault::invalidValue, "integer out of range");
            break;
        }
        default:
            break;
    }
    fail(DecodingError::Fault::wrongType, "expected an integer");
}

double JsonIn::number() const {
    const tape_ref r = ref(node_);
    switch (r.tape_ref_type()) {
        case tape_type::DOUBLE:
            return r.next_tape_value<double>();
        case tape_type::INT64:
            return static_cast<double>(r.next_tape_value<std::int64_t>());
        case tape_type::UINT64:
            return static_cast<double>(r.next_tape_value<std::uint64_t>());
        default:
            fail(DecodingError::Fault::wrongType, "expected a number");
    }
}

std::string_view JsonIn::stringView() const {
    const tape_ref r = ref(node_);
    if (r.tape_ref_type() != tape_type::STRING) {
        fail(DecodingError::Fault::wrongType, "expected a string");
    }
    return r.get_string_view();
}

std::string JsonIn::string() const {
    return std::string(stringView());
}

void JsonIn::collect(const std::string_view* keys, Node* found, std::size_t count) const {
    const tape_ref r = ref(node_);
    if (r.tape_ref_type() != tape_type::START_OBJECT) {
        fail(DecodingError::Fault::wrongType, "expected an object");
    }
    const std::size_t end = r.matching_brace_index() - 1;
    std::size_t i = node_.index + 1;
    // Keys are looked for from the one after the last found, round the
    // table: a document written in the table's order (records write sorted
    // keys, and pass their keys sorted) finds each key at the first try.
    std::size_t next = 0;
    while (i < end) {
        const std::string_view key = tape_ref(r.doc, i).get_string_view();
        const std::size_t value = i + 1;
        for (std::size_t tried = 0, k = next; tried < count; ++tried) {
            if (keys[k] == key) {
                found[k] = Node{node_.document, value};  // a later duplicate wins
                next = k + 1 == count ? 0 : k + 1;
                break;
            }
            k = k + 1 == count ? 0 : k + 1;
        }
        i = tape_ref(r.doc, value).after_element();
    }
}

std::optional<JsonIn> JsonIn::find(std::string_view key) const {
    Node found;
    collect(&key, &found, 1);
    if (!found.present()) return std::nullopt;
    return JsonIn(found, options_, this, key, 0);
}

JsonIn JsonIn::require(std::string_view key) const {
    auto m = find(key);
    if (!m) missingMember(key).fail(DecodingError::Fault::keyMissing, "");
    return *m;
}

std::size_t JsonIn::size() const {
    const tape_ref r = ref(node_);
    if (r.tape_ref_type() != tape_type::START_ARRAY) {
        fail(DecodingError::Fault::wrongType, "expected an array");
    }
    const std::uint32_t count = r.scope_count();
    if (count < simdjson::internal::JSON_COUNT_MASK) return count;
    std::size_t n = 0;  // the tape's count saturates; count by walking
    forEachElement([&n](const JsonIn&) { ++n; });
    return n;
}

JsonIn JsonIn::at(std::size_t index) const {
    std::size_t i = 0;
    Node cursor;
    std::size_t end = 0;
    for (bool more = firstElement(cursor, end); more; more = nextElement(cursor, end), ++i) {
        if (i == index) return JsonIn(cursor, options_, this, {}, index);
    }
    fail(DecodingError::Fault::invalidValue, "index out of range");
}

bool JsonIn::firstElement(Node& cursor, std::size_t& end) const {
    const tape_ref r = ref(node_);
    if (r.tape_ref_type() != tape_type::START_ARRAY) {
        fail(DecodingError::Fault::wrongType, "expected an array");
    }
    end = r.matching_brace_index() - 1;
    cursor = Node{node_.document, node_.index + 1};
    return cursor.index < end;
}

bool JsonIn::nextElement(Node& cursor, std::size_t end) noexcept {
    cursor.index = ref(cursor).after_element();
    return cursor.index < end;
}

std::vector<std::pair<std::string, JsonIn>> JsonIn::members() const {
    const tape_ref r = ref(node_);
    if (r.tape_ref_type() != tape_type::START_OBJECT) {
        fail(DecodingError::Fault::wrongType, "expected an object");
    }
    std::vector<std::pair<std::string, JsonIn>> out;
    const std::size_t end = r.matching_brace_index() - 1;
    for (std::size_t i = node_.index + 1; i < end;) {
        // The key text lives in the document, so the view's key stays valid.
        const std::string_view key = tape_ref(r.doc, i).get_string_view();
        const Node value{node_.document, i + 1};
        out.emplace_back(std::string(key), JsonIn(value, options_, this, key, 0));
        i = ref(value).after_element();
    }
    return out;
}

std::string JsonIn::path() const {
    std::vector<const JsonIn*> chain;
    for (const JsonIn* p = this; p->parent_ != nullptr; p = p->parent_) chain.push_back(p);
    std::string out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const JsonIn* p = *it;
        if (!p->key_.empty() || p->parent_->isObject()) {
            if (!out.empty()) out += '.';
            out += p->key_;
        } else {
            out += '[' + std::to_string(p->index_) + ']';
        }
    }
    return out;
}

void JsonIn::fail(DecodingError::Fault fault, const std::string& detail) const {
    throw DecodingError(fault, path(), detail);
}

// ---------------------------------------------------------------------------
// JsonWriter

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Length of the well-formed UTF-8 sequence at s[i], or 0 when the bytes
// there are not one (the Unicode standard's table of well-formed sequences).
std::size_t sequenceLength(const unsigned char* s, std::size_t i, std::size_t n) {
    const unsigned char b = s[i];
    const auto cont = [&](std::size_t k, unsigned char lo, unsigned char hi) {
        return i + k < n && s[i + k] >= lo && s[i + k] <= hi;
    };
    if (b >= 0xC2 && b <= 0xDF) return cont(1, 0x80, 0xBF) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        const unsigned char lo = b == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = b == 0xED ? 0x9F : 0xBF;
        return cont(1, lo, hi) && cont(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        const unsigned char lo = b == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = b == 0xF4 ? 0x8F : 0xBF;
        return cont(1, lo, hi) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

// How many bytes of the ill-formed sequence at s[i] one U+FFFD replaces:
// the longest prefix of a well-formed sequence, at least one byte.
std::size_t maximalSubpart(const unsigned char* s, std::size_t i, std::size_t n) {
    const unsigned char b = s[i];
    std::size_t want = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        want = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        want = 3;
        lo = b == 0xE0 ? 0xA0 : 0x80;
        hi = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        want = 4;
        lo = b == 0xF0 ? 0x90 : 0x80;
        hi = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 1;
    }
    std::size_t k = 1;
    if (i + k < n && s[i + k] >= lo && s[i + k] <= hi) {
        ++k;
        while (k < want && i + k < n && s[i + k] >= 0x80 && s[i + k] <= 0xBF) ++k;
    }
    return k;
}

bool needsEscape(unsigned char c) {
    return c < 0x20 || c == '"' || c == '\\';
}

}  // namespace

// Where the slower paths write: the writer's own cursor, room made first.
struct JsonWriter::Sink {
    JsonWriter& w;

    void reserve(std::size_t n) { w.ensure(n); }
    Sink& operator+=(char c) {
        w.put(c);
        return *this;
    }
    Sink& operator+=(std::string_view v) {
        w.put(v.data(), v.size());
        return *this;
    }
    Sink& operator+=(const char* text) { return *this += std::string_view(text); }
    void append(const char* p, std::size_t n) { w.put(p, n); }
    void append(const char* p, const char* end) { append(p, static_cast<std::size_t>(end - p)); }
    void append(std::size_t n, char c) {
        w.ensure(n);
        std::memset(w.cur_, c, n);
        w.cur_ += n;
    }
};

namespace {

using Sink = JsonWriter::Sink;

void appendEscaped(Sink& out, unsigned char c) {
    switch (c) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\b':
            out += "\\b";
            return;
        case '\f':
            out += "\\f";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default: {
            const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
            out.append(u, sizeof u);
        }
    }
}

// Copies `text` from `from` on, replacing each maximal ill-formed part of
// invalid UTF-8 by U+FFFD and escaping as it goes.
void appendSlow(Sink& out, std::string_view text, std::size_t from) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const bool valid = simdjson::validate_utf8(text.data() + from, n - from);
    std::size_t run = from;  // start of the bytes not yet copied
    std::size_t i = from;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            if (needsEscape(c)) {
                out.append(text.data() + run, i - run);
                appendEscaped(out, c);
                run = i + 1;
            }
            ++i;
            continue;
        }
        const std::size_t len = valid ? 1 : sequenceLength(s, i, n);
        if (len > 0) {
            i += len;
            continue;
        }
        out.append(text.data() + run, i - run);
        out += "\xEF\xBF\xBD";
        i += maximalSubpart(s, i, n);
        run = i;
    }
    out.append(text.data() + run, n - run);
}

// Whether any of the eight bytes of `w` needs attention: not plain ASCII, a
// control character, a quote or a backslash (the classic has-zero-byte test
// on shifted copies of the word).
constexpr bool wordNeedsCare(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const auto hasZero = [](std::uint64_t v) { return ((v - kOnes) & ~v & kHigh) != 0; };
    const bool lowOrHigh = (((w - kOnes * 0x20) | w) & kHigh) != 0;
    return lowOrHigh || hasZero(w ^ (kOnes * '"')) || hasZero(w ^ (kOnes * '\\'));
}

void appendStringBody(Sink& out, std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t run = 0;
    // Plain bytes go eight at a time; the first word that needs care is
    // looked at byte by byte.
    std::size_t start = 0;
    while (start + 8 <= n) {
        std::uint64_t w = 0;
        std::memcpy(&w, s + start, sizeof w);
        if (wordNeedsCare(w)) break;
        start += 8;
    }
    for (std::size_t i = start; i < n; ++i) {
        const unsigned char c = s[i];
        if (c >= 0x80) {
            // Past plain ASCII: validate the rest once, then copy it.
            out.append(text.data() + run, i - run);
            appendSlow(out, text, i);
            return;
        }
        if (needsEscape(c)) {
            out.append(text.data() + run, i - run);
            appendEscaped(out, c);
            run = i + 1;
        }
    }
    out.append(text.data() + run, n - run);
}

// Chunks of long texts are kept per thread for the next text: fresh pages
// cost more than writing into them.
constexpr std::size_t kPooledChunks = 16;
thread_local std::vector<std::string>
    chunkPool;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
// The size of the last text taken on this thread: texts are written again
// and again at much the same size, and one as long as the last long one is
// written into one chunk of its size, which becomes the text itself.
thread_local std::size_t lastTextSize =
    0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Whether a chunk is pooled: only the usual size, never a long text's.
bool poolable(const std::string& chunk) {
    return chunkPool.size() < kPooledChunks && chunk.capacity() <= 2 * JsonWriter::kChunkSize;
}

}  // namespace

// Room for n more bytes: a writer's first bytes go into a pooled chunk when
// there is one (its room already there); a full chunk is set aside (a long
// text is never copied as it grows); otherwise the chunk doubles.
[[gnu::noinline]] void JsonWriter::makeRoom(std::size_t n) {
    const std::size_t used = cur_ == nullptr ? 0 : this->used();
    if (used == 0 && out_.empty() && lastTextSize > kChunkSize) {
        out_.resize(std::max(lastTextSize + lastTextSize / 8, n) + kJsonPadding);
    } else if (used == 0 && out_.empty() && !chunkPool.empty() && chunkPool.back().size() >= n) {
        out_ = std::move(chunkPool.back());
        chunkPool.pop_back();
    } else if (used >= kChunkSize) {
        out_.resize(used);
        chunksSize_ += used;
        chunks_.push_back(std::move(out_));
        if (!chunkPool.empty() && chunkPool.back().size() >= n) {
            out_ = std::move(chunkPool.back());
            chunkPool.pop_back();
        } else {
            out_ = std::string();
            out_.resize(std::max(kChunkSize + kChunkSize / 8, n));
        }
        cur_ = out_.data();
        end_ = cur_ + out_.size();
        return;
    } else {
        out_.resize(std::max(out_.size() * 2, used + n + 256));
    }
    cur_ = out_.data() + used;
    end_ = out_.data() + out_.size();
}

namespace {

// The number form the library has always written: shortest round-trip
// digits; fixed notation with ".0" for integral values up to 15 digits
// before the point, "0.000ddd" down to 1e-4, otherwise d.ddde+XX.
void appendDouble(Sink& out, double v) {
    if (v == 0) {
        out += std::signbit(v) ? "-0.0" : "0.0";
        return;
    }
    // Whole numbers below 1e15 (whole-second dates, counts) are exactly
    // their integer's digits: below 2^53 no shorter text reads back to them.
    if (std::fabs(v) < 1e15 && std::trunc(v) == v) {
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(v));
        out.append(digits, r.ptr);
        out += ".0";
        return;
    }
    char sci[40];
    const auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* p = sci;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[24];
    int k = 0;
    while (p < r.ptr && *p != 'e') {
        if (*p != '.') digits[k++] = *p;
        ++p;
    }
    int e10 = 0;
    std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), r.ptr, e10);
    const int n = e10 + 1;  // position of the decimal point after the first digit
    constexpr int kMinExp = -4;
    constexpr int kMaxExp = 15;
    if (k <= n && n <= kMaxExp) {
        out.append(digits, static_cast<std::size_t>(k));
        out.append(static_cast<std::size_t>(n - k), '0');
        out += ".0";
    } else if (0 < n && n <= kMaxExp) {
        out.append(digits, static_cast<std::size_t>(n));
        out += '.';
        out.append(digits + n, static_cast<std::size_t>(k - n));
    } else if (kMinExp < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out.append(digits, static_cast<std::size_t>(k));
    } else {
        out += digits[0];
        if (k > 1) {
            out += '.';
            out.append(digits + 1, static_cast<std::size_t>(k - 1));
        }
        out += 'e';
        int e = n - 1;
        out += e < 0 ? '-' : '+';
        e = std::abs(e);
        if (e < 10) out += '0';
        char exp[8];
        const auto er = std::to_chars(exp, exp + sizeof exp, e);
        out.append(exp, er.ptr);
    }
}

}  // namespace

JsonWriter::JsonWriter(const CodingOptions& options) : options_(options) {}

void JsonWriter::newline() {
    // Spaces are stored a block at a time; the last block may reach past
    // the indent, into room that is there and not yet written.
    static constexpr std::size_t kBlock = 32;
    static constexpr auto kSpaces = [] {
        std::array<char, kBlock> a{};
        a.fill(' ');
        return a;
    }();
    const std::size_t n =
        std::min(depth_, options_.maxIndentLevels) * static_cast<std::size_t>(options_.indent);
    ensure(1 + n + kBlock);
    *cur_++ = '\n';
    for (std::size_t i = 0; i < n; i += kBlock) std::memcpy(cur_ + i, kSpaces.data(), kBlock);
    cur_ += n;
}

// A text in quotes: plain bytes are copied eight at a time as they are
// checked; from the first word that needs care on, the careful path.
void JsonWriter::quoted(std::string_view text) {
    const std::size_t n = text.size();
    ensure(n + 2 + 8);  // a word past the end may be stored before the quote
    *cur_++ = '"';
    const char* s = text.data();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, s + i, sizeof w);
        if (wordNeedsCare(w)) break;
        std::memcpy(cur_ + i, &w, sizeof w);
    }
    if (i + 8 > n && i < n) {
        // The last few bytes, read as whole words that overlap what is
        // already checked (never a byte past the text).
        if (n >= 8) {
            std::uint64_t w = 0;
            std::memcpy(&w, s + n - 8, sizeof w);
            if (!wordNeedsCare(w)) {
                std::memcpy(cur_ + n - 8, &w, sizeof w);
                i = n;
            }
        } else if (n >= 4) {
            std::uint32_t lo = 0;
            std::uint32_t hi = 0;
            std::memcpy(&lo, s, sizeof lo);
            std::memcpy(&hi, s + n - 4, sizeof hi);
            if (!wordNeedsCare(lo | (std::uint64_t{hi} << 32))) {
                std::memcpy(cur_, &lo, sizeof lo);
                std::memcpy(cur_ + n - 4, &hi, sizeof hi);
                i = n;
            }
        } else {
            const auto a = static_cast<unsigned char>(s[0]);
            const auto b = static_cast<unsigned char>(s[n / 2]);
            const auto c = static_cast<unsigned char>(s[n - 1]);
            if (!wordNeedsCare(0x2020202020000000ULL | a | (std::uint64_t{b} << 8) |
                               (std::uint64_t{c} << 16))) {
                cur_[0] = static_cast<char>(a);
                cur_[n / 2] = static_cast<char>(b);
                cur_[n - 1] = static_cast<char>(c);
                i = n;
            }
        }
    }
    cur_ += i;
    if (i < n) {
        Sink out{*this};
        appendStringBody(out, text.substr(i));
    }
    put('"');
}

std::vector<std::string_view> JsonWriter::pieces() const {
    std::vector<std::string_view> out;
    out.reserve(chunks_.size() + 1);
    for (const auto& c : chunks_) out.emplace_back(c);
    if (cur_ != nullptr) out.emplace_back(out_.data(), used());
    return out;
}

void JsonWriter::clear() {
    // Pooled chunks keep their room as their size: reused, they need no
    // filling.
    for (auto& c : chunks_) {
        if (!poolable(c)) continue;
        c.resize(c.capacity());
        chunkPool.push_back(std::move(c));
    }
    chunks_.clear();
    chunksSize_ = 0;
    cur_ = out_.data();
    end_ = cur_ + out_.size();
    depth_ = 0;
    needComma_ = false;
    afterKey_ = false;
    justOpened_ = false;
}

std::string JsonWriter::take() {
    const std::size_t used = cur_ == nullptr ? 0 : this->used();
    std::string all;
    if (chunks_.empty() && out_.size() <= 2 * used + 4096) {
        // The chunk fits the text: it becomes the text.
        out_.resize(used);
        if (out_.capacity() - out_.size() < kJsonPadding) out_.reserve(out_.size() + kJsonPadding);
        all = std::move(out_);
        out_ = std::string();
    } else {
        // A large chunk (pooled, or grown for a long text) stays for the next
        // text; the text gets a copy of its own size.
        all.reserve(chunksSize_ + used + kJsonPadding);
        for (const auto& c : chunks_) all += c;
        all.append(out_.data(), used);
        if (chunks_.empty() && out_.size() >= kChunkSize) {
            if (poolable(out_)) chunkPool.push_back(std::move(out_));
            out_ = std::string();
        }
    }
    lastTextSize = all.size();
    clear();
    cur_ = end_ = nullptr;
    if (out_.empty()) return all;
    cur_ = out_.data();
    end_ = cur_ + out_.size();
    return all;
}

void JsonWriter::number(double value) {
    if (!std::isfinite(value)) {
        refuseValue(std::isnan(value) ? "NaN has no JSON form" : "infinity has no JSON form");
    }
    beginValue();
    Sink out{*this};
    appendDouble(out, value);
    needComma_ = true;
}

void JsonWriter::refuseValue(const std::string& detail) {
    beginValue();
    throw EncodingError(pathOfNextValue(), detail);
}

// The key path of the value about to be written, read back from the text
// written so far (only a failure pays for it): per open container, the
// last key of an object or the count of commas of an array.
std::string JsonWriter::pathOfNextValue() const {
    struct Level {
        bool array;
        bool expectKey;
        std::size_t index;
        std::string key;
    };
    std::vector<Level> levels;
    bool inString = false;
    bool escaped = false;
    std::string text;
    const auto scan = [&](std::string_view piece) {
        for (const char c : piece) {
            if (inString) {
                if (escaped) {
                    escaped = false;
                    text += c;
                } else if (c == '\\') {
                    escaped = true;
                    text += c;
                } else if (c == '"') {
                    inString = false;
                    if (!levels.empty() && levels.back().expectKey) {
                        levels.back().key = text;
                        levels.back().expectKey = false;
                    }
                } else {
                    text += c;
                }
                continue;
            }
            switch (c) {
                case '"':
                    inString = true;
                    text.clear();
                    break;
                case '{':
                case '[':
                    levels.push_back({c == '[', c == '{', 0, {}});
                    break;
                case '}':
                case ']':
                    if (!levels.empty()) levels.pop_back();
                    break;
                case ',':
                    if (!levels.empty()) {
                        ++levels.back().index;
                        levels.back().expectKey = !levels.back().array;
                    }
                    break;
                default:
                    break;
            }
        }
    };
    for (const auto& chunk : chunks_) scan(chunk);
    if (cur_ != nullptr) scan(std::string_view(out_.data(), used()));
    std::string path;
    for (const Level& level : levels) {
        if (level.array) {
            path += '[' + std::to_string(level.index) + ']';
        } else {
            if (!path.empty()) path += '.';
            path += level.key;
        }
    }
    return path;
}

void JsonWriter::key(std::string_view key) {
    beginValue();
    Sink out{*this};
    out += '"';
    appendStringBody(out, key);
    out += options_.indent >= 0 ? "\": " : "\":";
    afterKey_ = true;
}

// ---------------------------------------------------------------------------
// Documents

namespace {

// Parsers keep their buffers between documents (fresh pages cost more than
// the parse itself); one spare per thread, up to a set size, so a larger
// document's memory goes back at once.
std::atomic<std::size_t> keptParserCapacity{JsonDocument::kDefaultRetainedCapacity};

struct SpareParser {
    std::unique_ptr<simdjson::dom::parser> parser;
};
thread_local SpareParser spare;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

}  // namespace

struct JsonDocument::Impl {
    std::unique_ptr<simdjson::dom::parser> parser;
    CodingOptions options;
    JsonIn::Node root;

    ~Impl() {
        if (parser && parser->capacity() <= keptParserCapacity.load(std::memory_order_relaxed) &&
            !spare.parser) {
            spare.parser = std::move(parser);
        }
    }
};

JsonDocument::JsonDocument() : impl_(std::make_unique<Impl>()) {}
JsonDocument::JsonDocument(JsonDocument&&) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&&) noexcept = default;
JsonDocument::~JsonDocument() = default;

static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);

JsonDocument JsonDocument::parse(std::string_view text, const CodingOptions& options) {
    return parse(text, options, false);
}

JsonDocument JsonDocument::parse(std::string_view text, const CodingOptions& options, bool padded) {
    JsonDocument doc;
    Impl& impl = *doc.impl_;
    impl.options = options;
    impl.parser = std::move(spare.parser);
    if (!impl.parser) impl.parser = std::make_unique<simdjson::dom::parser>();

    // A document of n bytes nests at most n / 2 levels: reserve no more
    // depth than that (but a stable minimum, so a kept parser is reused).
    constexpr std::size_t kSmallDepth = 1024;
    const std::size_t levels =
        std::min(options.maxDepth, std::max(kSmallDepth, text.size() / 2 + 1));
    const std::size_t depth = levels + 1;  // the parser counts the level outside the root too
    const std::size_t capacity = std::max<std::size_t>(text.size(), 64);
    if (impl.parser->capacity() < capacity || impl.parser->max_depth() != depth) {
        if (impl.parser->allocate(capacity, depth) != simdjson::SUCCESS) throw std::bad_alloc();
    }
    simdjson::dom::element root;
    // Text with room after it is read in place; other text is copied first.
    const auto error = impl.parser->parse(text.data(), text.size(), !padded).get(root);
    if (error == simdjson::MEMALLOC) throw std::bad_alloc();
    if (error == simdjson::DEPTH_ERROR) {
        throw DecodingError(DecodingError::Fault::corrupted, "",
                            "nested deeper than " + std::to_string(levels) + " levels");
    }
    if (error != simdjson::SUCCESS) {
        throw DecodingError(DecodingError::Fault::corrupted, "", simdjson::error_message(error));
    }
    impl.root = JsonIn::Node{&impl.parser->doc, 1};  // tape entry 0 is the root marker
    return doc;
}

void JsonDocument::setRetainedCapacity(std::size_t bytes) noexcept {
    keptParserCapacity.store(bytes, std::memory_order_relaxed);
    if (spare.parser && spare.parser->capacity() > bytes) spare.parser.reset();
}

JsonIn JsonDocument::root() const {
    return JsonIn(impl_->root, &impl_->options, nullptr, {}, 0);
}

// JsonTape reads the tape by the layout described with it.
static_assert(simdjson::internal::JSON_VALUE_MASK == 0x00FFFFFFFFFFFFFFULL);
static_assert(simdjson::internal::JSON_COUNT_MASK == 0xFFFFFF);
static_assert(static_cast<char>(tape_type::STRING) == '"' &&
              static_cast<char>(tape_type::INT64) == 'l' &&
              static_cast<char>(tape_type::UINT64) == 'u' &&
              static_cast<char>(tape_type::DOUBLE) == 'd' &&
              static_cast<char>(tape_type::TRUE_VALUE) == 't' &&
              static_cast<char>(tape_type::FALSE_VALUE) == 'f' &&
              static_cast<char>(tape_type::NULL_VALUE) == 'n' &&
              static_cast<char>(tape_type::START_ARRAY) == '[' &&
              static_cast<char>(tape_type::START_OBJECT) == '{');

JsonTape JsonDocument::tape() const {
    const auto* doc = static_cast<const simdjson::dom::document*>(impl_->root.document);
    return JsonTape(doc->tape.get(), doc->string_buf.get(), impl_->root, &impl_->options);
}

// ---------------------------------------------------------------------------
// Streams

namespace {

// One On-Demand parser per thread is kept for the next stream, as the
// document parsers are.
thread_local std::unique_ptr<simdjson::ondemand::parser>
    spareStreamParser;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Between two reports of the bytes consumed.
constexpr std::size_t kReportEvery = std::size_t{4} << 20;

}  // namespace

struct JsonStream::Impl {
    struct Level {
        bool object = false;
        bool loaded = false;  // the next member or element is at hand
        simdjson::ondemand::object_iterator member;
        simdjson::ondemand::object_iterator members;
        simdjson::ondemand::array_iterator element;
        simdjson::ondemand::array_iterator elements;
        simdjson::ondemand::raw_json_string key;
    };

    std::unique_ptr<simdjson::ondemand::parser> parser;
    simdjson::ondemand::document document;
    simdjson::ondemand::value current;
    bool haveCurrent = false;
    std::vector<Level> levels;
    bool failed = false;
    const char* text = nullptr;
    std::size_t reported = 0;
    std::function<void(std::size_t)> consumed;

    ~Impl() {
        if (parser && parser->capacity() <= keptParserCapacity.load(std::memory_order_relaxed) &&
            !spareStreamParser) {
            spareStreamParser = std::move(parser);
        }
    }

    bool fail() {
        failed = true;
        return false;
    }
    // Reads the value at hand with one of the value's getters.
    template <class V, class Get>
    bool read(V& out, Get get) {
        if (!take() || get(current).get(out) != simdjson::SUCCESS) return fail();
        moveOn();
        return true;
    }
    // The value at hand, taken: the next read moves the innermost level on.
    bool take() {
        if (failed || !haveCurrent) return fail();
        haveCurrent = false;
        return true;
    }
    // After a value of the innermost level has been read.
    void moveOn() {
        if (levels.empty()) return;
        Level& level = levels.back();
        if (level.object) {
            ++level.member;
        } else {
            ++level.element;
        }
        level.loaded = false;
    }
    void report() {
        if (!consumed) return;
        const char* at = nullptr;
        if (document.current_location().get(at) != simdjson::SUCCESS || at < text) return;
        const auto n = static_cast<std::size_t>(at - text);
        if (n >= reported + kReportEvery) {
            reported = n;
            consumed(n);
        }
    }
};

JsonStream::JsonStream(PaddedText text, const CodingOptions& options,
                       std::function<void(std::size_t)> consumed)
    : options_(options), impl_(std::make_unique<Impl>()) {
    Impl& impl = *impl_;
    impl.text = text.text.data();
    impl.consumed = std::move(consumed);
    impl.parser = std::move(spareStreamParser);
    if (!impl.parser) impl.parser = std::make_unique<simdjson::ondemand::parser>();
    const std::size_t capacity = std::max<std::size_t>(text.text.size(), 64);
    const std::size_t depth =
        std::min(options.maxDepth, std::max<std::size_t>(1024, text.text.size() / 2 + 1)) + 1;
    if (impl.parser->capacity() < capacity || impl.parser->max_depth() < depth) {
        if (impl.parser->allocate(capacity, depth) != simdjson::SUCCESS) throw std::bad_alloc();
    }
    if (impl.parser->iterate(text.text.data(), text.text.size(), text.text.size() + kJsonPadding)
                .get(impl.document) != simdjson::SUCCESS ||
        impl.document.get_value().get(impl.current) != simdjson::SUCCESS) {
        impl.failed = true;
        return;
    }
    impl.haveCurrent = true;
}

JsonStream::~JsonStream() = default;

bool JsonStream::readNull() {
    Impl& impl = *impl_;
    if (impl.failed || !impl.haveCurrent) return impl.fail();
    bool null = false;
    if (impl.current.is_null().get(null) != simdjson::SUCCESS) return impl.fail();
    if (!null) return false;  // at hand still, for another reader
    impl.haveCurrent = false;
    impl.moveOn();
    return true;
}

bool JsonStream::readBool(bool& out) {
    return impl_->read(out, [](simdjson::ondemand::value& v) { return v.get_bool(); });
}

bool JsonStream::readString(std::string_view& out) {
    return impl_->read(out, [](simdjson::ondemand::value& v) { return v.get_string(); });
}

bool JsonStream::readInt64(std::int64_t& out) {
    return impl_->read(out, [](simdjson::ondemand::value& v) { return v.get_int64(); });
}

bool JsonStream::readUInt64(std::uint64_t& out) {
    return impl_->read(out, [](simdjson::ondemand::value& v) { return v.get_uint64(); });
}

// An integer is read as one and then converted, as the tape holds it, so a
// value reads the same both ways and one wider than 64 bits fails as the
// document's parse does.
bool JsonStream::readDouble(double& out) {
    Impl& impl = *impl_;
    if (impl.failed || !impl.haveCurrent) return impl.fail();
    const std::string_view token = impl.current.raw_json_token();
    if (token.find_first_of(".eE") != std::string_view::npos) {
        return impl.read(out, [](simdjson::ondemand::value& v) { return v.get_double(); });
    }
    std::int64_t signedValue = 0;
    if (impl.current.get_int64().get(signedValue) == simdjson::SUCCESS) {
        out = static_cast<double>(signedValue);
    } else {
        std::uint64_t unsignedValue = 0;
        if (impl.current.get_uint64().get(unsignedValue) != simdjson::SUCCESS) return impl.fail();
        out = static_cast<double>(unsignedValue);
    }
    impl.haveCurrent = false;
    impl.moveOn();
    return true;
}

// A key is compared as written: one with escapes is taken for unknown.
bool JsonStream::takeKey(std::string_view text) {
    Impl& impl = *impl_;
    if (impl.failed || impl.levels.empty() || !impl.levels.back().loaded) return impl.fail();
    return impl.levels.back().key.unsafe_is_equal(text);
}

bool JsonStream::enter(char open, std::size_t& scope, std::size_t& count) {
    Impl& impl = *impl_;
    if (!impl.take() || impl.levels.size() >= options_.maxDepth) return impl.fail();
    Impl::Level level;
    level.object = open == '{';
    if (level.object) {
        simdjson::ondemand::object object;
        if (impl.current.get_object().get(object) != simdjson::SUCCESS ||
            object.begin().get(level.member) != simdjson::SUCCESS ||
            object.end().get(level.members) != simdjson::SUCCESS) {
            return impl.fail();
        }
    } else {
        simdjson::ondemand::array array;
        if (impl.current.get_array().get(array) != simdjson::SUCCESS ||
            array.begin().get(level.element) != simdjson::SUCCESS ||
            array.end().get(level.elements) != simdjson::SUCCESS) {
            return impl.fail();
        }
    }
    impl.levels.push_back(level);
    scope = impl.levels.size() - 1;
    count = 0;
    return true;
}

bool JsonStream::before(std::size_t scope) {
    Impl& impl = *impl_;
    if (impl.failed || scope + 1 != impl.levels.size()) return impl.fail();
    Impl::Level& level = impl.levels.back();
    if (level.loaded) return true;
    if (level.object) {
        if (!(level.member != level.members)) return false;
        simdjson::ondemand::field field;
        if ((*level.member).get(field) != simdjson::SUCCESS) return impl.fail();
        level.key = field.key();
        impl.current = field.value();
    } else {
        if (!(level.element != level.elements)) return false;
        if ((*level.element).get(impl.current) != simdjson::SUCCESS) return impl.fail();
    }
    level.loaded = true;
    impl.haveCurrent = true;
    return true;
}

void JsonStream::leave() {
    Impl& impl = *impl_;
    if (impl.failed || impl.levels.empty()) {
        impl.fail();
        return;
    }
    impl.levels.pop_back();
    impl.moveOn();
    impl.report();
}

void JsonStream::skip() {
    impl_->fail();  // what is not read is not checked: the document decides
}

bool JsonStream::finish() {
    Impl& impl = *impl_;
    if (impl.failed || impl.haveCurrent || !impl.levels.empty()) return false;
    const char* at = nullptr;  // past the last token there is no location
    return impl.document.current_location().get(at) == simdjson::OUT_OF_BOUNDS;
}

}  // namespace vesk
