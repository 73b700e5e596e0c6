// A project's environment file (.env) with some of its keys set: every other
// line, comment and the order kept, each key set where the file has it
// (with its `export` and its comment after the value), the new keys added at
// the end, and the file's own line ending used.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::dotenv {

using Entries = std::vector<std::pair<std::string, std::string>>;

/// The lines "KEY=value" of a block (ConnectionInfo::dotEnv's form).
Entries parseBlock(std::string_view block);

/// `text` with each key of `entries` set to its value (every line that
/// assigns it), the keys it lacks added at the end, in order.
std::string withKeys(std::string_view text, const Entries& entries);

/// A value as the file writes it: bare when it is letters, digits and
/// "_-.:/@+", double-quoted (with '\\', '"' and '$' escaped) otherwise.
std::string quoted(std::string_view value);

}  // namespace vesk::dotenv
