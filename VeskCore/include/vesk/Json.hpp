// JSON coding for every record of the library.
//
// Records never touch a JSON parser: they declare their fields once with
// VESK_RECORD (or specialise JsonCoding for a special shape) and the generic
// encode/decode below do the rest. The parser itself lives in one
// translation unit behind JsonIn/JsonOut.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "vesk/RawEnum.hpp"

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

/// A read-only view of one node of a parsed document. Views are created on
/// the stack while descending and remember their parent for error paths.
class JsonIn {
  public:
    /// An opaque position inside a parsed document.
    struct Node {
        const void* document = nullptr;
        std::size_t index = 0;
        [[nodiscard]] bool present() const noexcept { return document != nullptr; }
    };

    JsonIn() noexcept = default;
    JsonIn(Node node, const CodingOptions* options, const JsonIn* parent, std::string_view key,
           std::size_t index) noexcept
        : node_(node), options_(options), parent_(parent), key_(key), index_(index) {}

    [[nodiscard]] bool isNull() const;
    [[nodiscard]] bool isObject() const;
    [[nodiscard]] bool isArray() const;
    [[nodiscard]] bool isString() const;

    [[nodiscard]] bool boolean() const;
    [[nodiscard]] std::int64_t integer() const;
    [[nodiscard]] std::uint64_t unsignedInteger() const;
    [[nodiscard]] double number() const;
    [[nodiscard]] std::string string() const;
    /// The text of a string node, valid while the document lives.
    [[nodiscard]] std::string_view stringView() const;

    /// Member of an object (the node must be an object); none when missing.
    /// With a key given twice, the last one counts.
    [[nodiscard]] std::optional<JsonIn> find(std::string_view key) const;
    /// Member that must be present.
    [[nodiscard]] JsonIn require(std::string_view key) const;
    /// One pass over an object: `found[i]` becomes the last member named
    /// `keys[i]`, or stays absent. Fails unless the node is an object.
    void collect(const std::string_view* keys, Node* found, std::size_t count) const;
    /// A view of a member found by `collect`.
    [[nodiscard]] JsonIn member(Node node, std::string_view key) const {
        return JsonIn(node, options_, this, key, 0);
    }
    [[nodiscard]] JsonIn missingMember(std::string_view key) const {
        return JsonIn(node_, options_, this, key, 0);
    }

    /// Array size and elements (the node must be an array). `at` walks from
    /// the start; iterate with `forEachElement` instead.
    [[nodiscard]] std::size_t size() const;
    [[nodiscard]] JsonIn at(std::size_t index) const;
    template <class F>
    void forEachElement(F&& f) const {
        Node cursor;
        std::size_t end = 0;
        std::size_t i = 0;
        for (bool more = firstElement(cursor, end); more; more = nextElement(cursor, end)) {
            f(JsonIn(cursor, options_, this, {}, i++));
        }
    }
    /// Object members in document order of keys.
    [[nodiscard]] std::vector<std::pair<std::string, JsonIn>> members() const;

    /// Array iteration by hand: the first element and the position past the
    /// last (false for an empty array), then each next element.
    bool firstElement(Node& cursor, std::size_t& end) const;
    static bool nextElement(Node& cursor, std::size_t end) noexcept;

    [[nodiscard]] Node node() const noexcept { return node_; }
    [[nodiscard]] const CodingOptions& options() const noexcept { return *options_; }
    [[nodiscard]] std::string path() const;
    [[noreturn]] void fail(DecodingError::Fault fault, const std::string& detail) const;

  private:
    Node node_;
    const CodingOptions* options_ = nullptr;
    const JsonIn* parent_ = nullptr;
    std::string_view key_;  // empty with parent_ set: an array element at index_
    std::size_t index_ = 0;
};

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

/// A forward cursor straight over the text, without a tape (simdjson's
/// On-Demand parser): the same readers as JsonTape, for one pass over a
/// document too large to hold beside its tape and its records. Only what is
/// read is checked, so anything unusual (an unknown key, a number in an
/// unexpected form, a failed read) makes `finish()` false; decode the text
/// with JsonDocument then, which says why or reads it after all.
class JsonStream {
  public:
    /// `consumed`, when given, is told now and then how many leading bytes
    /// of the text will not be read again (so their memory may be given
    /// back).
    JsonStream(PaddedText text, const CodingOptions& options,
               std::function<void(std::size_t)> consumed = {});
    JsonStream(const JsonStream&) = delete;
    JsonStream& operator=(const JsonStream&) = delete;
    ~JsonStream();

    [[nodiscard]] const CodingOptions& options() const noexcept { return options_; }
    bool readNull();
    bool readBool(bool& out);
    bool readString(std::string_view& out);
    bool takeKey(std::string_view text);
    bool readInt64(std::int64_t& out);
    bool readUInt64(std::uint64_t& out);
    bool readDouble(double& out);
    bool enter(char open, std::size_t& scope, std::size_t& count);
    bool before(std::size_t scope);
    void leave();
    void skip();
    /// Whether every read succeeded and the value was the whole text.
    bool finish();

