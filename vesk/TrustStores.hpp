// The trust stores the local authority is put in: the system's
// (update-ca-certificates) and the browsers' certificate databases
// (certutil). Shared by trust, secure and uninstall --purge.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Command.hpp"

namespace vesk::cli {

/// Where Debian's trust store takes local authorities, and the authority's
/// file and name there.
inline constexpr const char* kLocalAuthorities = "/usr/local/share/ca-certificates";
inline constexpr const char* kTrustedName = "vesk-development-ca.crt";
inline constexpr const char* kNickname = "Vesk Development CA";

/// Runs certutil as `user` (through runuser, when root runs it for them) or
/// as this process's own account.
Ran certutil(const std::optional<std::string>& user, const std::vector<std::string>& arguments);

/// The browsers' certificate databases under `home`: Chromium's in
/// ~/.pki/nssdb, each Firefox profile's beside its prefs.
std::vector<std::string> browserDatabases(const std::string& home);

/// Puts the authority at `caPath` into the database `db` in place of any
/// authority of the same name trusted before; certutil's words when it fails.
std::optional<std::string> trustInDatabase(const std::optional<std::string>& user,
                                           const std::string& db, const std::string& caPath);

/// Takes every authority of that name out of the databases under `home`;
/// how many databases held one.
int forgetInDatabases(const std::optional<std::string>& user, const std::string& home);

/// Writes `text` (an authority's certificate) into the system's trust store
/// and has it rebuilt; update-ca-certificates' words when it fails.
std::optional<std::string> publishToSystem(const std::string& text);

/// Takes the authority out of the system's trust store; whether it was there.
bool removeFromSystem();

}  // namespace vesk::cli
