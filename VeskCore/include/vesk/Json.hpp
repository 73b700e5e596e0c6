// JSON coding for every record of the library.
//
// Records never touch a JSON parser: they declare their fields once with
// VESK_RECORD (or specialise JsonCoding for a special shape) and the generic
// encode/decode below do the rest. The parser itself lives in one
// translation unit behind JsonIn/JsonOut.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "vesk/RawEnum.hpp"

namespace vesk {

/// How dates are written and read.
enum class DateStrategy {
    referenceDateSeconds,  ///< seconds since 2001-01-01T00:00:00Z as a JSON number (the default)
    iso8601,               ///< internet date-time, UTC, whole seconds, "Z"
};

struct CodingOptions {
    DateStrategy dates = DateStrategy::referenceDateSeconds;
    int indent = -1;  ///< encoding only: -1 compact, otherwise pretty with this many spaces
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

/// A read-only view of one node of a parsed document. Views are created on
/// the stack while descending and remember their parent for error paths.
class JsonIn {
  public:
    [[nodiscard]] bool isNull() const;
    [[nodiscard]] bool isObject() const;
    [[nodiscard]] bool isArray() const;
    [[nodiscard]] bool isString() const;

    [[nodiscard]] bool boolean() const;
    [[nodiscard]] std::int64_t integer() const;
    [[nodiscard]] std::uint64_t unsignedInteger() const;
    [[nodiscard]] double number() const;
    [[nodiscard]] std::string string() const;

    /// Member of an object (the node must be an object); none when missing.
    [[nodiscard]] std::optional<JsonIn> find(std::string_view key) const;
    /// Member that must be present.
    [[nodiscard]] JsonIn require(std::string_view key) const;
    /// Array size and elements (the node must be an array).
    [[nodiscard]] std::size_t size() const;
    [[nodiscard]] JsonIn at(std::size_t index) const;
    /// Object members in document order of keys.
    [[nodiscard]] std::vector<std::pair<std::string, JsonIn>> members() const;

    [[nodiscard]] const CodingOptions& options() const noexcept { return *options_; }
    [[nodiscard]] std::string path() const;
    [[noreturn]] void fail(DecodingError::Fault fault, const std::string& detail) const;

    JsonIn(const void* node, const CodingOptions* options, const JsonIn* parent,
           std::string_view key, std::size_t index) noexcept
        : node_(node), options_(options), parent_(parent), key_(key), index_(index) {}

  private:
    const void* node_;
    const CodingOptions* options_;
    const JsonIn* parent_;
    std::string_view key_;  // empty with parent_ set: an array element at index_
    std::size_t index_;
};

/// A writable handle to one node of a document being built.
class JsonOut {
  public:
    void null();
    void boolean(bool value);
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    void number(double value);
    void string(std::string_view value);
    void emptyObject();
    void emptyArray();
    /// Turns the node into an object if needed and returns its new member.
    JsonOut member(std::string_view key);
    /// Turns the node into an array if needed and returns a new last element.
    JsonOut element();

    [[nodiscard]] const CodingOptions& options() const noexcept { return *options_; }

    JsonOut(void* node, const CodingOptions* options) noexcept : node_(node), options_(options) {}

  private:
    void* node_;
    const CodingOptions* options_;
};

/// A parsed document; owns the tree that JsonIn views point into.
class JsonDocument {
  public:
    /// Throws DecodingError(corrupted) for text that is not JSON.
    static JsonDocument parse(std::string_view text, CodingOptions options = {});
    JsonDocument(JsonDocument&&) noexcept;
    JsonDocument& operator=(JsonDocument&&) noexcept;
    ~JsonDocument();
    [[nodiscard]] JsonIn root() const;

