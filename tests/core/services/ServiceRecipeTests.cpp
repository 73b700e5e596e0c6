#include "vesk/services/ServiceRecipe.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using vesk::ServiceType;
using vesk::recipes::recipeFor;

TEST(ServiceRecipe, DebianPackagesFourKindsAndTheOthersSayWhatToDo) {
    const auto mariadb = recipeFor(ServiceType::mariadb);
    const auto mysql = recipeFor(ServiceType::mysql);
    ASSERT_TRUE(mariadb && mysql);
    EXPECT_EQ(mariadb->package, "mariadb-server");
    EXPECT_EQ(mysql->server, mariadb->server) << "Debian ships no MySQL";
    EXPECT_EQ(mysql->runsAs, "MariaDB");
    EXPECT_FALSE(mariadb->runsAs);
    EXPECT_EQ(recipeFor(ServiceType::redis)->package, "redis-server");
    ASSERT_TRUE(recipeFor(ServiceType::postgresql));
    for (const ServiceType t : {ServiceType::mongodb, ServiceType::meilisearch,
                                ServiceType::typesense, ServiceType::minio}) {
        EXPECT_FALSE(recipeFor(t));
        const std::string line = vesk::recipes::notPackaged(t);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_NE(line.find(std::to_string(vesk::defaultPort(t))), std::string::npos) << line;
        EXPECT_NE(line.find("vesk env " + std::string(vesk::rawValue(t))), std::string::npos);
    }
    EXPECT_EQ(vesk::recipes::packageMissing(*mariadb),
              "MariaDB needs Debian's mariadb-server package: sudo apt install mariadb-server");
}

TEST(ServiceRecipe, PostgreSQLIsTheNewestMajorVersionWithAServer) {
    const fs::path lib = fs::temp_directory_path() / ("vesk-pg-" + std::to_string(::getpid()));
    for (const char* v : {"13", "15", "9", "16beta", "17"}) fs::create_directories(lib / v / "bin");
    for (const char* v : {"13", "15", "9"}) {
        std::ofstream(lib / v / "bin/postgres") << "#!/bin/sh\n";
        fs::permissions(lib / v / "bin/postgres", fs::perms::owner_all);
    }
    // 17 has no server program; 16beta is no version.
    const auto recipe = recipeFor(ServiceType::postgresql, lib.string());
    EXPECT_EQ(recipe->server, (lib / "15/bin/postgres").string());
    const auto load = recipe->loadCommand(5440, "app");
    EXPECT_EQ(load.program, (lib / "15/bin/psql").string());
    fs::remove_all(lib);
}

TEST(ServiceRecipe, EachInstanceListensOnLoopbackAtItsPortUnderTheDevelopersTree) {
    for (const ServiceType t :
         {ServiceType::mariadb, ServiceType::mysql, ServiceType::postgresql, ServiceType::redis}) {
        const auto recipe = *recipeFor(t);
        const std::string name(vesk::rawValue(t));
        const auto paths = recipe.paths("/home/ada/Library/Application Support/Vesk");
        EXPECT_EQ(paths.dataDirectory, "/home/ada/Library/Application Support/Vesk/data/" + name);
        EXPECT_EQ(paths.logPath, "/home/ada/Library/Application Support/Vesk/log/" + name + ".log");
        const auto files = recipe.firstStartFiles(vesk::defaultPort(t), paths);
        ASSERT_FALSE(files.empty());
        EXPECT_EQ(files[0].first, paths.configPath);
        const std::string& text = files[0].second;
        const std::string port = std::to_string(vesk::defaultPort(t));
        EXPECT_NE(text.find("127.0.0.1"), std::string::npos) << name;
        EXPECT_NE(text.find(port), std::string::npos) << name;
        EXPECT_EQ(text.find("0.0.0.0"), std::string::npos) << name;
        EXPECT_NE(text.find(paths.dataDirectory), std::string::npos) << name;
        const auto server = recipe.serverCommand(paths);
        EXPECT_EQ(server.program, recipe.server);
        // Paths with spaces pass as whole arguments.
        EXPECT_NE(std::find_if(server.arguments.begin(), server.arguments.end(),
                               [&](const std::string& a) {
                                   return a.find(paths.configPath) != std::string::npos;
                               }),
                  server.arguments.end())
            << name;
    }
    const auto pg = *recipeFor(ServiceType::postgresql);
    const auto files = pg.firstStartFiles(5440, pg.paths("/h"));
    ASSERT_EQ(files.size(), 2U);
    EXPECT_EQ(files[1].first, "/h/config/services/postgresql-hba.conf");
    EXPECT_NE(files[1].second.find("host all all 127.0.0.1/32 trust"), std::string::npos);
    EXPECT_EQ(files[1].second.find("0.0.0.0"), std::string::npos);
    EXPECT_EQ(pg.stopSignal(), SIGINT) << "fast shutdown";
    EXPECT_EQ(recipeFor(ServiceType::redis)->stopSignal(), SIGTERM);
    EXPECT_EQ(recipeFor(ServiceType::mariadb)->initCommands(pg.paths("/h"))[0].arguments[0],
              "--no-defaults")
        << "the install script would split a configuration path at a space";
}

