// Where the settings record is kept, as an abstract interface. The library
// implements none; a store keeps the record in its JSON form, by default at
// VeskPaths::settingsPath().
#pragma once

#include "vesk/foundation/AppConfig.hpp"

namespace vesk {

class ConfigStoring {
  public:
    virtual ~ConfigStoring() = default;
    /// The stored settings; throws when they are missing or fail to decode.
    virtual AppConfig load() = 0;
    /// Replaces the stored settings.
    virtual void save(const AppConfig& config) = 0;
    /// True when a settings document exists.
    virtual bool exists() = 0;
    /// Removes the stored settings, so the next load falls back to the caller's choice.
    virtual void reset() = 0;
};

}  // namespace vesk
