// The one-pass reader straight over a text (simdjson's On-Demand parser).
#include "vesk/foundation/json/Stream.hpp"

#include <simdjson.h>

#include <algorithm>
#include <vector>

#include "vesk/foundation/json/Document.hpp"

namespace vesk {

namespace {

// One On-Demand parser per thread is kept for the next stream, as the
// document parsers are.
thread_local std::unique_ptr<simdjson::ondemand::parser>
    spareStreamParser;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Between two reports of the bytes consumed.
constexpr std::size_t kReportEvery = std::size_t{4} << 20;

}  // namespace

struct JsonStream::Impl {
    struct Level {
        bool object = false;
        bool loaded = false;  // the next member or element is at hand
        simdjson::ondemand::object_iterator member;
        simdjson::ondemand::object_iterator members;
        simdjson::ondemand::array_iterator element;
        simdjson::ondemand::array_iterator elements;
        simdjson::ondemand::raw_json_string key;
    };

    std::unique_ptr<simdjson::ondemand::parser> parser;
    simdjson::ondemand::document document;
    simdjson::ondemand::value current;
    bool haveCurrent = false;
    std::vector<Level> levels;
    bool failed = false;
    const char* text = nullptr;
    std::size_t reported = 0;
    std::function<void(std::size_t)> consumed;

    ~Impl() {
        if (parser && parser->capacity() <= JsonDocument::retainedCapacity() &&
            !spareStreamParser) {
            spareStreamParser = std::move(parser);
        }
    }

