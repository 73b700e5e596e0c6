#include "vesk/services/ServiceRecipe.hpp"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace vesk {

namespace {

bool isMySQL(ServiceType type) {
    return type == ServiceType::mariadb || type == ServiceType::mysql;
}

/// The newest PostgreSQL major version under `lib` with a server program.
std::optional<std::string> newestPostgres(std::string_view lib) {
    DIR* dir = ::opendir(std::string(lib).c_str());
    if (dir == nullptr) return std::nullopt;
    long best = -1;
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long major = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || major <= 0 || major > 1000) continue;
        const std::string server = std::string(lib) + "/" + entry->d_name + "/bin/postgres";
        if (major > best && ::access(server.c_str(), X_OK) == 0) best = major;
    }
    ::closedir(dir);
    if (best < 0) return std::nullopt;
    return std::string(lib) + "/" + std::to_string(best) + "/bin";
}

std::string postgresBin(const ServiceRecipe& recipe) {
    return recipe.server.substr(0, recipe.server.rfind('/'));
}

/// The first run of digits and dots after `prefix` in `output`.
std::optional<std::string> numberAfter(std::string_view output, std::string_view prefix) {
    const auto at = output.find(prefix);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t end = at + prefix.size();
    while (end < output.size() &&
           ((output[end] >= '0' && output[end] <= '9') || output[end] == '.')) {
        ++end;
    }
    if (end == at + prefix.size()) return std::nullopt;
    return std::string(output.substr(at + prefix.size(), end - at - prefix.size()));
}

std::string portText(std::int64_t port) {
    return std::to_string(port);
}

}  // namespace

ServicePaths ServiceRecipe::paths(const std::string& baseDir) const {
    const std::string name(rawValue(type));
    ServicePaths p;
    p.dataDirectory = baseDir + "/data/" + name;
    p.configPath = baseDir + "/config/services/" + name + ".conf";
    p.logPath = baseDir + "/log/" + name + ".log";
    p.socketDirectory = p.dataDirectory;
    return p;
}

std::string ServiceRecipe::configText(std::int64_t port, const ServicePaths& paths) const {
    const std::string header =
        "# Made by Vesk on this instance's first start, and never written again:\n"
        "# yours to change. Vesk's commands reach it on 127.0.0.1 port " +
        portText(port) + ".\n";
    if (isMySQL(type)) {
        return header +
               "[mariadbd]\n"
               "datadir = " +
               paths.dataDirectory +
               "\n"
               "socket = " +
               paths.socketDirectory +
               "/mysqld.sock\n"
               "pid-file = " +
               paths.dataDirectory +
               "/mariadbd.pid\n"
               "port = " +
               portText(port) +
               "\n"
               "bind-address = 127.0.0.1\n"
               "skip-name-resolve\n"
               "character-set-server = utf8mb4\n"
               "collation-server = utf8mb4_unicode_ci\n"
               "# A development instance: small buffers, no binary log.\n"
               "skip-log-bin\n"
               "performance_schema = OFF\n"
               "innodb_buffer_pool_size = 32M\n"
               "innodb_log_file_size = 16M\n"
               "innodb_log_buffer_size = 1M\n"
               "key_buffer_size = 1M\n"
               "aria_pagecache_buffer_size = 1M\n"
               "query_cache_size = 0\n"
               "max_connections = 50\n"
               "thread_cache_size = 4\n"
               "table_open_cache = 400\n"
               "max_allowed_packet = 256M\n";
    }
    if (type == ServiceType::postgresql) {
        return header +
               "listen_addresses = '127.0.0.1'\n"
               "port = " +
               portText(port) +
               "\n"
               "unix_socket_directories = '" +
               paths.socketDirectory +
               "'\n"
               "hba_file = '" +
               paths.configPath.substr(0, paths.configPath.rfind('/')) +
               "/postgresql-hba.conf'\n"
               "max_connections = 50\n"
               "# A development instance: small buffers.\n"
               "shared_buffers = 16MB\n"
               "work_mem = 4MB\n"
               "maintenance_work_mem = 32MB\n"
               "dynamic_shared_memory_type = posix\n"
               "max_wal_size = 256MB\n"
               "min_wal_size = 32MB\n"
               "log_destination = 'stderr'\n"
               "logging_collector = off\n"
               "log_timezone = 'UTC'\n"
               "timezone = 'UTC'\n"
               "datestyle = 'iso, mdy'\n"
               "lc_messages = 'C.UTF-8'\n"
               "default_text_search_config = 'pg_catalog.english'\n";
    }
    return header +
           "bind 127.0.0.1\n"
           "protected-mode yes\n"
           "port " +
           portText(port) +
           "\n"
           "daemonize no\n"
           "supervised no\n"
           "logfile \"\"\n"
           "dir \"" +
           paths.dataDirectory +
           "\"\n"
           "dbfilename dump.rdb\n"
           "save 3600 1 300 100 60 10000\n"
           "appendonly no\n"
           "databases 16\n";
}

