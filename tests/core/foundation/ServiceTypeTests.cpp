#include <gtest/gtest.h>

#include "vesk/foundation/ServiceType.hpp"
#include "vesk/services/EnvMapping.hpp"

namespace {

using vesk::ServiceType;

TEST(ServiceType, CasesInOrderWithTheirTables) {
    const auto all = vesk::allCases<ServiceType>();
    ASSERT_EQ(all.size(), 8U);
    const char* raws[] = {"mysql",   "postgresql",  "redis",     "mariadb",
                          "mongodb", "meilisearch", "typesense", "minio"};
    const char* names[] = {"MySQL",   "PostgreSQL",  "Redis",     "MariaDB",
                           "MongoDB", "Meilisearch", "Typesense", "MinIO"};
    const int ports[] = {3360, 5440, 6380, 3361, 27018, 7710, 8118, 9010};
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(vesk::rawValue(all[i]), raws[i]);
        EXPECT_EQ(vesk::displayName(all[i]), names[i]);
        EXPECT_EQ(vesk::defaultPort(all[i]), ports[i]);
        EXPECT_EQ(vesk::isDatabase(all[i]), i < 5);
    }
    EXPECT_EQ(vesk::iconName(ServiceType::mysql), vesk::iconName(ServiceType::mariadb));
    EXPECT_EQ(vesk::iconName(ServiceType::typesense), "magnifyingglass.circle");
    EXPECT_EQ(vesk::fromRawValue<ServiceType>("MySQL"), std::nullopt);
    EXPECT_EQ(vesk::encodeJSON(ServiceType::minio), "\"minio\"");
}

TEST(ServiceType, ConnectionURLs) {
    EXPECT_EQ(vesk::connectionURL(ServiceType::mariadb, 3361), "mysql://root@127.0.0.1:3361");
    EXPECT_EQ(vesk::connectionURL(ServiceType::postgresql, 5440),
              "postgres://vesk@127.0.0.1:5440/postgres");
    EXPECT_EQ(vesk::connectionURL(ServiceType::redis, 0), "redis://127.0.0.1:0");
    EXPECT_EQ(vesk::connectionURL(ServiceType::mongodb, -5), "mongodb://127.0.0.1:-5");
    for (auto t : {ServiceType::meilisearch, ServiceType::typesense, ServiceType::minio}) {
        EXPECT_EQ(vesk::connectionURL(t, 1), std::nullopt);
    }
}

TEST(ServiceType, DotEnvBlocksExactly) {
    const auto env = [](ServiceType t, long long p) {
        return vesk::connectionInfo(t, p).dotEnv(t);
    };
    EXPECT_EQ(env(ServiceType::mysql, 3360),
              "DB_CONNECTION=mysql\nDB_HOST=127.0.0.1\nDB_PORT=3360\nDB_DATABASE=laravel\n"
              "DB_USERNAME=root\nDB_PASSWORD=");
    EXPECT_EQ(env(ServiceType::mariadb, 3361),
              "DB_CONNECTION=mysql\nDB_HOST=127.0.0.1\nDB_PORT=3361\nDB_DATABASE=laravel\n"
              "DB_USERNAME=root\nDB_PASSWORD=");
    EXPECT_EQ(env(ServiceType::postgresql, 5440),
              "DB_CONNECTION=pgsql\nDB_HOST=127.0.0.1\nDB_PORT=5440\nDB_DATABASE=postgres\n"
              "DB_USERNAME=vesk\nDB_PASSWORD=");
    EXPECT_EQ(env(ServiceType::redis, 6380),
              "REDIS_HOST=127.0.0.1\nREDIS_PORT=6380\nREDIS_PASSWORD=null");
    EXPECT_EQ(env(ServiceType::mongodb, 27018),
              "DB_CONNECTION=mongodb\nDB_HOST=127.0.0.1\nDB_PORT=27018\nDB_DATABASE=laravel");
    EXPECT_EQ(env(ServiceType::meilisearch, 7710),
              "SCOUT_DRIVER=meilisearch\nMEILISEARCH_HOST=http://127.0.0.1:7710");
    EXPECT_EQ(env(ServiceType::typesense, 8118),
              "SCOUT_DRIVER=typesense\nTYPESENSE_HOST=127.0.0.1\nTYPESENSE_PORT=8118");
    EXPECT_EQ(env(ServiceType::minio, 9010),
              "FILESYSTEM_DISK=s3\nAWS_ENDPOINT=http://127.0.0.1:9010\n"
              "AWS_ACCESS_KEY_ID=stubsecret\nAWS_SECRET_ACCESS_KEY=stubsecret\n"
              "AWS_BUCKET=local\nAWS_USE_PATH_STYLE_ENDPOINT=true");
}

