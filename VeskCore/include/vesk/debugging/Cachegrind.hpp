// Xdebug's profiles (the cachegrind text format, as Xdebug writes it: one
// block for each call, written when the call ends, naming the calls it made)
// read into a profile run: the call tree, with the calls of one function
// from one caller merged into one frame (its callCount says how many).
#pragma once

#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "vesk/debugging/ProfileData.hpp"

namespace vesk::cachegrind {

/// A text that is no profile Xdebug wrote, or one over the limits; the
/// message names the line.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Limits {
    std::size_t calls = 4'000'000;                    ///< calls in one profile
    std::size_t lineLength = std::size_t{64} * 1024;  ///< bytes in one line
};

/// Whether the text starts like a cachegrind file ("version:", "# callgrind
/// format", "creator:" or "events:").
bool looksLike(std::string_view start);

/// The run in the profile `in`: times in microseconds when the file's unit
/// is Xdebug's 10 ns (else as written), memory in bytes, the request's
/// script (the "cmd:" line) as its URI. Throws FormatError.
ProfileRun read(std::istream& in, const std::string& label, const Limits& limits = {});

}  // namespace vesk::cachegrind
