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

#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/json/Document.hpp"
#include "vesk/foundation/json/Options.hpp"
#include "vesk/foundation/json/Tape.hpp"
#include "vesk/foundation/json/Writer.hpp"

namespace vesk {

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