  private:
    struct Impl;
    CodingOptions options_;
    std::unique_ptr<Impl> impl_;
};

/// Writes JSON text directly, compact or pretty-printed; keys and values are
/// written in the order they are given.
class JsonWriter {
  public:
    explicit JsonWriter(const CodingOptions& options = {});
    // The cursor points into the writer's own chunk.
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    [[gnu::always_inline]] void null() {
        beginValue();
        put("null", 4);
        needComma_ = true;
    }
    [[gnu::always_inline]] void boolean(bool value) {
        beginValue();
        if (value) {
            put("true", 4);
        } else {
            put("false", 5);
        }
        needComma_ = true;
    }
    [[gnu::always_inline]] void integer(std::int64_t value) {
        beginValue();
        ensure(kIntegerRoom);
        cur_ = std::to_chars(cur_, cur_ + kIntegerRoom, value).ptr;
        needComma_ = true;
    }
    [[gnu::always_inline]] void unsignedInteger(std::uint64_t value) {
        beginValue();
        ensure(kIntegerRoom);
        cur_ = std::to_chars(cur_, cur_ + kIntegerRoom, value).ptr;
        needComma_ = true;
    }
    /// Shortest text that reads back to the same double. NaN and infinity
    /// have no JSON form: they throw EncodingError naming the key path, so a
    /// record is never written in a form that cannot be read back.
    void number(double value);
    /// Control characters escaped, "/" as it is, invalid UTF-8 replaced by U+FFFD.
    [[gnu::always_inline]] void string(std::string_view value) {
        beginValue();
        quoted(value);
        needComma_ = true;
    }
    /// A text known to need no escaping (printable ASCII without '"' or
    /// '\\': a case's raw text, a UUID), copied as it is.
    [[gnu::always_inline]] void plainString(std::string_view value) {
        plainString(value.size(), [&](char* p) { std::memcpy(p, value.data(), value.size()); });
    }
    /// The same for a text of `n` such bytes that `fill(p)` writes at p.
    template <class Fill>
    [[gnu::always_inline]] void plainString(std::size_t n, Fill&& fill) {
        beginValue();
        ensure(n + 2);
        *cur_++ = '"';
        std::forward<Fill>(fill)(cur_);
        cur_ += n;
        *cur_++ = '"';
        needComma_ = true;
    }
    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    void key(std::string_view key);
    /// A key that needs no escaping (a record's field name, checked when the
    /// record's table is compiled), written as it is.
    [[gnu::always_inline]] void plainKey(std::string_view key) {
        beginValue();
        ensure(key.size() + 4);
        *cur_++ = '"';
        std::memcpy(cur_, key.data(), key.size());
        cur_ += key.size();
        *cur_++ = '"';
        *cur_++ = ':';
        if (options_.indent >= 0) *cur_++ = ' ';
        afterKey_ = true;
    }
    /// Refuses the value about to be written: throws EncodingError naming
    /// its key path.
    [[noreturn]] void refuseValue(const std::string& detail);

    [[nodiscard]] const CodingOptions& options() const noexcept { return options_; }
    /// The text written so far; the writer is empty afterwards.
    std::string take();
    /// The text written so far in pieces, in order, without joining them
    /// (for writing a long text straight to a file); valid until the next
    /// change of the writer.
    [[nodiscard]] std::vector<std::string_view> pieces() const;
    /// Empties the writer, keeping its buffers for the next text.
    void clear();

    struct Sink;
    /// Texts are written in chunks of about this size.
    static constexpr std::size_t kChunkSize = std::size_t{1} << 20;

  private:
    static constexpr std::size_t kIntegerRoom = 24;

    // Room for n more bytes at cur_: a check, and rarely a new chunk.
    [[gnu::always_inline]] void ensure(std::size_t n) {
        if (static_cast<std::size_t>(end_ - cur_) < n) makeRoom(n);
    }
    void makeRoom(std::size_t n);
    [[gnu::always_inline]] void put(const char* p, std::size_t n) {
        ensure(n);
        std::memcpy(cur_, p, n);
        cur_ += n;
    }
    [[gnu::always_inline]] void put(char c) {
        ensure(1);
        *cur_++ = c;
    }
    [[gnu::always_inline]] void beginValue() {
        justOpened_ = false;
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (needComma_) put(',');
        if (options_.indent >= 0 && depth_ > 0) newline();
    }
    [[gnu::always_inline]] void open(char bracket) {
        beginValue();
        put(bracket);
        ++depth_;
        needComma_ = false;
        justOpened_ = true;
    }
    [[gnu::always_inline]] void close(char bracket) {
        --depth_;
        // An empty container stays "{}" or "[]" when pretty-printed too.
        if (!justOpened_ && options_.indent >= 0) newline();
        put(bracket);
        needComma_ = true;
        justOpened_ = false;
    }
    void quoted(std::string_view text);
    void newline();
    [[nodiscard]] std::size_t used() const noexcept {
        return static_cast<std::size_t>(cur_ - out_.data());
    }
    [[nodiscard]] std::string pathOfNextValue() const;

