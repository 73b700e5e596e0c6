// Writing JSON text: the writer and the handle codings write through.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vesk/foundation/json/Options.hpp"

namespace vesk {

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

}  // namespace vesk