    bool fail() {
        failed = true;
        return false;
    }
    // Reads the value at hand with one of the value's getters.
    template <class V, class Get>
    bool read(V& out, Get get) {
        if (!take() || get(current).get(out) != simdjson::SUCCESS) return fail();
        moveOn();
        return true;
    }
    // The value at hand, taken: the next read moves the innermost level on.
    bool take() {
        if (failed || !haveCurrent) return fail();
        haveCurrent = false;
        return true;
    }
    // After a value of the innermost level has been read.
    void moveOn() {
        if (levels.empty()) return;
        Level& level = levels.back();
        if (level.object) {
            ++level.member;
        } else {
            ++level.element;
        }
        level.loaded = false;
    }
    void report() {
        if (!consumed) return;
        const char* at = nullptr;
        if (document.current_location().get(at) != simdjson::SUCCESS || at < text) return;
        const auto n = static_cast<std::size_t>(at - text);
        if (n >= reported + kReportEvery) {
            reported = n;
            consumed(n);
        }
    }
};

JsonStream::JsonStream(PaddedText text, const CodingOptions& options,
                       std::function<void(std::size_t)> consumed)
    : options_(options), impl_(std::make_unique<Impl>()) {
    Impl& impl = *impl_;
    impl.text = text.text.data();
    impl.consumed = std::move(consumed);
    impl.parser = std::move(spareStreamParser);
    if (!impl.parser) impl.parser = std::make_unique<simdjson::ondemand::parser>();
    const std::size_t capacity = std::max<std::size_t>(text.text.size(), 64);
    const std::size_t depth =
        std::min(options.maxDepth, std::max<std::size_t>(1024, text.text.size() / 2 + 1)) + 1;
    if (impl.parser->capacity() < capacity || impl.parser->max_depth() < depth) {
        if (impl.parser->allocate(capacity, depth) != simdjson::SUCCESS) throw std::bad_alloc();
    }
    if (impl.parser->iterate(text.text.data(), text.text.size(), text.text.size() + kJsonPadding)
                .get(impl.document) != simdjson::SUCCESS ||
        impl.document.get_value().get(impl.current) != simdjson::SUCCESS) {
        impl.failed = true;
        return;
    }
    impl.haveCurrent = true;
}

JsonStream::~JsonStream() = default;

bool JsonStream::readNull() {
    Impl& impl = *impl_;
    if (impl.failed || !impl.haveCurrent) return impl.fail();
    bool null = false;
    if (impl.current.is_null().get(null) != simdjson::SUCCESS) return impl.fail();
    if (!null) return false;  // at hand still, for another reader
    impl.haveCurrent = false;
    impl.moveOn();
    return true;
}

bool JsonStream::readBool(bool& out) {
    return impl_->read(out, [](simdjson::ondemand::value& v) { return v.get_bool(); });
}

bool JsonStream::readString(std::string_view& out) {
    return impl_->read(out, [](simdjson::ondemand::value& v) { return v.get_string(); });
}

bool JsonStream::readInt64(std::int64_t& out) {
    return impl_->read(out, [](simdjson::ondemand::value& v) { return v.get_int64(); });
}

bool JsonStream::readUInt64(std::uint64_t& out) {
    return impl_->read(out, [](simdjson::ondemand::value& v) { return v.get_uint64(); });
}

// An integer is read as one and then converted, as the tape holds it, so a
// value reads the same both ways and one wider than 64 bits fails as the
// document's parse does.
bool JsonStream::readDouble(double& out) {
    Impl& impl = *impl_;
    if (impl.failed || !impl.haveCurrent) return impl.fail();
    const std::string_view token = impl.current.raw_json_token();
    if (token.find_first_of(".eE") != std::string_view::npos) {
        return impl.read(out, [](simdjson::ondemand::value& v) { return v.get_double(); });
    }
    std::int64_t signedValue = 0;
    if (impl.current.get_int64().get(signedValue) == simdjson::SUCCESS) {
        out = static_cast<double>(signedValue);
    } else {
        std::uint64_t unsignedValue = 0;
        if (impl.current.get_uint64().get(unsignedValue) != simdjson::SUCCESS) return impl.fail();
        out = static_cast<double>(unsignedValue);
    }
    impl.haveCurrent = false;
    impl.moveOn();
    return true;
}

// A key is compared as written: one with escapes is taken for unknown.
bool JsonStream::takeKey(std::string_view text) {
    Impl& impl = *impl_;
    if (impl.failed || impl.levels.empty() || !impl.levels.back().loaded) return impl.fail();
    return impl.levels.back().key.unsafe_is_equal(text);
}

bool JsonStream::enter(char open, std::size_t& scope, std::size_t& count) {
    Impl& impl = *impl_;
    if (!impl.take() || impl.levels.size() >= options_.maxDepth) return impl.fail();
    Impl::Level level;
    level.object = open == '{';
    if (level.object) {
        simdjson::ondemand::object object;
        if (impl.current.get_object().get(object) != simdjson::SUCCESS ||
            object.begin().get(level.member) != simdjson::SUCCESS ||
            object.end().get(level.members) != simdjson::SUCCESS) {
            return impl.fail();
        }
    } else {
        simdjson::ondemand::array array;
        if (impl.current.get_array().get(array) != simdjson::SUCCESS ||
            array.begin().get(level.element) != simdjson::SUCCESS ||
            array.end().get(level.elements) != simdjson::SUCCESS) {
            return impl.fail();
        }
    }
    impl.levels.push_back(level);
    scope = impl.levels.size() - 1;
    count = 0;
    return true;
}

bool JsonStream::before(std::size_t scope) {
    Impl& impl = *impl_;
    if (impl.failed || scope + 1 != impl.levels.size()) return impl.fail();
    Impl::Level& level = impl.levels.back();
    if (level.loaded) return true;
    if (level.object) {
        if (!(level.member != level.members)) return false;
        simdjson::ondemand::field field;
        if ((*level.member).get(field) != simdjson::SUCCESS) return impl.fail();
        level.key = field.key();
        impl.current = field.value();
    } else {
        if (!(level.element != level.elements)) return false;
        if ((*level.element).get(impl.current) != simdjson::SUCCESS) return impl.fail();
    }
    level.loaded = true;
    impl.haveCurrent = true;
    return true;
}

void JsonStream::leave() {
    Impl& impl = *impl_;
    if (impl.failed || impl.levels.empty()) {
        impl.fail();
        return;
    }
    impl.levels.pop_back();
    impl.moveOn();
    impl.report();
}

void JsonStream::skip() {
    impl_->fail();  // what is not read is not checked: the document decides
}

bool JsonStream::finish() {
    Impl& impl = *impl_;
    if (impl.failed || impl.haveCurrent || !impl.levels.empty()) return false;
    const char* at = nullptr;  // past the last token there is no location
    return impl.document.current_location().get(at) == simdjson::OUT_OF_BOUNDS;
}

}  // namespace vesk
