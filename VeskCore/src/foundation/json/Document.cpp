// Parsed documents: the one place that knows simdjson's DOM parser.
//
// Decoding parses with simdjson into its tape and reads records straight off
// the tape; nothing on the way recurses by nesting depth.
#include "vesk/foundation/json/Document.hpp"

#include <simdjson.h>

#include <atomic>
#include <cmath>
#include <cstring>

#include "vesk/foundation/json/Tape.hpp"

namespace vesk {

namespace {

// The kinds of tape entry (the top byte of each word).
enum class Kind : char {
    string = '"',
    int64 = 'l',
    uint64 = 'u',
    real = 'd',
    yes = 't',
    no = 'f',
    null = 'n',
    array = '[',
    object = '{',
};
static_assert(static_cast<char>(simdjson::dom::element_type::STRING) == '"' &&
              static_cast<char>(simdjson::dom::element_type::INT64) == 'l' &&
              static_cast<char>(simdjson::dom::element_type::UINT64) == 'u' &&
              static_cast<char>(simdjson::dom::element_type::DOUBLE) == 'd' &&
              static_cast<char>(simdjson::dom::element_type::BOOL) == 't' &&
              static_cast<char>(simdjson::dom::element_type::NULL_VALUE) == 'n' &&
              static_cast<char>(simdjson::dom::element_type::ARRAY) == '[' &&
              static_cast<char>(simdjson::dom::element_type::OBJECT) == '{');

constexpr std::uint64_t kPayload = 0x00FFFFFFFFFFFFFFULL;
constexpr std::uint32_t kCountSaturated = 0xFFFFFF;

// One entry of a document's tape, read by the layout JsonTape describes from
// the document's tape and string buffer.
struct Entry {
    const simdjson::dom::document* doc;
    std::size_t index;