TEST(ServiceRecipe, VersionsAreReadFromWhatEachServerPrints) {
    EXPECT_EQ(recipeFor(ServiceType::mariadb)
                  ->versionFrom("/usr/sbin/mariadbd  Ver 10.11.6-MariaDB-0+deb12u1 for "
                                "debian-linux-gnu on x86_64 (Debian 12)\n"),
              "10.11.6");
    EXPECT_EQ(recipeFor(ServiceType::postgresql)
                  ->versionFrom("postgres (PostgreSQL) 15.18 (Debian 15.18-0+deb12u1)\n"),
              "15.18");
    EXPECT_EQ(recipeFor(ServiceType::redis)
                  ->versionFrom("Redis server v=7.0.15 sha=00000000:0 malloc=jemalloc-5.3.0\n"),
              "7.0.15");
    EXPECT_FALSE(recipeFor(ServiceType::redis)->versionFrom("Redis server v= sha="));
    EXPECT_FALSE(recipeFor(ServiceType::mariadb)->versionFrom(""));
}

TEST(ServiceRecipe, DatabaseNamesThatCouldEndAStatementAreRefused) {
    for (const char* good : {"shop", "app_test", "_x", "A1"}) {
        EXPECT_TRUE(vesk::recipes::isDatabaseName(good)) << good;
    }
    for (const std::string& bad :
         {std::string(), std::string("1shop"), std::string("a`; DROP DATABASE mysql; --"),
          std::string("x\"y"), std::string("a b"), std::string("caf\xc3\xa9"), std::string("a-b"),
          std::string(64, 'a'), std::string("a\0b", 3)}) {
        EXPECT_FALSE(vesk::recipes::isDatabaseName(bad)) << bad;
    }
    EXPECT_TRUE(vesk::recipes::isDatabaseName(std::string(63, 'a')));
    const auto mariadb = *recipeFor(ServiceType::mariadb);
    const auto pg = *recipeFor(ServiceType::postgresql);
    EXPECT_EQ(mariadb.createStatement("shop"), "CREATE DATABASE `shop`");
    EXPECT_EQ(pg.dropStatement("shop"), "DROP DATABASE \"shop\" WITH (FORCE)");
    EXPECT_TRUE(mariadb.isSystemDatabase("information_schema"));
    EXPECT_FALSE(mariadb.isSystemDatabase("shop"));
    EXPECT_TRUE(pg.isSystemDatabase("postgres"));
    // The clients reach the instance over TCP on loopback, never a socket
    // or a server the system's own configuration names.
    const auto dump = mariadb.dumpCommand(3361, "shop");
    EXPECT_EQ(dump.arguments.front(), "--no-defaults");
    EXPECT_NE(std::find(dump.arguments.begin(), dump.arguments.end(), "--host=127.0.0.1"),
              dump.arguments.end());
    EXPECT_EQ(dump.arguments.back(), "shop");
    const auto query = pg.sqlCommand(5440, "SELECT 1");
    EXPECT_NE(std::find(query.arguments.begin(), query.arguments.end(), "--no-psqlrc"),
              query.arguments.end());
    EXPECT_NE(std::find(query.arguments.begin(), query.arguments.end(), "--port=5440"),
              query.arguments.end());
}

}  // namespace