    std::string out_;      // the chunk being written: its size is its room
    char* cur_ = nullptr;  // where the next byte goes, in out_
    char* end_ = nullptr;  // the end of out_'s room
    std::vector<std::string> chunks_;
    std::size_t chunksSize_ = 0;
    CodingOptions options_;
    std::size_t depth_ = 0;
    bool needComma_ = false;
    bool afterKey_ = false;
    bool justOpened_ = false;
};

/// A handle that codings write through.
class JsonOut {
  public:
    explicit JsonOut(JsonWriter& writer) noexcept : w_(&writer) {}
    [[gnu::always_inline]] void null() { w_->null(); }
    [[gnu::always_inline]] void boolean(bool value) { w_->boolean(value); }
    [[gnu::always_inline]] void integer(std::int64_t value) { w_->integer(value); }
    [[gnu::always_inline]] void unsignedInteger(std::uint64_t value) { w_->unsignedInteger(value); }
    [[gnu::always_inline]] void number(double value) { w_->number(value); }
    [[gnu::always_inline]] void string(std::string_view value) { w_->string(value); }
    [[gnu::always_inline]] void plainString(std::string_view value) { w_->plainString(value); }
    template <class Fill>
    [[gnu::always_inline]] void plainString(std::size_t n, Fill&& fill) {
        w_->plainString(n, std::forward<Fill>(fill));
    }
    [[gnu::always_inline]] void beginObject() { w_->beginObject(); }
    [[gnu::always_inline]] void endObject() { w_->endObject(); }
    [[gnu::always_inline]] void beginArray() { w_->beginArray(); }
    [[gnu::always_inline]] void endArray() { w_->endArray(); }
    /// Writes a member's key; the next value written is its value.
    [[gnu::always_inline]] JsonOut& key(std::string_view key) {
        w_->key(key);
        return *this;
    }
    [[gnu::always_inline]] JsonOut& plainKey(std::string_view key) {
        w_->plainKey(key);
        return *this;
    }
    [[noreturn]] void refuseValue(const std::string& detail) { w_->refuseValue(detail); }
    [[nodiscard]] const CodingOptions& options() const noexcept { return w_->options(); }

  private:
    JsonWriter* w_;
};

/// A parsed document; owns what JsonIn views point into.
class JsonDocument {
  public:
    /// Throws DecodingError(corrupted) for text that is not JSON, is not
    /// valid UTF-8, has anything but white space after the value, or nests
    /// deeper than `options.maxDepth`.
    static JsonDocument parse(std::string_view text, const CodingOptions& options = {});
    /// The same; a text with kJsonPadding bytes of spare capacity is read
    /// in place instead of copied.
    static JsonDocument parse(PaddedText text, const CodingOptions& options = {}) {
        return parse(text.text, options, true);
    }
    template <class S>
    requires std::same_as<S, std::string>
    static JsonDocument parse(const S& text, const CodingOptions& options = {}) {
        return parse(text, options, text.capacity() - text.size() >= kJsonPadding);
    }
    /// Each thread keeps one parser's buffers for the next document when they
    /// were sized for at most this many bytes of text (process-wide).
    static constexpr std::size_t kDefaultRetainedCapacity = std::size_t{256} << 20;
    static void setRetainedCapacity(std::size_t bytes) noexcept;
    JsonDocument(JsonDocument&&) noexcept;
    JsonDocument& operator=(JsonDocument&&) noexcept;
    ~JsonDocument();
    [[nodiscard]] JsonIn root() const;
    /// A cursor at the root value.
    [[nodiscard]] JsonTape tape() const;

