// The local certificate authority and the site certificates it signs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "vesk/Certificate.hpp"

namespace {

namespace fs = std::filesystem;
using vesk::Certificate;
using vesk::CertificateError;
using vesk::Date;
namespace Certificates = vesk::Certificates;

constexpr double kDay = 86'400;

class CertificateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("vesk-certs-" + std::to_string(::getpid()));
        fs::remove_all(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    [[nodiscard]] std::string ca() const { return (dir / "ca").string(); }
    [[nodiscard]] std::string certs() const { return (dir / "certs").string(); }
    static std::string text(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir;
};

TEST_F(CertificateTest, TheAuthorityIsMadeOnceAndSignsSitesBrowsersAccept) {
    const Date now = Date::now();
    const Certificate authority = Certificates::authority(ca(), now);
    EXPECT_TRUE(authority.isCA);
    struct stat st {};
    ASSERT_EQ(::stat(authority.keyPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the authority's key is readable by others";
    ASSERT_EQ(::stat(ca().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "the authority's directory is open to others";
    ASSERT_TRUE(authority.expiresAt);
    EXPECT_NEAR(authority.expiresAt->timeIntervalSince1970() - now.timeIntervalSince1970(),
                Certificates::kAuthorityDays * kDay, 2 * kDay);

    // Asked again, the same authority: its files are not replaced.
    const std::string pem = text(authority.certificatePath);
    EXPECT_EQ(Certificates::authority(ca(), now).certificatePath, authority.certificatePath);
    EXPECT_EQ(text(authority.certificatePath), pem);

    const Certificate site =
        Certificates::issue(authority, "blog.test", {"www.blog.test"}, certs(), now);
    EXPECT_FALSE(site.isCA);
    EXPECT_EQ(site.domain, "blog.test");
    ASSERT_TRUE(site.expiresAt);
    // Browsers refuse server certificates valid for more than 398 days.
    EXPECT_LE(site.expiresAt->timeIntervalSince1970() - now.timeIntervalSince1970(), 398 * kDay);
    for (const char* name : {"blog.test", "api.blog.test", "www.blog.test"}) {
        EXPECT_EQ(Certificates::verify(authority, site.certificatePath, name, now), std::nullopt)
            << name;
    }
    for (const char* name : {"shop.test", "a.b.blog.test", "test"}) {
        EXPECT_NE(Certificates::verify(authority, site.certificatePath, name, now), std::nullopt)
            << name << " is not among the certificate's names";
    }
    const Date later = Date::fromUnix(now.timeIntervalSince1970() + 400 * kDay);
    EXPECT_NE(Certificates::verify(authority, site.certificatePath, "blog.test", later),
              std::nullopt);
    // Under another authority it is worth nothing.
    const Certificate other = Certificates::authority((dir / "other").string(), now);
    EXPECT_NE(Certificates::verify(other, site.certificatePath, "blog.test", now), std::nullopt);
}

TEST_F(CertificateTest, NamesThatCouldAddNamesOfTheirOwnAreRefused) {
    const Certificate authority = Certificates::authority(ca(), Date::now());
    for (const char* name : {"blog.test,DNS:bank.example", "blog.test, IP:1.2.3.4", "", ".test",
                             "a b.test", "blog.test\n", "*.test"}) {
        EXPECT_THROW(Certificates::issue(authority, name, {}, certs(), Date::now()),
                     CertificateError)
            << name;
        EXPECT_THROW(Certificates::issue(authority, "blog.test", {name}, certs(), Date::now()),
                     CertificateError)
            << "alias " << name;
    }
    EXPECT_FALSE(fs::exists(certs() + "/blog.test.key")) << "a refused name left a key";
}

TEST_F(CertificateTest, AnAuthorityHalfThereOrMismatchedIsNeverReplaced) {
    const Certificate first = Certificates::authority(ca(), Date::now());
    const std::string pem = text(first.certificatePath);
    fs::remove(first.keyPath);
    EXPECT_THROW(Certificates::authority(ca(), Date::now()), CertificateError);
    EXPECT_EQ(text(first.certificatePath), pem) << "the certificate was replaced";

    const Certificate other = Certificates::authority((dir / "other").string(), Date::now());
    fs::copy_file(other.keyPath, first.keyPath);
    EXPECT_THROW(Certificates::authority(ca(), Date::now()), CertificateError);
    EXPECT_EQ(text(first.certificatePath), pem);
}

TEST_F(CertificateTest, OnlyAnAuthorityReachesATrustStore) {
    const Certificate authority = Certificates::authority(ca(), Date::now());
    const Certificate site = Certificates::issue(authority, "blog.test", {}, certs(), Date::now());
    const std::string pem = text(authority.certificatePath);
    const auto kept = Certificates::authorityText(pem + "trailing bytes\n" + text(site.keyPath));
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, pem) << "only the certificate is written again";
    EXPECT_FALSE(Certificates::authorityText(text(site.certificatePath)));
    EXPECT_FALSE(Certificates::authorityText(text(site.keyPath)));
    EXPECT_FALSE(Certificates::authorityText("root:x:0:0:root:/root:/bin/bash\n"));
    EXPECT_FALSE(Certificates::authorityText(""));
}

}  // namespace
