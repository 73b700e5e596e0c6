#include "vesk/sites/Certificate.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <memory>

#include "vesk/system/RecordFile.hpp"

namespace vesk::Certificates {

namespace {

template <auto Free>
struct Freer {
    template <class P>
    void operator()(P* p) const {
        Free(p);
    }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Freer<X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO_free>>;
using Store = std::unique_ptr<X509_STORE, Freer<X509_STORE_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Freer<X509_STORE_CTX_free>>;
using Number = std::unique_ptr<BIGNUM, Freer<BN_free>>;

constexpr const char* kAuthorityName = "Vesk Development CA";
constexpr long kSecondsPerDay = 86'400;
/// A site certificate starts an hour early: clocks of the machines that
/// check it may be a little behind.
constexpr long kBackdate = 3'600;

[[noreturn]] void fail(const std::string& what) {
    const unsigned long code = ERR_get_error();
    char reason[256] = "unknown error";
    if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    throw CertificateError(what + ": " + reason);
}

void check(int result, const std::string& what) {
    if (result <= 0) fail(what);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

/// A host name of letters, digits, hyphens and dots, as a certificate's
/// names are written: nothing that could add a name of its own.
void requireHostName(const std::string& name) {
    const bool plain = !name.empty() && name.size() <= 253 && name.front() != '.' &&
                       name.back() != '.' && std::all_of(name.begin(), name.end(), [](char c) {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '-' || c == '.';
                       });
    if (!plain) throw CertificateError("\"" + name + "\" cannot be named in a certificate");
}

Key newKey() {
    Key key(EVP_EC_gen("P-256"));
    if (!key) fail("cannot make a key");
    return key;
}

std::string pem(const std::function<int(BIO*)>& write, const std::string& what) {
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio) fail(what);
    check(write(bio.get()), what);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

void writeFile(const std::string& path, const std::string& text) {
    try {
        recordfile::writeText(path, text);
    } catch (const std::exception& e) {
        throw CertificateError(e.what());
    }
}

std::string readFile(const std::string& path) {
    try {
        auto text = recordfile::readText(path);
        if (!text) throw CertificateError(path + ": no such file");
        return *text;
    } catch (const RecordFileError& e) {
        throw CertificateError(e.what());
    }
}

Cert readCertificate(const std::string& path) {
    const std::string text = readFile(path);
    const Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    Cert cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert) fail(path + " holds no certificate");
    return cert;
}

/// The certificate a PEM text starts with; none for anything else (or over 1 MiB).
Cert firstCertificate(std::string_view text) {
    if (text.size() > 1 << 20) return nullptr;
    const Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    Cert cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert) ERR_clear_error();
    return cert;
}

Key readKey(const std::string& path) {
    const std::string text = readFile(path);
    const Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) fail(path + " holds no private key");
    return key;
}

std::optional<Date> notAfter(X509* cert) {
    int days = 0;
    int seconds = 0;
    // The difference from now, added to now: the end as a Date.
    if (ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(cert)) == 0) {
        return std::nullopt;
    }
    return Date::fromUnix(static_cast<double>(::time(nullptr)) +
                          static_cast<double>(days) * kSecondsPerDay + seconds);
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr) fail("cannot make extension " + value);
    const int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    check(added, "cannot add extension " + value);
}

/// A certificate with a random 128-bit serial, valid from `from` for `days`.
Cert newCertificate(const std::string& commonName, EVP_PKEY* key, const Date& from, double days,
                    long backdate) {
    Cert cert(X509_new());
    if (!cert) fail("cannot make a certificate");
    check(X509_set_version(cert.get(), 2), "version");
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial), "serial");
    serial[0] &= 0x7f;  // positive
    const Number number(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!number || BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get())) == nullptr) {
        fail("serial");
    }
    auto start = static_cast<time_t>(std::floor(from.timeIntervalSince1970())) - backdate;
    if (X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, &start) == nullptr ||
        X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(days),
                         static_cast<long>(backdate), &start) == nullptr) {
        fail("validity");
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>("Vesk"), -1, -1, 0),
          "subject");
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                     -1, 0),
          "subject");
    check(X509_set_pubkey(cert.get(), key), "public key");
    return cert;
}

}  // namespace