std::vector<std::pair<std::string, std::string>> ServiceRecipe::firstStartFiles(
    std::int64_t port, const ServicePaths& paths) const {
    std::vector<std::pair<std::string, std::string>> files{
        {paths.configPath, configText(port, paths)}};
    if (type == ServiceType::postgresql) {
        files.emplace_back(
            paths.configPath.substr(0, paths.configPath.rfind('/')) + "/postgresql-hba.conf",
            "# Made by Vesk: every account without a password, from this machine "
            "alone.\n"
            "local all all trust\n"
            "host all all 127.0.0.1/32 trust\n");
    }
    return files;
}

std::vector<CommandLine> ServiceRecipe::initCommands(const ServicePaths& paths) const {
    if (isMySQL(type)) {
        // root on 127.0.0.1 without a password, as the projects' settings
        // say. The script reads no configuration file: it would split a
        // path with a space (Application Support) at the space.
        return {{"/usr/bin/mariadb-install-db",
                 {"--no-defaults", "--datadir=" + paths.dataDirectory,
                  "--auth-root-authentication-method=normal", "--skip-test-db",
                  "--innodb-log-file-size=16M"},
                 {}}};
    }
    if (type == ServiceType::postgresql) {
        return {{postgresBin(*this) + "/initdb",
                 {"--pgdata=" + paths.dataDirectory, "--username=vesk", "--auth=trust",
                  "--encoding=UTF8", "--locale=C.UTF-8"},
                 {}}};
    }
    return {};
}

std::string ServiceRecipe::initializedMarker(const ServicePaths& paths) const {
    if (isMySQL(type)) return paths.dataDirectory + "/mysql";
    if (type == ServiceType::postgresql) return paths.dataDirectory + "/PG_VERSION";
    return paths.dataDirectory;
}

CommandLine ServiceRecipe::serverCommand(const ServicePaths& paths) const {
    if (isMySQL(type)) return {server, {"--defaults-file=" + paths.configPath}, {}};
    if (type == ServiceType::postgresql) {
        return {server, {"-D", paths.dataDirectory, "-c", "config_file=" + paths.configPath}, {}};
    }
    return {server, {paths.configPath}, {}};
}

int ServiceRecipe::stopSignal() const {
    return type == ServiceType::postgresql ? SIGINT : SIGTERM;
}

CommandLine ServiceRecipe::versionCommand() const {
    return {server, {"--version"}, {}};
}

std::optional<std::string> ServiceRecipe::versionFrom(std::string_view output) const {
    if (isMySQL(type)) return numberAfter(output, "Ver ");
    if (type == ServiceType::postgresql) return numberAfter(output, "(PostgreSQL) ");
    return numberAfter(output, "v=");
}

bool ServiceRecipe::isSQL() const {
    return isMySQL(type) || type == ServiceType::postgresql;
}

CommandLine ServiceRecipe::sqlCommand(std::int64_t port, const std::string& statement,
                                      const std::optional<std::string>& database) const {
    if (isMySQL(type)) {
        CommandLine c{"/usr/bin/mariadb",
                      {"--no-defaults", "--protocol=tcp", "--host=127.0.0.1",
                       "--port=" + portText(port), "--user=root", "--batch", "--skip-column-names",
                       "--connect-timeout=5", "--execute=" + statement},
                      {}};
        if (database) c.arguments.push_back(*database);
        return c;
    }
    return {postgresBin(*this) + "/psql",
            {"--no-psqlrc", "--host=127.0.0.1", "--port=" + portText(port), "--username=vesk",
             "--dbname=" + database.value_or("postgres"), "--no-align", "--tuples-only",
             "--field-separator=\t", "--set=ON_ERROR_STOP=1", "--command=" + statement},
            {"PGCONNECT_TIMEOUT=5"}};
}

