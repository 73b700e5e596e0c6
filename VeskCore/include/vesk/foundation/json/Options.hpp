// What every part of the JSON layer shares: the coding options and the
// errors a document or a value fails with.
#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

namespace vesk {

/// How dates are written and read.
enum class DateStrategy {
    referenceDateSeconds,  ///< seconds since 2001-01-01T00:00:00Z as a JSON number (the default)
    iso8601,               ///< internet date-time, UTC, whole seconds, "Z"
};

/// Spare capacity after a text that lets the parser read it in place.
inline constexpr std::size_t kJsonPadding = 64;

/// A text followed in memory by at least kJsonPadding readable bytes (of any
/// value: the parser may read them but never takes them for text), so it is
/// parsed in place.
struct PaddedText {
    std::string_view text;
};

/// Nesting a document may have by default: deep enough for a call tree of
/// a few hundred thousand frames (two levels per frame).
inline constexpr std::size_t kDefaultMaxDepth = std::size_t{1} << 20;

struct CodingOptions {
    DateStrategy dates = DateStrategy::referenceDateSeconds;
    int indent = -1;  ///< encoding only: -1 compact, otherwise pretty with this many spaces
    /// Decoding only: containers that hold something, nested deeper than
    /// this, fail as corrupted (an empty innermost container is not counted).
    std::size_t maxDepth = kDefaultMaxDepth;
    /// Encoding only: pretty-printed lines indent at most this many levels,
    /// so a deep chain costs bytes linear in its size.
    std::size_t maxIndentLevels = std::numeric_limits<std::size_t>::max();
};

/// Why a document failed to decode; `path()` names the key path ("a.b[2].c").
class DecodingError : public std::runtime_error {
  public:
    enum class Fault { keyMissing, wrongType, invalidValue, corrupted };
    DecodingError(Fault fault, std::string path, const std::string& detail);
    [[nodiscard]] Fault fault() const noexcept { return fault_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

  private:
    Fault fault_;
    std::string path_;
};

/// Why a value could not be written: a number with no JSON form (NaN or
/// infinity) at `path()` ("a.b[2].c"). Nothing of the text is usable then.
class EncodingError : public std::runtime_error {
  public:
    EncodingError(std::string path, const std::string& detail);
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

  private:
    std::string path_;
};

}  // namespace vesk