Certificate authority(const std::string& dir, const Date& now,
                      const std::vector<std::string>& domains) {
    const std::string certPath = dir + "/vesk-ca.crt";
    const std::string keyPath = dir + "/vesk-ca.key";
    const bool hasCert = exists(certPath);
    const bool hasKey = exists(keyPath);
    Certificate record;
    record.domain = kAuthorityName;
    record.certificatePath = certPath;
    record.keyPath = keyPath;
    record.isCA = true;
    if (hasCert && hasKey) {
        const Cert cert = readCertificate(certPath);
        const Key key = readKey(keyPath);
        if (X509_check_private_key(cert.get(), key.get()) != 1) {
            ERR_clear_error();
            throw CertificateError(keyPath + " is not the key of " + certPath);
        }
        record.expiresAt = notAfter(cert.get());
        struct stat st {};
        record.createdAt = ::stat(certPath.c_str(), &st) == 0
                               ? Date::fromUnix(static_cast<double>(st.st_mtim.tv_sec))
                               : now;
        return record;
    }
    if (hasCert || hasKey) {
        throw CertificateError((hasCert ? keyPath : certPath) +
                               " is missing: move the other file away to make a new authority");
    }
    const Key key = newKey();
    const Cert cert = newCertificate(kAuthorityName, key.get(), now, kAuthorityDays, 0);
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())), "issuer");
    addExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    addExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    // Trusted by the whole system, it may still vouch for nothing but the
    // development domains, localhost and the loopback addresses, and only
    // for TLS servers: its key cannot mint a certificate for a real name.
    std::string permitted = "critical";
    std::vector<std::string> names = domains;
    names.emplace_back("localhost");
    for (const std::string& name : names) {
        requireHostName(name);
        permitted += ",permitted;DNS:" + name;
    }
    permitted +=
        ",permitted;IP:127.0.0.0/255.0.0.0,permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:"
        "ffff:ffff";
    addExtension(cert.get(), cert.get(), NID_name_constraints, permitted);
    addExtension(cert.get(), cert.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
    check(X509_sign(cert.get(), key.get(), EVP_sha256()), "cannot sign the authority");
    // The key first: a certificate without its key would be refused above.
    writeFile(keyPath, pem(
                           [&](BIO* b) {
                               return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0,
                                                               nullptr, nullptr);
                           },
                           "key"));
    writeFile(certPath, pem([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); }, "cert"));
    record.expiresAt = notAfter(cert.get());
    record.createdAt = now;
    return record;
}

IssuedPEM issuePEM(const Certificate& authority, const std::string& domain,
                   const std::vector<std::string>& aliases, const Date& now) {
    requireHostName(domain);
    for (const std::string& alias : aliases) requireHostName(alias);
    const std::string authorityPEM = readFile(authority.certificatePath);
    const auto permitted = permittedNames(authorityPEM);
    if (!permitted) {
        throw CertificateError(authority.certificatePath +
                               " can vouch for any name: a new authority is needed");
    }
    std::vector<std::string> all{domain};
    all.insert(all.end(), aliases.begin(), aliases.end());
    for (const std::string& name : all) {
        if (!isPermitted(name, *permitted)) {
            std::string list;
            for (const auto& p : *permitted) {
                if (!list.empty()) list += ", ";
                list += p;
            }
            std::string message = name;
            message.append(" is outside the names the local authority vouches for (")
                .append(list)
                .append(")");
            throw CertificateError(message);
        }
    }
    const Cert caCert = readCertificate(authority.certificatePath);
    const Key caKey = readKey(authority.keyPath);
    const Key key = newKey();
    const Cert cert = newCertificate(domain, key.get(), now, kSiteDays, kBackdate);
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert.get())), "issuer");
    std::string names = "DNS:" + domain + ",DNS:*." + domain;
    for (const std::string& alias : aliases) names += ",DNS:" + alias;
    addExtension(cert.get(), caCert.get(), NID_subject_alt_name, names);
    addExtension(cert.get(), caCert.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), caCert.get(), NID_key_usage, "critical,digitalSignature");
    addExtension(cert.get(), caCert.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), caCert.get(), NID_subject_key_identifier, "hash");
    addExtension(cert.get(), caCert.get(), NID_authority_key_identifier, "keyid:always");
    check(X509_sign(cert.get(), caKey.get(), EVP_sha256()), "cannot sign " + domain);
    IssuedPEM issued;
    issued.key = pem(
        [&](BIO* b) {
            return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        },
        "key");
    issued.certificate = pem([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); }, "cert");
    issued.expiresAt = notAfter(cert.get());
    return issued;
}

