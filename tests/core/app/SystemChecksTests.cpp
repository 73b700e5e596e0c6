// What vesk doctor finds, each with its fix, on texts planted by the test.
#include <gtest/gtest.h>

#include "vesk/app/SystemChecks.hpp"

namespace {

using vesk::DiagnosticSeverity;
namespace checks = vesk::SystemChecks;

TEST(SystemChecks, TheModuleMustBeAskedBeforeResolve) {
    const auto line = [](const std::string& hosts) {
        return checks::hostsLine("passwd: files\n" + hosts + "\nnetworks: files\n");
    };
    EXPECT_EQ(line("hosts: files vesk [NOTFOUND=return] dns").severity, DiagnosticSeverity::passed);
    EXPECT_EQ(line("  hosts:\tfiles vesk [NOTFOUND=return] resolve [!UNAVAIL=return] dns").severity,
              DiagnosticSeverity::passed);
    const auto after = line("hosts: files resolve [!UNAVAIL=return] vesk [NOTFOUND=return] dns");
    EXPECT_EQ(after.severity, DiagnosticSeverity::error);
    EXPECT_NE(after.suggestion->find("move \"vesk [NOTFOUND=return]\" before \"resolve\""),
              std::string::npos);
    EXPECT_EQ(line("hosts: files dns").severity, DiagnosticSeverity::error);
    EXPECT_EQ(line("hosts: files myvesk dns").severity, DiagnosticSeverity::error)
        << "a word that only contains vesk is not the module";
    EXPECT_EQ(checks::hostsLine("passwd: files\n").severity, DiagnosticSeverity::error);
}

TEST(SystemChecks, ResolverFilePortsVersionsAndDirectories) {
    EXPECT_EQ(checks::resolverFile("test", "nameserver 127.0.0.1\nport 53\n").severity,
              DiagnosticSeverity::passed);
    const auto missing = checks::resolverFile("test", std::nullopt);
    EXPECT_EQ(missing.severity, DiagnosticSeverity::error);
    EXPECT_NE(missing.suggestion->find("/etc/resolver/test is missing"), std::string::npos);
    EXPECT_NE(missing.suggestion->find("sudo vesk install"), std::string::npos)
        << "a vesk command, not the helper's raw operation";
    EXPECT_EQ(missing.suggestion->find("helperctl"), std::string::npos);
    EXPECT_EQ(checks::resolverFile("test", "port 53\n").severity, DiagnosticSeverity::error);

    EXPECT_EQ(checks::port(80, "Vesk's nginx", false, false, std::nullopt).severity,
              DiagnosticSeverity::passed);
    EXPECT_EQ(checks::port(80, "Vesk's nginx", true, true, std::nullopt).severity,
              DiagnosticSeverity::passed)
        << "Vesk's own server holds it";
    const auto debian = checks::port(80, "Vesk's nginx", true, false, "nginx.service");
    EXPECT_EQ(debian.severity, DiagnosticSeverity::error);
    EXPECT_EQ(*debian.suggestion,
              "port 80 is held by nginx.service: stop it with sudo systemctl disable --now "
              "nginx.service");
    EXPECT_NE(checks::port(53, "dnsmasq", true, false, std::nullopt).suggestion->find("ss -lntup"),
              std::string::npos);

    vesk::Site a;
    a.phpVersion = "7.4";
    vesk::Site b;
    EXPECT_EQ(checks::phpVersions({a, b}, "8.2", {"8.2", "7.4"}).severity,
              DiagnosticSeverity::passed);
    const auto php = checks::phpVersions({a, b}, "8.4", {"8.2"});
    EXPECT_EQ(php.severity, DiagnosticSeverity::error);
    EXPECT_EQ(php.suggestion->rfind("PHP 7.4, 8.4 is not installed", 0), 0U) << *php.suggestion;

    EXPECT_EQ(checks::siteDirectories({}).severity, DiagnosticSeverity::passed);
    const auto dirs = checks::siteDirectories({"/home/dev/Sites/blog", "/x"});
    EXPECT_EQ(*dirs.suggestion,
              "/home/dev/Sites/blog cannot be read (and 1 more): chmod u+rx it and the "
              "directories above it");
}

}  // namespace
