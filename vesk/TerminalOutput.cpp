#include "TerminalOutput.hpp"

#include <iostream>

#include "vesk/foundation/Unicode.hpp"

namespace vesk::cli {

namespace {

/// Bytes gathered before they are made safe and written.
constexpr std::size_t kChunk = 8192;

}  // namespace

TerminalSafeBuffer::~TerminalSafeBuffer() {
    finish();
}

void TerminalSafeBuffer::finish() {
    drain(false);
    target_->pubsync();
}

void TerminalSafeBuffer::drain(bool more) {
    if (pending_.empty()) return;
    out_.clear();
    const std::size_t taken = Unicode::appendTerminalSafe(out_, pending_, true, more);
    pending_.erase(0, taken);
    target_->sputn(out_.data(), static_cast<std::streamsize>(out_.size()));
}

TerminalSafeBuffer::int_type TerminalSafeBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_ += traits_type::to_char_type(c);
    if (pending_.size() >= kChunk) drain(true);
    return c;
}

std::streamsize TerminalSafeBuffer::xsputn(const char* s, std::streamsize n) {
    pending_.append(s, static_cast<std::size_t>(n));
    if (pending_.size() >= kChunk) drain(true);
    return n;
}

int TerminalSafeBuffer::sync() {
    drain(true);
    return target_->pubsync();
}

TerminalSafeOutput::TerminalSafeOutput(bool exact)
    : out_(std::cout.rdbuf()),
      err_(std::cerr.rdbuf()),
      originalOut_(std::cout.rdbuf()),
      originalErr_(std::cerr.rdbuf()),
      installed_(!exact) {
    if (!installed_) return;
    std::cout.rdbuf(&out_);
    std::cerr.rdbuf(&err_);
}

TerminalSafeOutput::~TerminalSafeOutput() {
    if (!installed_) return;
    std::cout.flush();
    std::cerr.flush();
    out_.finish();
    err_.finish();
    std::cout.rdbuf(originalOut_);
    std::cerr.rdbuf(originalErr_);
}

}  // namespace vesk::cli
