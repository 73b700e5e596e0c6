// The helper's wire protocol: varlink over a Unix stream socket. Every message
// is one JSON object followed by a NUL byte.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "vesk/helper/HelperProtocol.hpp"

namespace vesk::helper::varlink {

/// Largest message accepted, NUL excluded; a longer one closes the connection.
inline constexpr std::size_t kMaxMessageSize = std::size_t{16} << 20;
/// Deepest nesting of arrays and objects accepted in a message.
inline constexpr int kMaxDepth = 64;
/// Most values (containers, members and elements) a message may hold.
inline constexpr std::size_t kMaxValues = 1024;

/// Answers one message. Returns the reply (without its NUL; empty for a
/// oneway call, which gets no reply at all), or none when the message is not
/// a JSON object of the protocol and the connection must close.
/// Never throws: every failure of an operation becomes its failure reply.
std::optional<std::string> handle(std::string_view message, HelperProtocol& service);

}  // namespace vesk::helper::varlink
