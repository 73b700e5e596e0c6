// The one-pass reader over a parsed document's tape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "vesk/foundation/json/Document.hpp"

namespace vesk {

/// A forward cursor over a parsed document, for decoding a whole value in
/// one pass: each entry of the parser's tape is read once, in order, and
/// records dispatch each key as it is met. Readers return false, leaving the
/// cursor anywhere, for anything they do not accept; decoding then starts
/// again with JsonIn, which says why (so every error, and every corner of
/// the rules, is JsonIn's).
///
/// The tape: one 64-bit word per entry, its top byte the kind and the rest
/// the payload. A string's payload is its offset into the string buffer
/// (a 32-bit length, the bytes, a NUL); a number is followed by one word
/// with its value; an array's or object's payload has the index past its
/// closing entry in its low 32 bits and its element count (saturating at
/// 0xFFFFFF) in the next 24.
class JsonTape {
  public:
    JsonTape(const std::uint64_t* tape, const std::uint8_t* strings, JsonIn::Node at,
             const CodingOptions* options) noexcept
        : tape_(tape), strings_(strings), document_(at.document), i_(at.index), options_(options) {}

    [[nodiscard]] char kind() const noexcept { return static_cast<char>(tape_[i_] >> 56); }
    [[nodiscard]] std::size_t position() const noexcept { return i_; }
    [[nodiscard]] const CodingOptions& options() const noexcept { return *options_; }
    /// A view of the value at the cursor, for a coding that reads no tape.
    [[nodiscard]] JsonIn view() const noexcept {
        return JsonIn(JsonIn::Node{document_, i_}, options_, nullptr, {}, 0);
    }

    bool readNull() noexcept { return take('n'); }
    bool readBool(bool& out) noexcept {
        if (take('t')) {
            out = true;
            return true;
        }
        out = false;
        return take('f');
    }
    bool readString(std::string_view& out) noexcept {
        if (kind() != '"') return false;
        const std::uint8_t* s = strings_ + payload();
        std::uint32_t length = 0;
        std::memcpy(&length, s, sizeof length);
        out = std::string_view(reinterpret_cast<const char*>(s + sizeof length), length);
        ++i_;
        return true;
    }
    /// A key (or string) equal to `text`, taken when it is.
    bool takeKey(std::string_view text) noexcept {
        const std::uint8_t* s = strings_ + payload();
        std::uint32_t length = 0;
        std::memcpy(&length, s, sizeof length);
        if (length != text.size() || !sameBytes(s + sizeof length, text.data(), length)) {
            return false;
        }
        ++i_;
        return true;
    }
    /// Integers as JsonIn::integer takes them: integral doubles too, never
    /// a value past the signed range.
    bool readInt64(std::int64_t& out) noexcept {
        switch (kind()) {
            case 'l':
                out = word<std::int64_t>();
                break;
            case 'd': {
                const double d = word<double>();
                if (!integralIn(d, -9.2233720368547758e18, 9.2233720368547758e18)) return false;
                out = static_cast<std::int64_t>(d);
                break;
            }
            default:
                return false;
        }
        i_ += 2;
        return true;
    }
    bool readUInt64(std::uint64_t& out) noexcept {
        switch (kind()) {
            case 'u':
                out = word<std::uint64_t>();
                break;
            case 'l': {
                const auto v = word<std::int64_t>();
                if (v < 0) return false;
                out = static_cast<std::uint64_t>(v);
                break;
            }
            case 'd': {
                const double d = word<double>();
                if (!integralIn(d, 0, 1.8446744073709552e19)) return false;
                out = static_cast<std::uint64_t>(d);
                break;
            }
            default:
                return false;
        }
        i_ += 2;
        return true;
    }
    bool readDouble(double& out) noexcept {
        switch (kind()) {
            case 'd':
                out = word<double>();
                break;
            case 'l':
                out = static_cast<double>(word<std::int64_t>());
                break;
            case 'u':
                out = static_cast<double>(word<std::uint64_t>());
                break;
            default:
                return false;
        }
        i_ += 2;
        return true;
    }
    /// Enters an array ('[') or object ('{'): `end` is its closing entry,
    /// `count` its elements (a floor when very large).
    bool enter(char open, std::size_t& end, std::size_t& count) noexcept {
        if (kind() != open) return false;
        const std::uint64_t p = payload();
        end = static_cast<std::uint32_t>(p) - 1;
        count = static_cast<std::size_t>((p >> 32) & 0xFFFFFF);
        ++i_;
        return true;
    }
    [[nodiscard]] bool before(std::size_t end) const noexcept { return i_ < end; }
    /// Past the closing entry the cursor is at.
    void leave() noexcept { ++i_; }
    /// Past the value at the cursor, whatever it is.
    void skip() noexcept {
        switch (kind()) {
            case '[':
            case '{':
                i_ = static_cast<std::uint32_t>(payload());
                break;
            case 'l':
            case 'u':
            case 'd':
                i_ += 2;
                break;
            default:
                ++i_;
        }
    }

  private:
    [[nodiscard]] std::uint64_t payload() const noexcept {
        return tape_[i_] & 0x00FFFFFFFFFFFFFFULL;
    }
    template <class V>
    [[nodiscard]] V word() const noexcept {
        V v;
        std::memcpy(&v, &tape_[i_ + 1], sizeof v);
        return v;
    }
    bool take(char k) noexcept {
        if (kind() != k) return false;
        ++i_;
        return true;
    }
    // Whether n bytes at a and b are the same: keys are short, so they are
    // compared in two overlapping words instead of a call.
    static bool sameBytes(const void* a, const void* b, std::size_t n) noexcept {
        const auto* x = static_cast<const unsigned char*>(a);
        const auto* y = static_cast<const unsigned char*>(b);
        const auto differ = [&](auto word, std::size_t at) {
            decltype(word) u = 0;
            decltype(word) v = 0;
            std::memcpy(&u, x + at, sizeof u);
            std::memcpy(&v, y + at, sizeof v);
            return u != v;
        };
        if (n >= 8 && n <= 16)
            return !differ(std::uint64_t{}, 0) && !differ(std::uint64_t{}, n - 8);
        if (n >= 4 && n < 8) return !differ(std::uint32_t{}, 0) && !differ(std::uint32_t{}, n - 4);
        if (n < 4) {
            for (std::size_t i = 0; i < n; ++i) {
                if (x[i] != y[i]) return false;
            }
            return true;
        }
        return std::memcmp(x, y, n) == 0;
    }
    static bool integralIn(double d, double lo, double hi) noexcept {
        return std::isfinite(d) && std::trunc(d) == d && d >= lo && d < hi;
    }

    const std::uint64_t* tape_;
    const std::uint8_t* strings_;
    const void* document_;
    std::size_t i_;
    const CodingOptions* options_;
};

}  // namespace vesk
