// The JSON writer: text written directly, compact or pretty-printed.
#include "vesk/foundation/json/Writer.hpp"

#include <simdjson.h>

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>

namespace vesk {

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

}  // namespace vesk