Certificate store(const IssuedPEM& issued, const std::string& domain, const std::string& dir,
                  const Date& now) {
    requireHostName(domain);
    // Only a certificate and a key that belong together are ever written.
    const Bio certBio(
        BIO_new_mem_buf(issued.certificate.data(), static_cast<int>(issued.certificate.size())));
    const Bio keyBio(BIO_new_mem_buf(issued.key.data(), static_cast<int>(issued.key.size())));
    const Cert cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr)
                            : nullptr);
    const Key key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)
                         : nullptr);
    if (!cert || !key || X509_check_private_key(cert.get(), key.get()) != 1) {
        fail("the issued certificate and key of " + domain + " do not belong together");
    }
    Certificate record;
    record.domain = domain;
    record.certificatePath = dir + "/" + domain + ".crt";
    record.keyPath = dir + "/" + domain + ".key";
    record.isCA = false;
    writeFile(record.keyPath, issued.key);
    writeFile(record.certificatePath, issued.certificate);
    record.expiresAt = notAfter(cert.get());
    record.createdAt = now;
    return record;
}

Certificate issue(const Certificate& authority, const std::string& domain,
                  const std::vector<std::string>& aliases, const std::string& dir,
                  const Date& now) {
    return store(issuePEM(authority, domain, aliases, now), domain, dir, now);
}

std::optional<std::vector<std::string>> permittedNames(std::string_view text) {
    const Cert cert = firstCertificate(text);
    if (!cert) return std::nullopt;
    const int at = X509_get_ext_by_NID(cert.get(), NID_name_constraints, -1);
    X509_EXTENSION* ext = at >= 0 ? X509_get_ext(cert.get(), at) : nullptr;
    if (ext == nullptr || X509_EXTENSION_get_critical(ext) != 1) return std::nullopt;
    const std::unique_ptr<NAME_CONSTRAINTS, Freer<NAME_CONSTRAINTS_free>> constraints(
        static_cast<NAME_CONSTRAINTS*>(X509V3_EXT_d2i(ext)));
    // With no host name permitted, host names are not constrained at all.
    if (!constraints || constraints->permittedSubtrees == nullptr) return std::nullopt;
    std::vector<std::string> names;
    for (int i = 0; i < sk_GENERAL_SUBTREE_num(constraints->permittedSubtrees); ++i) {
        const GENERAL_SUBTREE* tree = sk_GENERAL_SUBTREE_value(constraints->permittedSubtrees, i);
        if (tree->base == nullptr || tree->base->type != GEN_DNS) continue;
        const ASN1_IA5STRING* dns = tree->base->d.dNSName;
        names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                           static_cast<std::size_t>(ASN1_STRING_length(dns)));
    }
    if (names.empty()) return std::nullopt;
    return names;
}

bool isPermitted(std::string_view name, const std::vector<std::string>& permitted) {
    const auto lower = [](std::string_view text) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return out;
    };
    const std::string n = lower(name);
    for (const std::string& p : permitted) {
        std::string base = lower(p);
        if (!base.empty() && base.front() == '.') base.erase(0, 1);
        if (base.empty()) continue;
        if (n == base) return true;
        if (n.size() > base.size() && n.compare(n.size() - base.size(), base.size(), base) == 0 &&
            n[n.size() - base.size() - 1] == '.') {
            return true;
        }
    }
    return false;
}

std::optional<std::string> authorityText(std::string_view text) {
    const Cert cert = firstCertificate(text);
    if (!cert || X509_check_ca(cert.get()) == 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    return pem([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); }, "cert");
}

std::optional<std::string> verify(const Certificate& authority, const std::string& certificatePath,
                                  const std::string& domain, const Date& now) {
    try {
        const Cert caCert = readCertificate(authority.certificatePath);
        const Cert cert = readCertificate(certificatePath);
        const Store store(X509_STORE_new());
        const StoreContext ctx(X509_STORE_CTX_new());
        if (!store || !ctx || X509_STORE_add_cert(store.get(), caCert.get()) != 1 ||
            X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr) != 1) {
            fail("cannot verify");
        }
        X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
        X509_VERIFY_PARAM_set_time(param,
                                   static_cast<time_t>(std::floor(now.timeIntervalSince1970())));
        X509_VERIFY_PARAM_set1_host(param, domain.c_str(), domain.size());
        X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
        if (X509_verify_cert(ctx.get()) != 1) {
            return std::string(X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
        }
        return std::nullopt;
    } catch (const CertificateError& e) {
        return std::string(e.what());
    }
}

}  // namespace vesk::Certificates
