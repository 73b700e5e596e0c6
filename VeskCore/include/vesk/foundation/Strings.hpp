// The three built-in message tables.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vesk::Strings {

using Table = std::unordered_map<std::string_view, std::string_view>;
using Entries = std::vector<std::pair<std::string_view, std::string_view>>;

/// Tables keyed by message key, built once on first use.
const Table& en();
const Table& zhHant();
const Table& zhHans();

/// The (key, text) pairs of each table in their fixed order.
const Entries& enEntries();
const Entries& zhHantEntries();
const Entries& zhHansEntries();

}  // namespace vesk::Strings