  private:
    JsonDocument();
    static JsonDocument parse(std::string_view text, const CodingOptions& options, bool padded);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Coding traits

template <class T, class = void>
struct JsonCoding;  // static void encode(JsonOut, const T&); static T decode(const JsonIn&)

/// A type the library never writes as JSON opts out with VESK_NOT_CODED(T):
/// it then has no coding, and encoding it does not compile.
template <class T>
struct JsonNotCoded : std::false_type {};

template <class C, class M>
struct Field {
    std::string_view key;
    M C::*member;
};
template <class C, class M>
constexpr Field<C, M> field(std::string_view key, M C::*member) {
    return {key, member};
}

/// Specialise with `static constexpr auto fields = std::make_tuple(field(...), ...)`.
template <class T>
struct RecordFields;

template <class T, class = void>
struct IsRecord : std::false_type {};
template <class T>
struct IsRecord<T, std::void_t<decltype(RecordFields<T>::fields)>>
    : std::bool_constant<!JsonNotCoded<T>::value> {};

/// A record whose `children` hold records of its own type (a call tree):
/// VESK_TREE_CHILDREN(T, &T::children). Its coding walks the tree with a
/// stack of its own, so depth costs heap, never machine stack.
template <class T>
struct TreeChildren;
template <class T, class = void>
struct IsTree : std::false_type {};
template <class T>
struct IsTree<T, std::void_t<decltype(TreeChildren<T>::member)>> : std::true_type {};
/// The type of a tree record's children field (a vector of the record, or
/// anything with size(), operator[], reserve() and emplace_back()).
template <class T>
using TreeChildrenType =
    std::remove_cvref_t<decltype(std::declval<T&>().*(TreeChildren<T>::member))>;

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

/// Whether a type has a JSON coding at all.
template <class T>
concept JsonCodable = requires(JsonOut out, const T& value, const JsonIn& in) {
    JsonCoding<T>::encode(out, value);
    { JsonCoding<T>::decode(in) } -> std::same_as<T>;
};

template <class T>
void encodeValue(JsonOut out, const T& value) {
    JsonCoding<T>::encode(out, value);
}
template <class T>
T decodeValue(const JsonIn& in) {
    return JsonCoding<T>::decode(in);
}
/// A coding that also reads in one pass has `read(In&, T&)` (In a JsonTape,
/// or a template for JsonStream too): it stores the value at the cursor into
/// a default-made T and moves past it, or returns false for anything
/// JsonIn's decode would not give the same value for.
///
/// Reads the value at the cursor (a JsonTape or a JsonStream) into `out`. On
/// the tape, a coding without a reader decodes a view instead; a stream
/// gives up on it.
template <class In, class T>
bool readValue(In& in, T& out) {
    if constexpr (requires { JsonCoding<T>::read(in, out); }) {
        return JsonCoding<T>::read(in, out);
    } else if constexpr (std::is_same_v<In, JsonTape>) {
        try {
            out = JsonCoding<T>::decode(in.view());
        } catch (const DecodingError&) {
            return false;
        }
        in.skip();
        return true;
    } else {
        return false;
    }
}

template <>
struct JsonCoding<bool> {
    static void encode(JsonOut out, bool v) { out.boolean(v); }
    static bool decode(const JsonIn& in) { return in.boolean(); }
    template <class In>
    static bool read(In& in, bool& v) {
        return in.readBool(v);
    }
};

template <std::integral T>
requires(!std::is_same_v<T, bool>) struct JsonCoding<T> {
    static void encode(JsonOut out, T v) {
        if constexpr (std::is_signed_v<T>) {
            out.integer(static_cast<std::int64_t>(v));
        } else {
            out.unsignedInteger(static_cast<std::uint64_t>(v));
        }
    }
    static T decode(const JsonIn& in) {
        if constexpr (std::is_signed_v<T>) {
            const std::int64_t v = in.integer();
            if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
                in.fail(DecodingError::Fault::invalidValue, "integer out of range");
            }
            return static_cast<T>(v);
        } else {
            const std::uint64_t v = in.unsignedInteger();
            if (v > std::numeric_limits<T>::max()) {
                in.fail(DecodingError::Fault::invalidValue, "integer out of range");
            }
            return static_cast<T>(v);
        }
    }
    template <class In>
    static bool read(In& in, T& out) {
        if constexpr (std::is_signed_v<T>) {
            std::int64_t v = 0;
            if (!in.readInt64(v) || v < std::numeric_limits<T>::min() ||
                v > std::numeric_limits<T>::max()) {
                return false;
            }
            out = static_cast<T>(v);
        } else {
            std::uint64_t v = 0;
            if (!in.readUInt64(v) || v > std::numeric_limits<T>::max()) return false;
            out = static_cast<T>(v);
        }
        return true;
    }
};

template <>
struct JsonCoding<double> {
    static void encode(JsonOut out, double v) { out.number(v); }
    static double decode(const JsonIn& in) { return in.number(); }
    template <class In>
    static bool read(In& in, double& v) {
        return in.readDouble(v);
    }
};

template <>
struct JsonCoding<std::string> {
    static void encode(JsonOut out, const std::string& v) { out.string(v); }
    static std::string decode(const JsonIn& in) { return std::string(in.stringView()); }
    template <class In>
    static bool read(In& in, std::string& v) {
        std::string_view text;
        if (!in.readString(text)) return false;
        v = std::string(text);
        return true;
    }
};

namespace detail {
/// Whether a text is printable ASCII with nothing to escape.
constexpr bool isPlainText(std::string_view text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7f || c == '"' || c == '\\') return false;
    }
    return true;
}
}  // namespace detail

template <class E>
struct JsonCoding<E, std::enable_if_t<isRawEnum<E> && !JsonNotCoded<E>::value>> {
    static_assert(std::all_of(RawEnumTraits<E>::cases.begin(), RawEnumTraits<E>::cases.end(),
                              [](const RawCase<E>& c) { return detail::isPlainText(c.raw); }),
                  "a raw text is written as it is: printable ASCII, no quote or backslash");
    static void encode(JsonOut out, E v) {
        const std::string_view raw = rawValue(v);
        // A value that is no case (made from a stray number) has no text to
        // be read back as.
        if (raw.empty() && caseIndex(v) == RawEnumTraits<E>::cases.size()) {
            out.refuseValue("a value that is no case has no JSON form");
        }
        out.plainString(raw);
    }
    static E decode(const JsonIn& in) {
        const std::string_view raw = in.stringView();
        auto v = fromRawValue<E>(raw);
        if (!v) {
            in.fail(DecodingError::Fault::invalidValue,
                    "\"" + std::string(raw) + "\" is not a case");
        }
        return *v;
    }
    template <class In>
    static bool read(In& in, E& out) {
        std::string_view raw;
        if (!in.readString(raw)) return false;
        const auto v = fromRawValue<E>(raw);
        if (!v) return false;
        out = *v;
        return true;
    }
};

