// A stable identifier and a display name for this machine.
#pragma once

#include <optional>
#include <string>

namespace vesk::MachineIdentifier {

/// Where the identifier comes from; tests point these elsewhere.
struct Sources {
    std::string productUUID = "/sys/class/dmi/id/product_uuid";
    bool machineIdAllowed = true;  ///< derive from /etc/machine-id when no product UUID
    std::string machineInfo = "/etc/machine-info";
    /// The user-defaults file; empty: $XDG_CONFIG_HOME (when absolute) or
    /// ~/.config, then "vesk/defaults.json".
    std::string defaultsFile;
};

/// The user-defaults key of the fallback identifier.
inline constexpr const char* kFallbackKey = "Vesk.FallbackMachineUUID";

/// The hardware UUID when readable; else an identifier derived for Vesk from
/// the machine id (never the machine id itself); else the fallback stored in
/// the user's defaults, created once (safely when two processes race) and
/// stable after. Always an upper-case UUID text.
std::string hardwareUUID(const Sources& sources = {});

/// The pretty host name, else the host name, else "Mac".
std::string machineName(const Sources& sources = {});

/// The user-defaults file in use.
std::string defaultsFile(const Sources& sources = {});

}  // namespace vesk::MachineIdentifier