TEST(ServiceType, DotEnvUsesTheRecordsFields) {
    vesk::ConnectionInfo info{"db.local", 1, std::string(""), std::nullopt, std::string("app")};
    EXPECT_EQ(info.dotEnv(ServiceType::mysql),
              "DB_CONNECTION=mysql\nDB_HOST=db.local\nDB_PORT=1\nDB_DATABASE=laravel\n"
              "DB_USERNAME=\nDB_PASSWORD=");
    EXPECT_EQ(info.dotEnv(ServiceType::postgresql),
              "DB_CONNECTION=pgsql\nDB_HOST=db.local\nDB_PORT=1\nDB_DATABASE=app\n"
              "DB_USERNAME=\nDB_PASSWORD=");
    EXPECT_EQ(
        info.dotEnv(ServiceType::mongodb).substr(info.dotEnv(ServiceType::mongodb).rfind('\n') + 1),
        "DB_DATABASE=app");
    info.password = "";
    EXPECT_EQ(info.dotEnv(ServiceType::redis),
              "REDIS_HOST=db.local\nREDIS_PORT=1\nREDIS_PASSWORD=");
    info.username = "u";
    info.password = "p";
    EXPECT_NE(info.dotEnv(ServiceType::minio).find("AWS_ACCESS_KEY_ID=stubsecret"),
              std::string::npos);
}

TEST(ServiceType, ConnectionInfoCredentials) {
    const auto pg = vesk::connectionInfo(ServiceType::postgresql, 5440);
    EXPECT_EQ(pg, (vesk::ConnectionInfo{"127.0.0.1", 5440, "vesk", "", "postgres"}));
    const auto minio = vesk::connectionInfo(ServiceType::minio, 9010);
    EXPECT_EQ(minio.username, "stubsecret");
    EXPECT_EQ(minio.password, "stubsecret");
    EXPECT_EQ(vesk::connectionInfo(ServiceType::redis, 1).password, std::nullopt);
}

TEST(EnvMapping, EntriesAndSupportedTypes) {
    using E = vesk::EnvMapping::Entry;
    EXPECT_EQ(vesk::EnvMapping::entries(ServiceType::mariadb, 3361),
              (std::vector<E>{{"DB_CONNECTION", "mariadb"},
                              {"DB_HOST", "127.0.0.1"},
                              {"DB_PORT", "3361"},
                              {"DB_USERNAME", "root"},
                              {"DB_PASSWORD", ""}}));
    EXPECT_EQ(vesk::EnvMapping::entries(ServiceType::minio, 9010),
              (std::vector<E>{{"AWS_ENDPOINT", "http://127.0.0.1:9010"},
                              {"AWS_URL", "http://127.0.0.1:9010"}}));
    EXPECT_EQ(vesk::EnvMapping::entries(ServiceType::redis, 6380),
              (std::vector<E>{{"REDIS_HOST", "127.0.0.1"}, {"REDIS_PORT", "6380"}}));
    EXPECT_TRUE(vesk::EnvMapping::entries(ServiceType::mongodb, 1).empty());
    EXPECT_TRUE(vesk::EnvMapping::entries(ServiceType::typesense, 1).empty());
    EXPECT_EQ(vesk::EnvMapping::supportedServiceTypes(),
              (std::vector<ServiceType>{ServiceType::mysql, ServiceType::mariadb,
                                        ServiceType::postgresql, ServiceType::redis,
                                        ServiceType::meilisearch, ServiceType::minio}));
}

}  // namespace