template <class T>
struct JsonCoding<std::optional<T>> {
    static void encode(JsonOut out, const std::optional<T>& v) {
        if (v) {
            encodeValue(out, *v);
        } else {
            out.null();
        }
    }
    static std::optional<T> decode(const JsonIn& in) {
        if (in.isNull()) return std::nullopt;
        return decodeValue<T>(in);
    }
    template <class In>
    static bool read(In& in, std::optional<T>& v) {
        if (in.readNull()) {
            v.reset();
            return true;
        }
        if constexpr (std::is_default_constructible_v<T>) {
            return readValue(in, v.emplace());
        } else if constexpr (!std::is_same_v<In, JsonTape>) {
            return false;
        } else {
            try {
                v.emplace(decodeValue<T>(in.view()));
            } catch (const DecodingError&) {
                return false;
            }
            in.skip();
            return true;
        }
    }
};

namespace detail {

/// Room reserved ahead for `count` elements: no more than 16 MiB of them,
/// so a long array of something else never reserves gigabytes of records.
template <class T>
constexpr std::size_t reserveFor(std::size_t count) {
    return std::min(count, (std::size_t{16} << 20) / sizeof(T) + 1);
}

}  // namespace detail

template <class T>
struct JsonCoding<std::vector<T>> {
    static void encode(JsonOut out, const std::vector<T>& v) {
        out.beginArray();
        for (const auto& e : v) encodeValue(out, e);
        out.endArray();
    }
    static std::vector<T> decode(const JsonIn& in) {
        std::vector<T> out;
        out.reserve(detail::reserveFor<T>(in.size()));
        in.forEachElement([&](const JsonIn& e) { out.push_back(decodeValue<T>(e)); });
        return out;
    }
    template <class In>
    static bool read(In& in, std::vector<T>& out) {
        std::size_t end = 0;
        std::size_t count = 0;
        if (!in.enter('[', end, count)) return false;
        out.clear();
        out.reserve(detail::reserveFor<T>(count));
        while (in.before(end)) {
            if constexpr (std::is_default_constructible_v<T>) {
                if (!readValue(in, out.emplace_back())) return false;
            } else if constexpr (!std::is_same_v<In, JsonTape>) {
                return false;
            } else {
                try {
                    out.push_back(decodeValue<T>(in.view()));
                } catch (const DecodingError&) {
                    return false;
                }
                in.skip();
            }
        }
        in.leave();
        return true;
    }
};

/// Maps keyed by text are objects; maps keyed by an enumeration are arrays
/// alternating key and value.
template <class K, class V>
struct JsonCoding<std::map<K, V>> {
    static void encode(JsonOut out, const std::map<K, V>& m) {
        if constexpr (std::is_same_v<K, std::string>) {
            out.beginObject();
            for (const auto& [k, v] : m) encodeValue(out.key(k), v);
            out.endObject();
        } else {
            out.beginArray();
            for (const auto& [k, v] : m) {
                encodeValue(out, k);
                encodeValue(out, v);
            }
            out.endArray();
        }
    }
    static std::map<K, V> decode(const JsonIn& in) {
        std::map<K, V> m;
        if constexpr (std::is_same_v<K, std::string>) {
            if (!in.isObject()) in.fail(DecodingError::Fault::wrongType, "expected an object");
            for (const auto& [k, v] : in.members()) m.insert_or_assign(k, decodeValue<V>(v));
        } else {
            if (in.size() % 2 != 0) {
                in.fail(DecodingError::Fault::invalidValue, "expected key and value pairs");
            }
            JsonIn::Node cursor;
            std::size_t end = 0;
            std::size_t i = 0;
            for (bool more = in.firstElement(cursor, end); more;
                 more = JsonIn::nextElement(cursor, end)) {
                K key = decodeValue<K>(JsonIn(cursor, &in.options(), &in, {}, i++));
                JsonIn::nextElement(cursor, end);  // the count is even: a value follows
                m.insert_or_assign(std::move(key),
                                   decodeValue<V>(JsonIn(cursor, &in.options(), &in, {}, i++)));
            }
        }
        return m;
    }
    template <class In>
    static bool read(In& in, std::map<K, V>& m) {
        if constexpr (!std::is_default_constructible_v<V> || !std::is_default_constructible_v<K>) {
            return false;
        } else {
            std::size_t end = 0;
            std::size_t count = 0;
            m.clear();
            if (!in.enter(std::is_same_v<K, std::string> ? '{' : '[', end, count)) return false;
            while (in.before(end)) {
                K key{};
                if (!readValue(in, key) || !in.before(end)) return false;  // a key without a value
                V value{};
                if (!readValue(in, value)) return false;
                m.insert_or_assign(std::move(key), std::move(value));
            }
            in.leave();
            return true;
        }
    }
};

