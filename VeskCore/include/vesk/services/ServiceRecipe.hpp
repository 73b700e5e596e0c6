// How each service kind runs on this machine from Debian's own programs, as
// the developer, on 127.0.0.1 and its default port, with its files under the
// developer's Vesk data tree: the programs, the configuration written on
// first start, the commands that make a data directory, run the server,
// tell its version, and (for the SQL kinds) run a statement, dump and load a
// database. Nothing here runs anything: the supervisor and the commands do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vesk/foundation/ServiceType.hpp"

namespace vesk {

/// Where one instance keeps its files.
struct ServicePaths {
    std::string dataDirectory;  ///< baseDir/data/NAME
    std::string configPath;     ///< baseDir/config/services/NAME.conf
    std::string logPath;        ///< baseDir/log/NAME.log
    /// Its Unix socket's directory (the data directory), for the clients
    /// Vesk runs itself.
    std::string socketDirectory;

    friend bool operator==(const ServicePaths&, const ServicePaths&) = default;
};

/// A command line: the program (an absolute path) and its arguments.
struct CommandLine {
    std::string program;
    std::vector<std::string> arguments;
    /// Variables the program needs beside the caller's ("NAME=value").
    std::vector<std::string> environment;
};

/// One kind as Debian packages it.
struct ServiceRecipe {
    ServiceType type = ServiceType::mariadb;
    /// The Debian package that holds its server ("mariadb-server").
    std::string package;
    /// The server's program.
    std::string server;
    /// What actually runs, when it is not the kind's own name: Debian ships
    /// no MySQL, so the mysql kind is a MariaDB server.
    std::optional<std::string> runsAs;

    /// The instance's files under `baseDir` (the developer's Vesk tree).
    [[nodiscard]] ServicePaths paths(const std::string& baseDir) const;
    /// The configuration written on first start (never over the
    /// developer's own).
    [[nodiscard]] std::string configText(std::int64_t port, const ServicePaths& paths) const;
    /// Every file written on first start, path and text: the configuration
    /// and, for PostgreSQL, its access rules (trust on loopback) beside it.
    [[nodiscard]] std::vector<std::pair<std::string, std::string>> firstStartFiles(
        std::int64_t port, const ServicePaths& paths) const;
    /// The commands that make an empty data directory ready (in order).
    [[nodiscard]] std::vector<CommandLine> initCommands(const ServicePaths& paths) const;
    /// What marks a data directory as made.
    [[nodiscard]] std::string initializedMarker(const ServicePaths& paths) const;
    /// The server in the foreground, logging to its standard error.
    [[nodiscard]] CommandLine serverCommand(const ServicePaths& paths) const;
    /// The signal that stops the server quickly and cleanly (PostgreSQL's
    /// fast shutdown is SIGINT: SIGTERM waits for every client to leave).
    [[nodiscard]] int stopSignal() const;
    /// The server asked for its version.
    [[nodiscard]] CommandLine versionCommand() const;
    /// The version in what versionCommand printed ("10.11.6", "15.5", "7.0.15").
    [[nodiscard]] std::optional<std::string> versionFrom(std::string_view output) const;
    /// Whether the kind holds SQL databases (vesk db).
    [[nodiscard]] bool isSQL() const;
    /// The SQL client running `statement` against `database` (the server's
    /// own when none), one row a line, fields tab-separated.
    [[nodiscard]] CommandLine sqlCommand(std::int64_t port, const std::string& statement,
                                         const std::optional<std::string>& database = {}) const;
    /// The dump program writing `database` as SQL to its output.
    [[nodiscard]] CommandLine dumpCommand(std::int64_t port, const std::string& database) const;
    /// The client reading SQL from its input into `database`.
    [[nodiscard]] CommandLine loadCommand(std::int64_t port, const std::string& database) const;
    /// The statements that list, create and drop a database.
    [[nodiscard]] std::string listStatement() const;
    [[nodiscard]] std::string createStatement(const std::string& database) const;
    [[nodiscard]] std::string dropStatement(const std::string& database) const;
    /// Databases of the server's own that `list` leaves out.
    [[nodiscard]] bool isSystemDatabase(std::string_view database) const;
};

namespace recipes {

/// Where Debian keeps PostgreSQL's versioned programs.
inline constexpr std::string_view kPostgresLib = "/usr/lib/postgresql";

/// The recipe of a kind Debian packages (mariadb, mysql, postgresql, redis);
/// none for the others. PostgreSQL's programs are the newest major version
/// under `postgresLib`.
std::optional<ServiceRecipe> recipeFor(ServiceType type,
                                       std::string_view postgresLib = kPostgresLib);
/// One line for a kind Debian does not package, saying what the developer
/// can do instead.
std::string notPackaged(ServiceType type);
/// One line for a packaged kind whose programs are missing: the package to
/// install.
std::string packageMissing(const ServiceRecipe& recipe);
/// A database name every SQL kind takes without quoting trouble: ASCII
/// letters, digits and '_', not starting with a digit, at most 63 bytes.
bool isDatabaseName(std::string_view name);

}  // namespace recipes

}  // namespace vesk
