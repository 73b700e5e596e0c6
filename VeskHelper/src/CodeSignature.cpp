#include "CodeSignature.hpp"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace vesk::codesign {

namespace {

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
void freeBio(BIO* b) {
    BIO_free_all(b);
}
void freeCertStack(STACK_OF(X509) * s) {
    sk_X509_free(s);
}
using Bio = std::unique_ptr<BIO, Deleter<BIO, freeBio>>;
using Cms = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using CertStack = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCertStack>>;

Bio memory(const void* data, std::size_t size) {
    return Bio(BIO_new_mem_buf(data, static_cast<int>(size)));
}

Cert readCertificate(std::string_view pem) {
    Bio bio = memory(pem.data(), pem.size());
    return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string subjectLine(X509* cert) {
    Bio out(BIO_new(BIO_s_mem()));
    if (!out) return {};
    X509_NAME_print_ex(out.get(), X509_get_subject_name(cert), 0, XN_FLAG_ONELINE);
    char* data = nullptr;
    const long n = BIO_get_mem_data(out.get(), &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

// The OU of the subject; none when it has none, and none (refused by the
// caller check) when it has several, since the team would be ambiguous.
std::optional<std::string> organizationalUnit(X509* cert, bool& ambiguous) {
    X509_NAME* name = X509_get_subject_name(cert);
    const int at = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, -1);
    ambiguous = false;
    if (at < 0) return std::nullopt;
    if (X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, at) >= 0) {
        ambiguous = true;
        return std::nullopt;
    }
    ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, value);
    if (n < 0) {
        ambiguous = true;
        return std::nullopt;
    }
    std::string out(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
    OPENSSL_free(utf8);
    return out;
}

struct Trailer {
    std::span<const std::uint8_t> content;
    std::span<const std::uint8_t> signature;
};

std::optional<Trailer> parseTrailer(std::span<const std::uint8_t> file) {
    const std::size_t fixed = kMagic.size() + kInfoSize;
    if (file.size() <= fixed) return std::nullopt;
    const auto magic = file.subspan(file.size() - kMagic.size());
    if (std::string_view(reinterpret_cast<const char*>(magic.data()), magic.size()) != kMagic) {
        return std::nullopt;
    }
    const auto info = file.subspan(file.size() - fixed, kInfoSize);
    // algorithm, hash, key-id type, signer-name length, key-id length, 3 pad, length
    if (info[0] != 0 || info[1] != 0 || info[2] != kIdTypePKCS7 || info[3] != 0 || info[4] != 0 ||
        info[5] != 0 || info[6] != 0 || info[7] != 0) {
        return std::nullopt;
    }
    const std::uint32_t length = (std::uint32_t{info[8]} << 24) | (std::uint32_t{info[9]} << 16) |
                                 (std::uint32_t{info[10]} << 8) | std::uint32_t{info[11]};
    if (length == 0 || length > file.size() - fixed) return std::nullopt;
    const std::size_t contentSize = file.size() - fixed - length;
    return Trailer{file.first(contentSize), file.subspan(contentSize, length)};
}

}  // namespace

std::vector<std::uint8_t> sign(std::span<const std::uint8_t> content,
                               const std::vector<Identity>& identities) {
    if (identities.empty()) throw std::runtime_error("no signing identity");
    constexpr unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP;
    Cms cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL));
    if (!cms) throw std::runtime_error("cannot create a signature");
    std::vector<std::pair<Key, Cert>> keep;
    for (const Identity& id : identities) {
        Bio keyBio = memory(id.keyPEM.data(), id.keyPEM.size());
        Key key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)
                       : nullptr);
        Cert cert = readCertificate(id.certificatePEM);
        if (!key || !cert) throw std::runtime_error("unreadable signing key or certificate");
        if (CMS_add1_signer(cms.get(), cert.get(), key.get(), EVP_sha256(), flags) == nullptr) {
            throw std::runtime_error("the key does not match its certificate");
        }
        keep.emplace_back(std::move(key), std::move(cert));
    }
    Bio data = memory(content.data(), content.size());
    if (!data || CMS_final(cms.get(), data.get(), nullptr, flags) != 1) {
        throw std::runtime_error("signing failed");
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_CMS_ContentInfo(cms.get(), &der);
    if (derLength <= 0) throw std::runtime_error("cannot encode the signature");
    std::vector<std::uint8_t> out(content.begin(), content.end());
    out.insert(out.end(), der, der + derLength);
    OPENSSL_free(der);
    const auto length = static_cast<std::uint32_t>(derLength);
    const std::uint8_t info[kInfoSize] = {0,
                                          0,
                                          kIdTypePKCS7,
                                          0,
                                          0,
                                          0,
                                          0,
                                          0,
                                          static_cast<std::uint8_t>(length >> 24),
                                          static_cast<std::uint8_t>(length >> 16),
                                          static_cast<std::uint8_t>(length >> 8),
                                          static_cast<std::uint8_t>(length)};
    out.insert(out.end(), info, info + kInfoSize);
    out.insert(out.end(), kMagic.begin(), kMagic.end());
    return out;
}

std::optional<std::span<const std::uint8_t>> signedContent(std::span<const std::uint8_t> file) {
    if (auto t = parseTrailer(file)) return t->content;
    return std::nullopt;
}

std::optional<Verification> verify(std::span<const std::uint8_t> file,
                                   std::string_view trustRootPEM) {
    const auto trailer = parseTrailer(file);
    if (!trailer) return std::nullopt;

    const unsigned char* p = trailer->signature.data();
    Cms cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(trailer->signature.size())));
    // The DER must fill the signature exactly: nothing hidden behind it.
    if (!cms || p != trailer->signature.data() + trailer->signature.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) return std::nullopt;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    if (infos == nullptr || sk_CMS_SignerInfo_num(infos) != 1) return std::nullopt;

    Cert root = readCertificate(trustRootPEM);
    Store store(X509_STORE_new());
    if (!root || !store || X509_STORE_add_cert(store.get(), root.get()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
    Bio content = memory(trailer->content.data(), trailer->content.size());
    if (!content) return std::nullopt;
    if (CMS_verify(cms.get(), nullptr, store.get(), content.get(), nullptr, CMS_BINARY) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    CertStack signers(CMS_get0_signers(cms.get()));
    if (!signers || sk_X509_num(signers.get()) != 1) return std::nullopt;
    X509* signer = sk_X509_value(signers.get(), 0);
    bool ambiguous = false;
    Verification v;
    v.teamIdentifier = organizationalUnit(signer, ambiguous);
    if (ambiguous) return std::nullopt;
    v.signerSubject = subjectLine(signer);
    return v;
}

}  // namespace vesk::codesign