namespace detail {

template <class T>
constexpr std::size_t fieldCount = std::tuple_size_v<decltype(RecordFields<T>::fields)>;

template <class T>
constexpr auto fieldKeys() {
    return std::apply(
        [](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.key...}; },
        RecordFields<T>::fields);
}

/// Field positions in the byte order of their keys: records are written
/// with sorted keys, as they always have been.
template <class T>
constexpr auto sortedFieldOrder() {
    constexpr auto keys = fieldKeys<T>();
    std::array<std::size_t, keys.size()> order{};
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    for (std::size_t i = 1; i < order.size(); ++i) {
        for (std::size_t j = i; j > 0 && keys[order[j]] < keys[order[j - 1]]; --j) {
            const std::size_t t = order[j];
            order[j] = order[j - 1];
            order[j - 1] = t;
        }
    }
    return order;
}

/// Whether every key is printable ASCII with nothing to escape.
template <std::size_t N>
constexpr bool plainKeys(const std::array<std::string_view, N>& keys) {
    return std::all_of(keys.begin(), keys.end(), isPlainText);
}

template <class T, class M>
[[gnu::always_inline]] inline void encodeField(JsonOut out, const T& v, const Field<T, M>& f) {
    const M& value = v.*(f.member);
    if constexpr (IsOptional<M>::value) {
        if (!value) return;  // absent optionals are left out, never null
    }
    encodeValue(out.plainKey(f.key), value);
}

template <class T, class M>
void decodeField(const JsonIn& in, T& v, const Field<T, M>& f, JsonIn::Node found) {
    if (!found.present()) {
        if constexpr (!IsOptional<M>::value) {
            in.missingMember(f.key).fail(DecodingError::Fault::keyMissing, "");
        }
        return;
    }
    v.*(f.member) = decodeValue<M>(in.member(found, f.key));
}

/// Writes the fields at sorted positions [From, To), skipping the tree's
/// children, which the tree walk writes itself.
template <class T, std::size_t From, std::size_t To>
void encodeSortedFields(JsonOut out, const T& v) {
    constexpr auto order = sortedFieldOrder<T>();
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                const auto& f = std::get<order[From + I]>(RecordFields<T>::fields);
                if constexpr (IsTree<T>::value) {
                    using M = std::remove_cvref_t<decltype(v.*(f.member))>;
                    if constexpr (std::is_same_v<M, TreeChildrenType<T>>) {
                        return;
                    } else {
                        encodeField(out, v, f);
                    }
                } else {
                    encodeField(out, v, f);
                }
            }(),
            ...);
    }
    (std::make_index_sequence<To - From>{});
}

/// Decodes every field present in `found`; for a tree, all but its children.
template <class T>
void decodeFields(const JsonIn& in, T& v, const JsonIn::Node* found) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                const auto& f = std::get<I>(RecordFields<T>::fields);
                if constexpr (IsTree<T>::value) {
                    using M = std::remove_cvref_t<decltype(v.*(f.member))>;
                    if constexpr (std::is_same_v<M, TreeChildrenType<T>>) {
                        if (!found[I].present()) {
                            in.missingMember(f.key).fail(DecodingError::Fault::keyMissing, "");
                        }
                        return;
                    } else {
                        decodeField(in, v, f, found[I]);
                    }
                } else {
                    decodeField(in, v, f, found[I]);
                }
            }(),
            ...);
    }
    (std::make_index_sequence<fieldCount<T>>{});
}

template <class T>
constexpr std::size_t childrenFieldIndex() {
    constexpr auto keys = fieldKeys<T>();
    std::size_t index = keys.size();
    if constexpr (IsTree<T>::value) {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((std::is_same_v<
                  std::remove_cvref_t<decltype(std::declval<const T&>().*
                                               (std::get<I>(RecordFields<T>::fields).member))>,
                  TreeChildrenType<T>>
                  ? (index = I, 0)
                  : 0),
             ...);
        }
        (std::make_index_sequence<keys.size()>{});
    }
    return index;
}

template <class T>
constexpr std::size_t childrenSortedPosition() {
    constexpr auto order = sortedFieldOrder<T>();
    constexpr std::size_t field = childrenFieldIndex<T>();
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i] == field) return i;
    }
    return order.size();
}

}  // namespace detail

template <class T>
struct JsonCoding<T, std::enable_if_t<IsRecord<T>::value>> {
    static constexpr std::size_t N = detail::fieldCount<T>;
    static constexpr auto keys = detail::fieldKeys<T>();
    static_assert(detail::plainKeys(keys), "a record's keys are written without escaping");
    static constexpr auto order = detail::sortedFieldOrder<T>();
    /// The keys in the order records write them, which is how they are looked for.
    static constexpr auto sortedKeys = [] {
        std::array<std::string_view, N> k{};
        for (std::size_t i = 0; i < N; ++i) k[i] = keys[order[i]];
        return k;
    }();

    /// Finds every field's member in one pass, in declaration order.
    static std::array<JsonIn::Node, N> collectFields(const JsonIn& in) {
        std::array<JsonIn::Node, N> sorted{};
        in.collect(sortedKeys.data(), sorted.data(), N);
        std::array<JsonIn::Node, N> found{};
        for (std::size_t i = 0; i < N; ++i) found[order[i]] = sorted[i];
        return found;
    }

