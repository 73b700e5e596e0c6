// The local certificate authority and the site certificates it signs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "vesk/sites/Certificate.hpp"

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

/// What someone holding the authority's key could mint: a certificate for
/// `names` (a subjectAltName value), signed with the key, past every check
/// of the library.
std::string mintWithKey(const Certificate& authority, const std::string& names) {
    FILE* kf = std::fopen(authority.keyPath.c_str(), "r");
    FILE* cf = std::fopen(authority.certificatePath.c_str(), "r");
    EVP_PKEY* caKey = kf != nullptr ? PEM_read_PrivateKey(kf, nullptr, nullptr, nullptr) : nullptr;
    X509* caCert = cf != nullptr ? PEM_read_X509(cf, nullptr, nullptr, nullptr) : nullptr;
    if (kf != nullptr) std::fclose(kf);
    if (cf != nullptr) std::fclose(cf);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("minted"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(caCert));
    X509_set_pubkey(cert, key);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, caCert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, names.c_str());
    X509_add_ext(cert, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(cert, caKey, EVP_sha256());
    const std::string path = authority.certificatePath + ".minted.crt";
    FILE* out = std::fopen(path.c_str(), "w");
    PEM_write_X509(out, cert);
    std::fclose(out);
    X509_free(cert);
    X509_free(caCert);
    EVP_PKEY_free(key);
    EVP_PKEY_free(caKey);
    return path;
}

TEST_F(CertificateTest, TheAuthorityVouchesForTheDevelopmentDomainsAlone) {
    const Date now = Date::now();
    const Certificate authority = Certificates::authority(ca(), now, {"test", "dev"});
    const auto permitted = Certificates::permittedNames(text(authority.certificatePath));
    ASSERT_TRUE(permitted);
    EXPECT_EQ(*permitted, (std::vector<std::string>{"test", "dev", "localhost"}));

    // Its key, stolen, still mints nothing a client trusting it accepts for a real name.
    for (const char* names : {"DNS:www.google.com", "DNS:test.example", "DNS:*.com", "IP:8.8.8.8",
                              "DNS:blog.test,DNS:bank.example"}) {
        const std::string minted = mintWithKey(authority, names);
        for (const char* host : {"www.google.com", "test.example", "blog.test"}) {
            EXPECT_NE(Certificates::verify(authority, minted, host, now), std::nullopt)
                << names << " accepted for " << host;
        }
    }
    EXPECT_EQ(
        Certificates::verify(authority, mintWithKey(authority, "DNS:api.dev"), "api.dev", now),
        std::nullopt)
        << "a development domain the authority was made for";

    // The library refuses to sign outside the constraint in the first place.
    for (const char* name : {"www.google.com", "test.com", "xtest", "localhost.example"}) {
        EXPECT_THROW((void)Certificates::issuePEM(authority, name, {}, now), CertificateError)
            << name;
        EXPECT_THROW((void)Certificates::issuePEM(authority, "blog.test", {name}, now),
                     CertificateError)
            << "alias " << name;
    }
    EXPECT_NO_THROW((void)Certificates::issuePEM(authority, "blog.TEST", {"localhost"}, now));

    EXPECT_TRUE(Certificates::isPermitted("a.b.test", {"test"}));
    EXPECT_TRUE(Certificates::isPermitted("test", {".test"}));
    EXPECT_FALSE(Certificates::isPermitted("atest", {"test"}));
    EXPECT_FALSE(Certificates::isPermitted("test.com", {"test"}));
    EXPECT_FALSE(Certificates::isPermitted("anything", {""}));
}

TEST_F(CertificateTest, AnAuthorityWithoutANameConstraintSignsNothingAndIsNotTrusted) {
    fs::create_directories(ca());
    const std::string key = ca() + "/vesk-ca.key";
    const std::string cert = ca() + "/vesk-ca.crt";
    // An authority as an older version made it: any name at all.
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
        "-nodes -subj '/CN=Vesk Development CA' -days 30 -keyout '" +
        key + "' -out '" + cert + "' -addext basicConstraints=critical,CA:TRUE >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const Certificate old = Certificates::authority(ca(), Date::now());
    EXPECT_TRUE(Certificates::authorityText(text(cert))) << "it is an authority";
    EXPECT_FALSE(Certificates::permittedNames(text(cert)));
    EXPECT_THROW((void)Certificates::issuePEM(old, "blog.test", {}, Date::now()), CertificateError);
    EXPECT_FALSE(Certificates::permittedNames("not a certificate"));
}

TEST_F(CertificateTest, OnlyACertificateAndTheKeyOfItAreStored) {
    const Certificate authority = Certificates::authority(ca(), Date::now());
    const auto one = Certificates::issuePEM(authority, "one.test", {}, Date::now());
    const auto two = Certificates::issuePEM(authority, "two.test", {}, Date::now());
    EXPECT_THROW((void)Certificates::store({one.certificate, two.key, std::nullopt}, "one.test",
                                           certs(), Date::now()),
                 CertificateError);
    EXPECT_THROW((void)Certificates::store({"junk", one.key, std::nullopt}, "one.test", certs(),
                                           Date::now()),
                 CertificateError);
    EXPECT_FALSE(fs::exists(certs() + "/one.test.key"));
    const Certificate stored = Certificates::store(one, "one.test", certs(), Date::now());
    EXPECT_EQ(Certificates::verify(authority, stored.certificatePath, "one.test", Date::now()),
              std::nullopt);
    struct stat st {};
    ASSERT_EQ(::stat(stored.keyPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
}

}  // namespace
