// JSON coding for every record of the library.
//
// Records never touch a JSON parser: they declare their fields once with
// VESK_RECORD (or specialise JsonCoding for a special shape) and the generic
// encode/decode below do the rest. The parser itself lives in one
// translation unit behind JsonIn/JsonOut.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <deque>
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

/// Writes JSON text directly, compact or pretty-printed; keys and values are
/// written in the order they are given.
class JsonWriter {
  public:
    explicit JsonWriter(const CodingOptions& options = {});

    void null();
    void boolean(bool value);
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    /// Shortest text that reads back to the same double. NaN and infinity
    /// have no JSON form: they throw EncodingError naming the key path, so a
    /// record is never written in a form that cannot be read back.
    void number(double value);
    /// Control characters escaped, "/" as it is, invalid UTF-8 replaced by U+FFFD.
    void string(std::string_view value);
    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    void key(std::string_view key);
    /// A key that needs no escaping (a record's field name, checked when the
    /// record's table is compiled), written as it is.
    void plainKey(std::string_view key);
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

  private:
    [[nodiscard]] Sink sink();
    static constexpr std::size_t kChunkSize = std::size_t{1} << 20;
    void beginValue();
    void newline();
    void open(char bracket);
    void close(char bracket);
    [[nodiscard]] std::string pathOfNextValue() const;

    std::string out_;       // the chunk being written: its size is its room
    std::size_t used_ = 0;  // how much of it is written
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
    void null() { w_->null(); }
    void boolean(bool value) { w_->boolean(value); }
    void integer(std::int64_t value) { w_->integer(value); }
    void unsignedInteger(std::uint64_t value) { w_->unsignedInteger(value); }
    void number(double value) { w_->number(value); }
    void string(std::string_view value) { w_->string(value); }
    void beginObject() { w_->beginObject(); }
    void endObject() { w_->endObject(); }
    void beginArray() { w_->beginArray(); }
    void endArray() { w_->endArray(); }
    /// Writes a member's key; the next value written is its value.
    JsonOut& key(std::string_view key) {
        w_->key(key);
        return *this;
    }
    JsonOut& plainKey(std::string_view key) {
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

template <>
struct JsonCoding<bool> {
    static void encode(JsonOut out, bool v) { out.boolean(v); }
    static bool decode(const JsonIn& in) { return in.boolean(); }
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
};

template <>
struct JsonCoding<double> {
    static void encode(JsonOut out, double v) { out.number(v); }
    static double decode(const JsonIn& in) { return in.number(); }
};

template <>
struct JsonCoding<std::string> {
    static void encode(JsonOut out, const std::string& v) { out.string(v); }
    static std::string decode(const JsonIn& in) { return std::string(in.stringView()); }
};

template <class E>
struct JsonCoding<E, std::enable_if_t<isRawEnum<E> && !JsonNotCoded<E>::value>> {
    static void encode(JsonOut out, E v) { out.string(rawValue(v)); }
    static E decode(const JsonIn& in) {
        const std::string_view raw = in.stringView();
        auto v = fromRawValue<E>(raw);
        if (!v) {
            in.fail(DecodingError::Fault::invalidValue,
                    "\"" + std::string(raw) + "\" is not a case");
        }
        return *v;
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
};

template <class T>
struct JsonCoding<std::vector<T>> {
    static void encode(JsonOut out, const std::vector<T>& v) {
        out.beginArray();
        for (const auto& e : v) encodeValue(out, e);
        out.endArray();
    }
    static std::vector<T> decode(const JsonIn& in) {
        std::vector<T> out;
        out.reserve(in.size());
        in.forEachElement([&](const JsonIn& e) { out.push_back(decodeValue<T>(e)); });
        return out;
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
    for (const std::string_view k : keys) {
        for (const char c : k) {
            if (c < 0x20 || c == '"' || c == '\\' || c == 0x7f) return false;
        }
    }
    return true;
}

template <class T, class M>
void encodeField(JsonOut out, const T& v, const Field<T, M>& f) {
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

  private:
    static constexpr std::size_t kChildren = detail::childrenFieldIndex<T>();
    static constexpr std::size_t kChildrenSorted = detail::childrenSortedPosition<T>();

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

/// Decodes JSON text into a value; throws DecodingError.
template <class T>
T decodeJSON(std::string_view text, const CodingOptions& options = {}) {
    const JsonDocument doc = JsonDocument::parse(text, options);
    return decodeValue<T>(doc.root());
}

/// The same for a padded text, read in place.
template <class T>
T decodeJSON(PaddedText text, const CodingOptions& options = {}) {
    const JsonDocument doc = JsonDocument::parse(text, options);
    return decodeValue<T>(doc.root());
}

/// The same for a string, read in place when it has kJsonPadding bytes of
/// spare capacity (as every text of encodeJSON has).
template <class T, class S>
requires std::same_as<S, std::string> T decodeJSON(const S& text,
                                                   const CodingOptions& options = {}) {
    const JsonDocument doc = JsonDocument::parse(text, options);
    return decodeValue<T>(doc.root());
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
