// The one translation unit that knows the JSON parser.
#include "vesk/Json.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

namespace vesk {

using nlohmann::json;

namespace {

const json& node(const void* p) {
    return *static_cast<const json*>(p);
}
json& node(void* p) {
    return *static_cast<json*>(p);
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

}  // namespace

DecodingError::DecodingError(Fault fault, std::string path, const std::string& detail)
    : std::runtime_error(describe(fault, path, detail)), fault_(fault), path_(std::move(path)) {}

// ---------------------------------------------------------------------------
// JsonIn

bool JsonIn::isNull() const {
    return node(node_).is_null();
}
bool JsonIn::isObject() const {
    return node(node_).is_object();
}
bool JsonIn::isArray() const {
    return node(node_).is_array();
}
bool JsonIn::isString() const {
    return node(node_).is_string();
}

bool JsonIn::boolean() const {
    const json& j = node(node_);
    if (!j.is_boolean()) fail(DecodingError::Fault::wrongType, "expected a Boolean");
    return j.get<bool>();
}

std::int64_t JsonIn::integer() const {
    const json& j = node(node_);
    if (j.is_number_integer()) return j.get<std::int64_t>();
    if (j.is_number_unsigned()) {
        fail(DecodingError::Fault::invalidValue, "integer out of range");
    }
    if (j.is_number_float()) {
        const double d = j.get<double>();
        // An integral number written with a fraction or exponent (1.0, 1e3)
        // is still that integer; 1.5 is not.
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2233720368547758e18 &&
            d < 9.2233720368547758e18) {
            return static_cast<std::int64_t>(d);
        }
    }
    fail(DecodingError::Fault::wrongType, "expected an integer");
}

std::uint64_t JsonIn::unsignedInteger() const {
    const json& j = node(node_);
    if (j.is_number_unsigned()) return j.get<std::uint64_t>();
    if (j.is_number_integer()) {
        fail(DecodingError::Fault::invalidValue, "integer out of range");
    }
    if (j.is_number_float()) {
        const double d = j.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= 0 && d < 1.8446744073709552e19) {
            return static_cast<std::uint64_t>(d);
        }
        if (std::isfinite(d) && std::trunc(d) == d) {
            fail(DecodingError::Fault::invalidValue, "integer out of range");
        }
    }
    fail(DecodingError::Fault::wrongType, "expected an integer");
}

double JsonIn::number() const {
    const json& j = node(node_);
    if (!j.is_number()) fail(DecodingError::Fault::wrongType, "expected a number");
    return j.get<double>();
}

std::string JsonIn::string() const {
    const json& j = node(node_);
    if (!j.is_string()) fail(DecodingError::Fault::wrongType, "expected a string");
    return j.get_ref<const std::string&>();
}

std::optional<JsonIn> JsonIn::find(std::string_view key) const {
    const json& j = node(node_);
    if (!j.is_object()) fail(DecodingError::Fault::wrongType, "expected an object");
    const auto it = j.find(key);
    if (it == j.end()) return std::nullopt;
    return JsonIn(&*it, options_, this, key, 0);
}

JsonIn JsonIn::require(std::string_view key) const {
    auto m = find(key);
    if (!m) JsonIn(node_, options_, this, key, 0).fail(DecodingError::Fault::keyMissing, "");
    return *m;
}

std::size_t JsonIn::size() const {
    const json& j = node(node_);
    if (!j.is_array()) fail(DecodingError::Fault::wrongType, "expected an array");
    return j.size();
}

JsonIn JsonIn::at(std::size_t index) const {
    const json& j = node(node_);
    if (!j.is_array()) fail(DecodingError::Fault::wrongType, "expected an array");
    return JsonIn(&j[index], options_, this, {}, index);
}

std::vector<std::pair<std::string, JsonIn>> JsonIn::members() const {
    const json& j = node(node_);
    if (!j.is_object()) fail(DecodingError::Fault::wrongType, "expected an object");
    std::vector<std::pair<std::string, JsonIn>> out;
    out.reserve(j.size());
    for (auto it = j.begin(); it != j.end(); ++it) {
        // The key text lives in the document, so the view's key stays valid.
        out.emplace_back(it.key(), JsonIn(&it.value(), options_, this, it.key(), 0));
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
// JsonOut

void JsonOut::null() {
    node(node_) = nullptr;
}
void JsonOut::boolean(bool value) {
    node(node_) = value;
}
void JsonOut::integer(std::int64_t value) {
    node(node_) = value;
}
void JsonOut::unsignedInteger(std::uint64_t value) {
    node(node_) = value;
}
void JsonOut::number(double value) {
    // JSON has no NaN or infinity; they are written as null.
    node(node_) = std::isfinite(value) ? json(value) : json(nullptr);
}
void JsonOut::string(std::string_view value) {
    node(node_) = std::string(value);
}
void JsonOut::emptyObject() {
    if (!node(node_).is_object()) node(node_) = json::object();
}
void JsonOut::emptyArray() {
    if (!node(node_).is_array()) node(node_) = json::array();
}
JsonOut JsonOut::member(std::string_view key) {
    emptyObject();
    json& m = node(node_)[std::string(key)];
    return JsonOut(&m, options_);
}
JsonOut JsonOut::element() {
    emptyArray();
    json& arr = node(node_);
    arr.push_back(nullptr);
    return JsonOut(&arr.back(), options_);
}

// ---------------------------------------------------------------------------
// Documents

struct JsonDocument::Impl {  // NOLINT(bugprone-exception-escape)
    json root;
    CodingOptions options;
};

JsonDocument::JsonDocument() : impl_(std::make_unique<Impl>()) {}
JsonDocument::JsonDocument(JsonDocument&&) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&&) noexcept = default;
JsonDocument::~JsonDocument() = default;

JsonDocument JsonDocument::parse(std::string_view text, CodingOptions options) {
    JsonDocument doc;
    doc.impl_->options = options;
    doc.impl_->root = json::parse(text, nullptr, false);
    if (doc.impl_->root.is_discarded()) {
        throw DecodingError(DecodingError::Fault::corrupted, "", "");
    }
    return doc;
}

JsonIn JsonDocument::root() const {
    return JsonIn(&impl_->root, &impl_->options, nullptr, {}, 0);
}

struct JsonBuilder::Impl {  // NOLINT(bugprone-exception-escape)
    json root;
    CodingOptions options;
};

JsonBuilder::JsonBuilder(CodingOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
}
JsonBuilder::JsonBuilder(JsonBuilder&&) noexcept = default;
JsonBuilder& JsonBuilder::operator=(JsonBuilder&&) noexcept = default;
JsonBuilder::~JsonBuilder() = default;

JsonOut JsonBuilder::root() {
    return JsonOut(&impl_->root, &impl_->options);
}

std::string JsonBuilder::dump() const {
    // Invalid UTF-8 in a text is replaced rather than thrown.
    return impl_->root.dump(impl_->options.indent, ' ', false, json::error_handler_t::replace);
}

}  // namespace vesk