    static void encode(JsonOut out, const T& v) {
        if constexpr (IsTree<T>::value) {
            encodeTree(out, v);
        } else {
            out.beginObject();
            detail::encodeSortedFields<T, 0, N>(out, v);
            out.endObject();
        }
    }
    static T decode(const JsonIn& in) {
        if constexpr (IsTree<T>::value) {
            return decodeTree(in);
        } else {
            const std::array<JsonIn::Node, N> found = collectFields(in);
            T v{};
            detail::decodeFields(in, v, found.data());
            return v;
        }
    }

    template <class In>
    static bool read(In& in, T& v) {
        if constexpr (IsTree<T>::value) {
            return readTree(in, v);
        } else {
            std::size_t end = 0;
            std::size_t count = 0;
            if (!in.enter('{', end, count)) return false;
            std::uint64_t seen = 0;
            std::size_t next = 0;
            return readMembers(in, v, end, seen, next) == Step::done;
        }
    }

  private:
    static constexpr std::size_t kChildren = detail::childrenFieldIndex<T>();
    static constexpr std::size_t kChildrenSorted = detail::childrenSortedPosition<T>();

    static_assert(N <= 64, "a record's fields are counted in one 64-bit mask");
    /// Sorted positions of the fields that must be present.
    static constexpr std::uint64_t kRequired = [] {
        std::uint64_t mask = 0;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((IsOptional<std::remove_cvref_t<
                      decltype(std::declval<const T&>().*
                               (std::get<order[I]>(RecordFields<T>::fields).member))>>::value
                  ? 0
                  : (mask |= std::uint64_t{1} << I, 0)),
             ...);
        }
        (std::make_index_sequence<N>{});
        return mask;
    }();

    template <std::size_t F, class In>
    static bool readField(In& in, T& v) {
        auto& member = v.*(std::get<F>(RecordFields<T>::fields).member);
        using M = std::remove_cvref_t<decltype(member)>;
        if constexpr (IsTree<T>::value) {
            if constexpr (std::is_same_v<M, TreeChildrenType<T>>) {
                return false;  // the tree walk reads children itself
            } else {
                return readValue(in, member);
            }
        } else {
            return readValue(in, member);
        }
    }
    /// Reads the field at sorted position `k`.
    template <class In>
    static bool readSorted(In& in, T& v, std::size_t k) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            bool ok = false;
            (void)((k == I && (ok = readField<order[I], In>(in, v), true)) || ...);
            return ok;
        }
        (std::make_index_sequence<N>{});
    }

    enum class Step { done, children, fail };
    /// Reads members up to `end` (and past it), or up to a tree's children
    /// (the cursor then at their array). Each key is looked for from the one
    /// after the last found, round the table, so keys in the order records
    /// write them are found at the first try. A key given twice fails: which
    /// one counts is JsonIn's to say.
    template <class In>
    static Step readMembers(In& in, T& v, std::size_t end, std::uint64_t& seen, std::size_t& next) {
        while (in.before(end)) {
            std::size_t k = next;
            std::size_t tried = 0;
            while (tried < N && !in.takeKey(sortedKeys[k])) {
                ++tried;
                k = k + 1 == N ? 0 : k + 1;
            }
            if (tried == N) {  // a key of no field: it and its value are skipped
                in.skip();
                in.skip();
                continue;
            }
            next = k + 1 == N ? 0 : k + 1;
            const std::uint64_t bit = std::uint64_t{1} << k;
            if ((seen & bit) != 0) return Step::fail;
            seen |= bit;
            if constexpr (IsTree<T>::value) {
                if (k == kChildrenSorted) return Step::children;
            }
            if (!readSorted(in, v, k)) return Step::fail;
        }
        in.leave();
        return (seen & kRequired) == kRequired ? Step::done : Step::fail;
    }

    /// The tree in one pass with a stack of open nodes: a node's members are
    /// read up to its children, each child in turn, then the rest.
    template <class In>
    static bool readTree(In& in, T& root) {
        struct Level {
            T* node;
            std::size_t objectEnd;
            std::uint64_t seen;
            std::size_t next;
            std::size_t arrayEnd;
        };
        std::vector<Level> open;
        std::size_t count = 0;
        Level top{&root, 0, 0, 0, 0};
        if (!in.enter('{', top.objectEnd, count)) return false;
        for (;;) {
            const Step step = readMembers(in, *top.node, top.objectEnd, top.seen, top.next);
            if (step == Step::fail) return false;
            if (step == Step::children) {
                if (!in.enter('[', top.arrayEnd, count)) return false;
                (top.node->*(TreeChildren<T>::member)).reserve(detail::reserveFor<T>(count));
                open.push_back(top);
            } else if (open.empty()) {
                return true;
            }
            // The next child of the innermost open list, or back to its node.
            // Earlier siblings are complete and no level points into them, so
            // the list may move as it grows.
            Level& parent = open.back();
            if (in.before(parent.arrayEnd)) {
                T& child = (parent.node->*(TreeChildren<T>::member)).emplace_back();
                top = Level{&child, 0, 0, 0, 0};
                if (!in.enter('{', top.objectEnd, count)) return false;
            } else {
                in.leave();
                top = parent;
                open.pop_back();
            }
        }
    }

    static void openNode(JsonOut out, const T& v) {
        out.beginObject();
        detail::encodeSortedFields<T, 0, kChildrenSorted>(out, v);
        out.plainKey(keys[kChildren]);
        out.beginArray();
    }
    static void closeNode(JsonOut out, const T& v) {
        out.endArray();
        detail::encodeSortedFields<T, kChildrenSorted + 1, N>(out, v);
        out.endObject();
    }

    static void encodeTree(JsonOut out, const T& root) {
        struct Level {
            const T* node;
            std::size_t next;
        };
        std::vector<Level> stack;
        openNode(out, root);
        stack.push_back({&root, 0});
        while (!stack.empty()) {
            Level& top = stack.back();
            const auto& children = top.node->*(TreeChildren<T>::member);
            if (top.next < children.size()) {
                const T& child = children[top.next++];
                openNode(out, child);
                stack.push_back({&child, 0});
            } else {
                closeNode(out, *top.node);
                stack.pop_back();
            }
        }
    }

    // Decodes a node's own fields and returns a view of its children array.
    static JsonIn decodeNode(const JsonIn& in, T& v) {
        const std::array<JsonIn::Node, N> found = collectFields(in);
        detail::decodeFields(in, v, found.data());
        return in.member(found[kChildren], keys[kChildren]);
    }

    static T decodeTree(const JsonIn& in) {
        // Views point at their parents for error paths, so levels live in a
        // deque, whose elements stay put while it grows and shrinks.
        struct Level {
            JsonIn children;
            T* node = nullptr;
            JsonIn::Node cursor;
            std::size_t end = 0;
            bool more = false;
            std::size_t next = 0;
            JsonIn element;
        };
        T root{};
        std::deque<Level> stack;
        const auto push = [&stack](const JsonIn& children, T* node) {
            Level& level = stack.emplace_back();
            level.children = children;
            level.node = node;
            (node->*(TreeChildren<T>::member)).reserve(children.size());
            level.more = level.children.firstElement(level.cursor, level.end);
        };
        push(decodeNode(in, root), &root);
        while (!stack.empty()) {
            Level& top = stack.back();
            if (!top.more) {
                stack.pop_back();
                continue;
            }
            top.element = JsonIn(top.cursor, &in.options(), &top.children, {}, top.next++);
            top.more = JsonIn::nextElement(top.cursor, top.end);
            // Reserved to the exact count above, so `child` never moves.
            T& child = (top.node->*(TreeChildren<T>::member)).emplace_back();
            push(decodeNode(top.element, child), &child);
        }
        return root;
    }
};

