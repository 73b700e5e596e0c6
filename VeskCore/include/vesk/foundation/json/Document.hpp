// A parsed document and the read-only views into it that say where a
// value failed (the parser itself is in Document.cpp alone).
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vesk/foundation/json/Options.hpp"

namespace vesk {

class JsonTape;

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
        // nextElement moves the cursor, and says whether there is more.
        for (bool more = firstElement(cursor, end); more;  // NOLINT(bugprone-infinite-loop)
             more = nextElement(cursor, end)) {
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
    [[nodiscard]] static std::size_t retainedCapacity() noexcept;
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

}  // namespace vesk