    [[nodiscard]] std::uint64_t word() const noexcept { return doc->tape[index]; }
    [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(word() >> 56); }
    template <class T>
    [[nodiscard]] T next() const noexcept {
        T value;
        std::memcpy(&value, &doc->tape[index + 1], sizeof value);
        return value;
    }
    [[nodiscard]] std::string_view text() const noexcept {
        const std::uint8_t* at = doc->string_buf.get() + (word() & kPayload);
        std::uint32_t length = 0;
        std::memcpy(&length, at, sizeof length);
        return {reinterpret_cast<const char*>(at + sizeof length), length};
    }
    /// An array's or object's index past its closing entry.
    [[nodiscard]] std::size_t pastScope() const noexcept {
        return static_cast<std::uint32_t>(word());
    }
    [[nodiscard]] std::uint32_t count() const noexcept {
        return static_cast<std::uint32_t>(word() >> 32) & kCountSaturated;
    }
    [[nodiscard]] std::size_t after() const noexcept {
        switch (kind()) {
            case Kind::array:
            case Kind::object:
                return pastScope();
            case Kind::int64:
            case Kind::uint64:
            case Kind::real:
                return index + 2;
            default:
                return index + 1;
        }
    }
};

Entry ref(const JsonIn::Node& n) {
    return Entry{static_cast<const simdjson::dom::document*>(n.document), n.index};
}

Kind typeOf(const JsonIn::Node& n) {
    return ref(n).kind();
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
    return typeOf(node_) == Kind::null;
}
bool JsonIn::isObject() const {
    return typeOf(node_) == Kind::object;
}
bool JsonIn::isArray() const {
    return typeOf(node_) == Kind::array;
}
bool JsonIn::isString() const {
    return typeOf(node_) == Kind::string;
}

bool JsonIn::boolean() const {
    const Kind t = typeOf(node_);
    if (t == Kind::yes) return true;
    if (t == Kind::no) return false;
    fail(DecodingError::Fault::wrongType, "expected a Boolean");
}

std::int64_t JsonIn::integer() const {
    const Entry r = ref(node_);
    switch (r.kind()) {
        case Kind::int64:
            return r.next<std::int64_t>();
        case Kind::uint64:
            fail(DecodingError::Fault::invalidValue, "integer out of range");
        case Kind::real: {
            const double d = r.next<double>();
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
    const Entry r = ref(node_);
    switch (r.kind()) {
        case Kind::uint64:
            return r.next<std::uint64_t>();
        case Kind::int64: {
            const auto v = r.next<std::int64_t>();
            if (v < 0) fail(DecodingError::Fault::invalidValue, "integer out of range");
            return static_cast<std::uint64_t>(v);
        }
        case Kind::real: {
            const double d = r.next<double>();
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
    const Entry r = ref(node_);
    switch (r.kind()) {
        case Kind::real:
            return r.next<double>();
        case Kind::int64:
            return static_cast<double>(r.next<std::int64_t>());
        case Kind::uint64:
            return static_cast<double>(r.next<std::uint64_t>());
        default:
            fail(DecodingError::Fault::wrongType, "expected a number");
    }
}

std::string_view JsonIn::stringView() const {
    const Entry r = ref(node_);
    if (r.kind() != Kind::string) {
        fail(DecodingError::Fault::wrongType, "expected a string");
    }
    return r.text();
}

std::string JsonIn::string() const {
    return std::string(stringView());
}

void JsonIn::collect(const std::string_view* keys, Node* found, std::size_t count) const {
    const Entry r = ref(node_);
    if (r.kind() != Kind::object) {
        fail(DecodingError::Fault::wrongType, "expected an object");
    }
    const std::size_t end = r.pastScope() - 1;
    std::size_t i = node_.index + 1;
    // Keys are looked for from the one after the last found, round the
    // table: a document written in the table's order (records write sorted
    // keys, and pass their keys sorted) finds each key at the first try.
    std::size_t next = 0;
    while (i < end) {
        const std::string_view key = Entry{r.doc, i}.text();
        const std::size_t value = i + 1;
        for (std::size_t tried = 0, k = next; tried < count; ++tried) {
            if (keys[k] == key) {
                found[k] = Node{node_.document, value};  // a later duplicate wins
                next = k + 1 == count ? 0 : k + 1;
                break;
            }
            k = k + 1 == count ? 0 : k + 1;
        }
        i = Entry{r.doc, value}.after();
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
    const Entry r = ref(node_);
    if (r.kind() != Kind::array) {
        fail(DecodingError::Fault::wrongType, "expected an array");
    }
    const std::uint32_t count = r.count();
    if (count < kCountSaturated) return count;
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
    const Entry r = ref(node_);
    if (r.kind() != Kind::array) {
        fail(DecodingError::Fault::wrongType, "expected an array");
    }
    end = r.pastScope() - 1;
    cursor = Node{node_.document, node_.index + 1};
    return cursor.index < end;
}

bool JsonIn::nextElement(Node& cursor, std::size_t end) noexcept {
    cursor.index = ref(cursor).after();
    return cursor.index < end;
}

std::vector<std::pair<std::string, JsonIn>> JsonIn::members() const {
    const Entry r = ref(node_);
    if (r.kind() != Kind::object) {
        fail(DecodingError::Fault::wrongType, "expected an object");
    }
    std::vector<std::pair<std::string, JsonIn>> out;
    const std::size_t end = r.pastScope() - 1;
    for (std::size_t i = node_.index + 1; i < end;) {
        // The key text lives in the document, so the view's key stays valid.
        const std::string_view key = Entry{r.doc, i}.text();
        const Node value{node_.document, i + 1};
        out.emplace_back(std::string(key), JsonIn(value, options_, this, key, 0));
        i = ref(value).after();
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

std::size_t JsonDocument::retainedCapacity() noexcept {
    return keptParserCapacity.load(std::memory_order_relaxed);
}

void JsonDocument::setRetainedCapacity(std::size_t bytes) noexcept {
    keptParserCapacity.store(bytes, std::memory_order_relaxed);
    if (spare.parser && spare.parser->capacity() > bytes) spare.parser.reset();
}

JsonIn JsonDocument::root() const {
    return JsonIn(impl_->root, &impl_->options, nullptr, {}, 0);
}

JsonTape JsonDocument::tape() const {
    const auto* doc = static_cast<const simdjson::dom::document*>(impl_->root.document);
    return JsonTape(doc->tape.get(), doc->string_buf.get(), impl_->root, &impl_->options);
}

}  // namespace vesk
