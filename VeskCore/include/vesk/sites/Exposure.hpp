// Whether the development sites answer other machines. They answer this
// machine alone unless the developer turns the network on (`vesk lan on`).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"

namespace vesk {

struct Exposure {
    /// Other machines on the network reach the sites (every address).
    bool lan = false;
    /// When the developer turned it on.
    std::optional<Date> since;

    friend bool operator==(const Exposure&, const Exposure&) = default;
};

namespace Exposures {

/// The addresses of this machine that other machines could reach it on
/// (every interface's IPv4 and global IPv6 addresses but the loopback ones),
/// as text.
std::vector<std::string> networkAddresses();

/// Whether the machine has IPv6's loopback address (::1 on lo).
bool hasIPv6Loopback();

}  // namespace Exposures

}  // namespace vesk

VESK_RECORD(vesk::Exposure, vesk::field("lan", &vesk::Exposure::lan),
            vesk::field("since", &vesk::Exposure::since));