CommandLine ServiceRecipe::dumpCommand(std::int64_t port, const std::string& database) const {
    if (isMySQL(type)) {
        return {"/usr/bin/mariadb-dump",
                {"--no-defaults", "--protocol=tcp", "--host=127.0.0.1", "--port=" + portText(port),
                 "--user=root", "--single-transaction", "--routines", "--triggers", "--events",
                 "--hex-blob", database},
                {}};
    }
    return {postgresBin(*this) + "/pg_dump",
            {"--host=127.0.0.1", "--port=" + portText(port), "--username=vesk", "--no-owner",
             "--no-privileges", "--dbname=" + database},
            {"PGCONNECT_TIMEOUT=5"}};
}

CommandLine ServiceRecipe::loadCommand(std::int64_t port, const std::string& database) const {
    if (isMySQL(type)) {
        return {"/usr/bin/mariadb",
                {"--no-defaults", "--protocol=tcp", "--host=127.0.0.1", "--port=" + portText(port),
                 "--user=root", "--connect-timeout=5", database},
                {}};
    }
    return {postgresBin(*this) + "/psql",
            {"--no-psqlrc", "--quiet", "--host=127.0.0.1", "--port=" + portText(port),
             "--username=vesk", "--dbname=" + database, "--set=ON_ERROR_STOP=1"},
            {"PGCONNECT_TIMEOUT=5"}};
}

std::string ServiceRecipe::listStatement() const {
    if (isMySQL(type)) return "SHOW DATABASES";
    return "SELECT datname FROM pg_database WHERE NOT datistemplate ORDER BY datname";
}

// Names are checked with isDatabaseName first, so quoting never meets a quote.
std::string ServiceRecipe::createStatement(const std::string& database) const {
    if (isMySQL(type)) return "CREATE DATABASE `" + database + "`";
    return "CREATE DATABASE \"" + database + "\"";
}

std::string ServiceRecipe::dropStatement(const std::string& database) const {
    if (isMySQL(type)) return "DROP DATABASE `" + database + "`";
    return "DROP DATABASE \"" + database + "\" WITH (FORCE)";
}

bool ServiceRecipe::isSystemDatabase(std::string_view database) const {
    if (isMySQL(type)) {
        return database == "mysql" || database == "information_schema" ||
               database == "performance_schema" || database == "sys";
    }
    return database == "postgres";
}

namespace recipes {

std::optional<ServiceRecipe> recipeFor(ServiceType type, std::string_view postgresLib) {
    switch (type) {
        case ServiceType::mariadb:
            return ServiceRecipe{type, "mariadb-server", "/usr/sbin/mariadbd", std::nullopt};
        case ServiceType::mysql:
            return ServiceRecipe{type, "mariadb-server", "/usr/sbin/mariadbd", "MariaDB"};
        case ServiceType::postgresql: {
            const auto bin = newestPostgres(postgresLib);
            return ServiceRecipe{
                type, "postgresql",
                bin ? *bin + "/postgres" : std::string(postgresLib) + "/15/bin/postgres",
                std::nullopt};
        }
        case ServiceType::redis:
            return ServiceRecipe{type, "redis-server", "/usr/bin/redis-server", std::nullopt};
        default:
            return std::nullopt;
    }
}

std::string notPackaged(ServiceType type) {
    return std::string(displayName(type)) +
           " is not packaged by Debian, so Vesk does not run it: run it yourself on 127.0.0.1 "
           "port " +
           std::to_string(defaultPort(type)) + " (vesk env " + std::string(rawValue(type)) +
           " prints the settings a project needs for it there)";
}

std::string packageMissing(const ServiceRecipe& recipe) {
    return std::string(displayName(recipe.type)) + " needs Debian's " + recipe.package +
           " package: sudo apt install " + recipe.package;
}

bool isDatabaseName(std::string_view name) {
    if (name.empty() || name.size() > 63 || (name.front() >= '0' && name.front() <= '9')) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    });
}

}  // namespace recipes

}  // namespace vesk