/// Encodes any codable value as JSON text.
template <class T>
std::string encodeJSON(const T& value, const CodingOptions& options = {}) {
    JsonWriter writer(options);
    encodeValue(JsonOut(writer), value);
    return writer.take();
}

/// Decodes a parsed document's root value: in one pass over the tape, or,
/// when that pass meets anything unusual, through JsonIn, which throws
/// DecodingError naming what and where.
template <class T>
T decodeDocument(const JsonDocument& doc) {
    if constexpr (std::is_default_constructible_v<T>) {
        T value{};
        JsonTape tape = doc.tape();
        if (readValue(tape, value)) return value;
    }
    return decodeValue<T>(doc.root());
}

/// Decodes JSON text into a value; throws DecodingError.
template <class T>
T decodeJSON(std::string_view text, const CodingOptions& options = {}) {
    return decodeDocument<T>(JsonDocument::parse(text, options));
}

/// The same for a padded text, read in place.
template <class T>
T decodeJSON(PaddedText text, const CodingOptions& options = {}) {
    return decodeDocument<T>(JsonDocument::parse(text, options));
}

/// The same for a string, read in place when it has kJsonPadding bytes of
/// spare capacity (as every text of encodeJSON has).
template <class T, class S>
requires std::same_as<S, std::string> T decodeJSON(const S& text,
                                                   const CodingOptions& options = {}) {
    return decodeDocument<T>(JsonDocument::parse(text, options));
}

}  // namespace vesk

/// Declares the JSON fields of a record in declaration order:
/// VESK_RECORD(T, vesk::field("a", &T::a), ...).
#define VESK_RECORD(T, ...)                                          \
    template <>                                                      \
    struct vesk::RecordFields<T> {                                   \
        static constexpr auto fields = std::make_tuple(__VA_ARGS__); \
    }

/// Declares the member of a record that holds child records of its own type.
#define VESK_TREE_CHILDREN(T, M)          \
    template <>                           \
    struct vesk::TreeChildren<T> {        \
        static constexpr auto member = M; \
    }

/// Declares that a type with a raw value or a field table is never JSON.
#define VESK_NOT_CODED(T) \
    template <>           \
    struct vesk::JsonNotCoded<T> : std::true_type {}
