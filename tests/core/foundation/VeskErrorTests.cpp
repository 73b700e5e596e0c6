#include <gtest/gtest.h>

#include "vesk/foundation/VeskError.hpp"

namespace {

using vesk::ServiceType;
using vesk::VeskError;

TEST(VeskError, AllNineteenDescriptions) {
    const std::vector<std::pair<VeskError, std::string>> cases{
        {VeskError::siteNotFound("app"), "Site not found: app"},
        {VeskError::siteAlreadyExists("app"), "Site already exists: app"},
        {VeskError::phpVersionNotInstalled("8.3"), "PHP 8.3 is not installed"},
        {VeskError::serviceNotRunning(ServiceType::redis), "Redis is not running"},
        {VeskError::serviceFailed(ServiceType::minio, "boom"), "MinIO failed: boom"},
        {VeskError::portInUse(80), "Port 80 is already in use"},
        {VeskError::portConflict(80, "nginx", 123),
         "Port 80 is in use by nginx (pid 123). Stop it first or run: sudo kill 123"},
        {VeskError::invalidPort(70000), "Invalid port number: 70000. Must be between 1 and 65535"},
        {VeskError::serviceNameConflict("db"), "A service named 'db' already exists"},
        {VeskError::configNotFound("x"), "Configuration not found: x"},
        {VeskError::configInvalid("x"), "Invalid configuration: x"},
        {VeskError::permissionDenied("x"), "Permission denied: x"},
        {VeskError::processExecutionFailed("x"), "Process execution failed: x"},
        {VeskError::sslGenerationFailed("x"), "SSL certificate generation failed: x"},
        {VeskError::nginxConfigFailed("x"), "Nginx configuration failed: x"},
        {VeskError::helperRegistrationFailed("x"), "Failed to register helper: x"},
        {VeskError::installFailed("x"), "Installation failed: x"},
        {VeskError::operationFailed("x"), "Operation failed: x"},
        {VeskError::helperNotConnected(),
         "Privileged helper is not connected. Please reinstall Vesk."},
    };
    ASSERT_EQ(cases.size(), std::variant_size_v<VeskError::Case>);
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.errorDescription(), text);
        EXPECT_STREQ(error.what(), text.c_str());
    }
    EXPECT_EQ(VeskError::invalidPort(-1).errorDescription(),
              "Invalid port number: -1. Must be between 1 and 65535");
    EXPECT_EQ(VeskError::serviceNotRunning(ServiceType::postgresql).errorDescription(),
              "PostgreSQL is not running");
}

TEST(VeskError, EqualityComparesCaseAndEveryPayloadField) {
    EXPECT_EQ(VeskError::serviceFailed(ServiceType::mysql, "a"),
              VeskError::serviceFailed(ServiceType::mysql, "a"));
    EXPECT_NE(VeskError::serviceFailed(ServiceType::mysql, "a"),
              VeskError::serviceFailed(ServiceType::mysql, "b"));
    EXPECT_NE(VeskError::serviceFailed(ServiceType::mysql, "a"),
              VeskError::serviceFailed(ServiceType::mariadb, "a"));
    EXPECT_NE(VeskError::configNotFound("x"), VeskError::configInvalid("x"));
    EXPECT_NE(VeskError::portConflict(80, "nginx", 1), VeskError::portConflict(80, "nginx", 2));
    EXPECT_EQ(VeskError::helperNotConnected(), VeskError::helperNotConnected());
}

TEST(VeskError, ThrowsAsAnException) {
    try {
        throw VeskError::siteNotFound("x");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Site not found: x");
    }
}

}  // namespace