  private:
    JsonDocument();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// A document being built.
class JsonBuilder {
  public:
    explicit JsonBuilder(CodingOptions options = {});
    JsonBuilder(JsonBuilder&&) noexcept;
    JsonBuilder& operator=(JsonBuilder&&) noexcept;
    ~JsonBuilder();
    JsonOut root();
    [[nodiscard]] std::string dump() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Coding traits

template <class T, class = void>
struct JsonCoding;  // static void encode(JsonOut, const T&); static T decode(const JsonIn&)

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
struct IsRecord<T, std::void_t<decltype(RecordFields<T>::fields)>> : std::true_type {};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

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
    static std::string decode(const JsonIn& in) { return in.string(); }
};

template <class E>
struct JsonCoding<E, std::enable_if_t<isRawEnum<E>>> {
    static void encode(JsonOut out, E v) { out.string(rawValue(v)); }
    static E decode(const JsonIn& in) {
        const std::string raw = in.string();
        auto v = fromRawValue<E>(raw);
        if (!v) in.fail(DecodingError::Fault::invalidValue, "\"" + raw + "\" is not a case");
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
        out.emptyArray();
        for (const auto& e : v) encodeValue(out.element(), e);
    }
    static std::vector<T> decode(const JsonIn& in) {
        const std::size_t n = in.size();
        std::vector<T> out;
        out.reserve(n);
        for (std::size_t i = 0; i < n; ++i) out.push_back(decodeValue<T>(in.at(i)));
        return out;
    }
};

/// Maps keyed by text are objects; maps keyed by an enumeration are arrays
/// alternating key and value.
template <class K, class V>
struct JsonCoding<std::map<K, V>> {
    static void encode(JsonOut out, const std::map<K, V>& m) {
        if constexpr (std::is_same_v<K, std::string>) {
            out.emptyObject();
            for (const auto& [k, v] : m) encodeValue(out.member(k), v);
        } else {
            out.emptyArray();
            for (const auto& [k, v] : m) {
                encodeValue(out.element(), k);
                encodeValue(out.element(), v);
            }
        }
    }
    static std::map<K, V> decode(const JsonIn& in) {
        std::map<K, V> m;
        if constexpr (std::is_same_v<K, std::string>) {
            if (!in.isObject()) in.fail(DecodingError::Fault::wrongType, "expected an object");
            for (const auto& [k, v] : in.members()) m.insert_or_assign(k, decodeValue<V>(v));
        } else {
            const std::size_t n = in.size();
            if (n % 2 != 0) {
                in.fail(DecodingError::Fault::invalidValue, "expected key and value pairs");
            }
            for (std::size_t i = 0; i < n; i += 2) {
                m.insert_or_assign(decodeValue<K>(in.at(i)), decodeValue<V>(in.at(i + 1)));
            }
        }
        return m;
    }
};

template <class T>
struct JsonCoding<T, std::enable_if_t<IsRecord<T>::value>> {
    static void encode(JsonOut out, const T& v) {
        out.emptyObject();
        std::apply([&](const auto&... f) { (encodeField(out, v, f), ...); },
                   RecordFields<T>::fields);
    }
    static T decode(const JsonIn& in) {
        if (!in.isObject()) in.fail(DecodingError::Fault::wrongType, "expected an object");
        T v{};
        std::apply([&](const auto&... f) { (decodeField(in, v, f), ...); },
                   RecordFields<T>::fields);
        return v;
    }

  private:
    template <class M>
    static void encodeField(JsonOut& out, const T& v, const Field<T, M>& f) {
        const M& value = v.*(f.member);
        if constexpr (IsOptional<M>::value) {
            if (!value) return;  // absent optionals are left out, never null
        }
        encodeValue(out.member(f.key), value);
    }
    template <class M>
    static void decodeField(const JsonIn& in, T& v, const Field<T, M>& f) {
        if constexpr (IsOptional<M>::value) {
            if (auto m = in.find(f.key)) v.*(f.member) = decodeValue<M>(*m);
        } else {
            v.*(f.member) = decodeValue<M>(in.require(f.key));
        }
    }
};

/// Encodes any codable value as JSON text.
template <class T>
std::string encodeJSON(const T& value, CodingOptions options = {}) {
    JsonBuilder builder(options);
    encodeValue(builder.root(), value);
    return builder.dump();
}

/// Decodes JSON text into a value; throws DecodingError.
template <class T>
T decodeJSON(std::string_view text, CodingOptions options = {}) {
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
