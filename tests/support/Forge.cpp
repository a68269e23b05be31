#include "support/Forge.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

namespace quilvane::test {
namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;

template <typename T>
T* Must(T* p, const char* what) {
    if (p == nullptr) {
        throw std::runtime_error(what);
    }
    return p;
}
void Must(int result, const char* what) {
    if (result <= 0) {
        char reason[256];
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        throw std::runtime_error(std::string(what) + ": " + reason);
    }
}

KeyPtr KeyOf(const Identity& id) {
    const std::string pem = ReadFile(id.key);
    BioPtr bio(Must(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), "bio"));
    return KeyPtr(Must(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), "read key"));
}

std::string Der(CMS_ContentInfo* cms) {
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    Must(length, "encode");
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

CmsPtr Decoded(const std::string& message) {
    const auto* p = reinterpret_cast<const unsigned char*>(message.data());
    return CmsPtr(
        Must(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size())), "decode"));
}

// A DER SET holding `content`.
std::string Set(const std::string& content) {
    std::string length;
    for (std::size_t n = content.size(); n > 0; n >>= 8) {
        length.insert(length.begin(), static_cast<char>(n & 0xFF));
    }
    if (content.size() >= 0x80) {
        length.insert(length.begin(), static_cast<char>(0x80 | length.size()));
    }
    return "\x31" + length + content;
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos || from.size() != to.size()) {
        throw std::runtime_error("nothing to replace");
    }
    text.replace(at, from.size(), to);
}

}  // namespace

Identity NamedIdentity(const fs::path& folder, const std::string& stem,
                       const std::string& commonName) {
    KeyPtr key(Must(EVP_EC_gen("P-256"), "key"));
    X509Ptr certificate(Must(X509_new(), "certificate"));
    NamePtr name(Must(X509_NAME_new(), "name"));
    if (!commonName.empty()) {
        // A plain string type takes the bytes as they are, unchecked and unlimited.
        Must(X509_NAME_add_entry_by_NID(name.get(), NID_commonName, V_ASN1_UTF8STRING,
                                        reinterpret_cast<const unsigned char*>(commonName.data()),
                                        static_cast<int>(commonName.size()), -1, 0),
             "common name");
    }
    Must(X509_set_version(certificate.get(), 2), "version");
    Must(ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1), "serial");
    Must(X509_set_subject_name(certificate.get(), name.get()), "subject");
    Must(X509_set_issuer_name(certificate.get(), name.get()), "issuer");
    Must(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -86400) != nullptr, "from");
    Must(X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 365 * 86400) != nullptr, "to");
    Must(X509_set_pubkey(certificate.get(), key.get()), "public key");
    Must(X509_sign(certificate.get(), key.get(), EVP_sha256()), "sign");

    const Identity id{folder / (stem + ".pem"), folder / (stem + ".key")};
    BioPtr cert(Must(BIO_new_file(id.cert.c_str(), "w"), "cert file"));
    Must(PEM_write_bio_X509(cert.get(), certificate.get()), "write cert");
    BioPtr keyFile(Must(BIO_new_file(id.key.c_str(), "w"), "key file"));
    Must(PEM_write_bio_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr),
         "write key");
    return id;
}

std::string Forge(const Identity& id, const std::string& content, const Change& before,
                  const Change& after) {
    const std::string pem = ReadFile(id.cert);
    BioPtr certFile(Must(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), "bio"));
    X509Ptr certificate(
        Must(PEM_read_bio_X509(certFile.get(), nullptr, nullptr, nullptr), "read cert"));
    KeyPtr key = KeyOf(id);
    const unsigned int flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    CmsPtr cms(Must(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags), "message"));
    CMS_SignerInfo* info =
        Must(CMS_add1_signer(cms.get(), certificate.get(), key.get(), EVP_sha256(), flags), "add");
    if (before) {
        before(cms.get(), info);
    }
    BioPtr in(Must(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())), "bio"));
    Must(CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY), "final");
    if (after) {
        after(cms.get(), info);
    }
    return Der(cms.get());
}

namespace {

// The signed attributes of `info`, each encoded on its own, in the order it holds them.
std::vector<std::string> AttributeEncodings(CMS_SignerInfo* info) {
    std::vector<std::string> attributes;
    for (int i = 0; i < CMS_signed_get_attr_count(info); ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509_ATTRIBUTE(CMS_signed_get_attr(info, i), &der);
        Must(length, "attribute");
        attributes.emplace_back(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
        OPENSSL_free(der);
    }
    return attributes;
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string joined;
    for (const std::string& part : parts) {
        joined += part;
    }
    return joined;
}

// `id`'s signature (SHA-256) over the SET of `attributes`, taken as they come.
std::string SignatureOver(const std::string& attributes, const Identity& id) {
    KeyPtr key = KeyOf(id);
    MdCtxPtr context(Must(EVP_MD_CTX_new(), "context"));
    Must(EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()), "init");
    const std::string set = Set(attributes);
    std::size_t length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(set.data());
    Must(EVP_DigestSign(context.get(), nullptr, &length, data, set.size()), "size");
    std::string signature(length, '\0');
    Must(EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                        data, set.size()),
         "sign");
    signature.resize(length);
    return signature;
}

}  // namespace

void SignAgain(CMS_SignerInfo* info, const Identity& id) {
    std::vector<std::string> attributes = AttributeEncodings(info);
    std::sort(attributes.begin(), attributes.end());  // as DER writes a SET OF
    const std::string signature = SignatureOver(Joined(attributes), id);
    Must(ASN1_STRING_set(CMS_SignerInfo_get0_signature(info), signature.data(),
                         static_cast<int>(signature.size())),
         "set signature");
}

std::string Unsorted(const std::string& message, const Identity& id) {
    CmsPtr cms = Decoded(message);
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    std::vector<std::string> attributes = AttributeEncodings(info);
    const std::string sorted = Joined(attributes);
    std::reverse(attributes.begin(), attributes.end());
    const std::string reversed = Joined(attributes);
    const ASN1_OCTET_STRING* old = CMS_SignerInfo_get0_signature(info);
    std::string spliced = message;
    Replace(spliced, sorted, reversed);
    Replace(spliced,
            std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(old)),
                        static_cast<std::size_t>(ASN1_STRING_length(old))),
            SignatureOver(reversed, id));
    return spliced;
}

}  // namespace quilvane::test
