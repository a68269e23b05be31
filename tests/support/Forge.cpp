#include "support/Forge.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "internal/Handles.h"

namespace quilvane::test {
namespace {

using namespace ossl;

// `result`, unless it is OpenSSL's null pointer or its failure (0 or less).
template <typename T>
T Must(T result, const std::string& what) {
    Check(result, status::Failed, what);
    return result;
}

PkeyPtr KeyOf(const Identity& id) {
    BioPtr bio(Must(BIO_new_file(id.key.c_str(), "r"), "key file"));
    return PkeyPtr(Must(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), "key"));
}

X509Ptr CertificateOf(const Identity& id) {
    BioPtr bio(Must(BIO_new_file(id.cert.c_str(), "r"), "certificate file"));
    return X509Ptr(Must(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), "certificate"));
}

template <typename T>
std::string Der(const T* item, int (*encode)(const T*, unsigned char**)) {
    unsigned char* der = nullptr;
    const int length = Must(encode(item, &der), "encode");
    const MemPtr<unsigned char> owner(der);
    return {reinterpret_cast<char*>(der), static_cast<std::size_t>(length)};
}

CmsPtr Decoded(const std::string& message) {
    const auto* p = reinterpret_cast<const unsigned char*>(message.data());
    return CmsPtr(
        Must(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size())), "decode"));
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos || from.size() != to.size()) {
        throw std::runtime_error("nothing to replace");
    }
    text.replace(at, from.size(), to);
}

// A 2048-bit key that signs only with RSASSA-PSS.
EVP_PKEY* RsaPssKey() {
    PkeyCtxPtr context(Must(EVP_PKEY_CTX_new_from_name(nullptr, "RSA-PSS", nullptr), "context"));
    Must(EVP_PKEY_keygen_init(context.get()), "keygen");
    Must(EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), 2048), "bits");
    EVP_PKEY* key = nullptr;
    Must(EVP_PKEY_generate(context.get(), &key), "generate");
    return key;
}

// "/CN=Alice Example/O=Example Ltd" as a name.
X509NamePtr Name(const std::string& subject) {
    X509NamePtr name(Must(X509_NAME_new(), "name"));
    std::istringstream fields(subject);
    for (std::string field; std::getline(fields, field, '/');) {
        if (const std::size_t at = field.find('='); at != std::string::npos) {
            Must(X509_NAME_add_entry_by_txt(
                     name.get(), field.substr(0, at).c_str(), MBSTRING_UTF8,
                     reinterpret_cast<const unsigned char*>(field.c_str() + at + 1), -1, -1, 0),
                 field.c_str());
        }
    }
    return name;
}

// A certificate for a new key named `name`, issued by `issuer` (by itself
// when null), valid between the dates given (YYYYMMDDHHMMSSZ) or from
// yesterday for a year; written with its key to `stem`.pem and `stem`.key.
Identity Make(const fs::path& folder, const std::string& stem, X509_NAME* name, KeyType type,
              const Identity* issuer, const std::string& from, const std::string& to,
              const std::vector<std::pair<int, const char*>>& extensions) {
    PkeyPtr key(Must(type == KeyType::Rsa      ? EVP_RSA_gen(2048)
                     : type == KeyType::RsaPss ? RsaPssKey()
                     : type == KeyType::Ec     ? EVP_EC_gen("P-256")
                     : type == KeyType::EcP384 ? EVP_EC_gen("P-384")
                                               : EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"),
                     "key"));
    X509Ptr ca = issuer != nullptr ? CertificateOf(*issuer) : nullptr;
    PkeyPtr caKey = issuer != nullptr ? KeyOf(*issuer) : nullptr;
    X509Ptr certificate(Must(X509_new(), "certificate"));
    X509* c = certificate.get();
    // Random, as a CA's are: issuer and serial number tell certificates apart.
    std::uint64_t serial = 0;
    Must(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial), "serial");
    Must(ASN1_INTEGER_set_uint64(X509_get_serialNumber(c), (serial >> 1) | 1), "serial");
    Must(X509_set_version(c, 2), "version");
    Must(X509_set_subject_name(c, name), "subject");
    Must(X509_set_issuer_name(c, ca ? X509_get_subject_name(ca.get()) : name), "issuer");
    Must(from.empty() ? X509_gmtime_adj(X509_getm_notBefore(c), -86400) != nullptr
                      : ASN1_TIME_set_string_X509(X509_getm_notBefore(c), from.c_str()),
         "from");
    Must(to.empty() ? X509_gmtime_adj(X509_getm_notAfter(c), 365 * 86400) != nullptr
                    : ASN1_TIME_set_string_X509(X509_getm_notAfter(c), to.c_str()),
         "to");
    Must(X509_set_pubkey(c, key.get()), "public key");
    X509V3_CTX context;
    X509V3_set_ctx(&context, ca ? ca.get() : c, c, nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
        X509ExtensionPtr extension(Must(X509V3_EXT_conf_nid(nullptr, &context, nid, value), value));
        Must(X509_add_ext(c, extension.get(), -1), value);
    }
    EVP_PKEY* signer = caKey ? caKey.get() : key.get();
    Must(X509_sign(c, signer, EVP_PKEY_is_a(signer, "ED25519") ? nullptr : EVP_sha256()), "sign");

    const Identity id{folder / (stem + ".pem"), folder / (stem + ".key")};
    BioPtr cert(Must(BIO_new_file(id.cert.c_str(), "w"), "cert file"));
    Must(PEM_write_bio_X509(cert.get(), c), "write cert");
    BioPtr keyFile(Must(BIO_new_file(id.key.c_str(), "w"), "key file"));
    Must(PEM_write_bio_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr),
         "write key");
    return id;
}

}  // namespace

Pki::Pki(fs::path folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
}

const std::vector<std::pair<int, const char*>> kCaExtensions = {
    {NID_basic_constraints, "critical,CA:TRUE"},
    {NID_key_usage, "critical,keyCertSign,cRLSign"},
    {NID_subject_key_identifier, "hash"}};

const Identity& Pki::root() {
    if (root_.cert.empty()) {
        root_ = Make(folder_, "root", Name("/CN=Quilvane Test Root/O=Quilvane Tests").get(),
                     KeyType::Ec, nullptr, "", "", kCaExtensions);
    }
    return root_;
}

const std::vector<std::pair<int, const char*>> kUserExtensions = {
    {NID_basic_constraints, "CA:FALSE"},
    {NID_key_usage, "critical,digitalSignature,nonRepudiation,keyEncipherment"},
    {NID_subject_key_identifier, "hash"},
    {NID_authority_key_identifier, "keyid"}};

Identity Pki::issue(const std::string& name, const std::string& subject, KeyType type,
                    const std::string& notBefore, const std::string& notAfter) {
    return Make(folder_, name, Name(subject).get(), type, &root(), notBefore, notAfter,
                kUserExtensions);
}

Identity Pki::issueBy(const Identity& issuer, const std::string& name, const std::string& subject,
                      KeyType type, const Extensions& extra, bool ca, const std::string& notBefore,
                      const std::string& notAfter) {
    std::vector<std::pair<int, const char*>> extensions = ca ? kCaExtensions : kUserExtensions;
    if (ca) {
        extensions.emplace_back(NID_authority_key_identifier, "keyid");
    }
    // One of the usual extensions given again is replaced, as a time-stamping
    // authority's key usage must be.
    for (const auto& [nid, value] : extra) {
        auto same = std::find_if(extensions.begin(), extensions.end(),
                                 [nid = nid](const auto& usual) { return usual.first == nid; });
        if (same != extensions.end()) {
            same->second = value.c_str();
        } else {
            extensions.emplace_back(nid, value.c_str());
        }
    }
    return Make(folder_, name, Name(subject).get(), type, &issuer, notBefore, notAfter, extensions);
}

const Identity& Pki::intermediate() {
    if (intermediate_.cert.empty()) {
        intermediate_ =
            issueBy(root(), "intermediate", "/CN=Quilvane Test Issuing CA/O=Quilvane Tests",
                    KeyType::Rsa, {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"}}, true);
    }
    return intermediate_;
}

Identity NamedIdentity(const fs::path& folder, const std::string& stem,
                       const std::string& commonName) {
    X509NamePtr name(Must(X509_NAME_new(), "name"));
    if (!commonName.empty()) {
        // A plain string type takes the bytes as they are, unchecked and unlimited.
        Must(X509_NAME_add_entry_by_NID(name.get(), NID_commonName, V_ASN1_UTF8STRING,
                                        reinterpret_cast<const unsigned char*>(commonName.data()),
                                        static_cast<int>(commonName.size()), -1, 0),
             "common name");
    }
    return Make(folder, stem, name.get(), KeyType::Ec, nullptr, "", "", {});
}

std::string Forge(const Identity& id, const std::string& content, const Change& after) {
    X509Ptr certificate = CertificateOf(id);
    PkeyPtr key = KeyOf(id);
    const unsigned int flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    CmsPtr cms(Must(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags), "message"));
    CMS_SignerInfo* info =
        Must(CMS_add1_signer(cms.get(), certificate.get(), key.get(), EVP_sha256(), flags), "add");
    BioPtr in(Must(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())), "bio"));
    Must(CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY), "final");
    if (after) {
        after(cms.get(), info);
    }
    return Der<CMS_ContentInfo>(cms.get(), i2d_CMS_ContentInfo);
}

namespace {

// The signed attributes of `info`, each encoded on its own, in the order it holds them.
std::vector<std::string> AttributeEncodings(CMS_SignerInfo* info) {
    std::vector<std::string> attributes;
    for (int i = 0; i < CMS_signed_get_attr_count(info); ++i) {
        attributes.push_back(Der<X509_ATTRIBUTE>(CMS_signed_get_attr(info, i), i2d_X509_ATTRIBUTE));
    }
    return attributes;
}

std::string Joined(const std::vector<std::string>& parts) {
    return std::accumulate(parts.begin(), parts.end(), std::string());
}

// `id`'s signature (SHA-256) over the SET of `attributes`, taken as they come.
std::string SignatureOver(const std::string& attributes, const Identity& id) {
    PkeyPtr key = KeyOf(id);
    MdCtxPtr context(Must(EVP_MD_CTX_new(), "context"));
    Must(EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()), "init");
    const int size = static_cast<int>(attributes.size());
    std::string set(static_cast<std::size_t>(ASN1_object_size(1, size, V_ASN1_SET)), '\0');
    auto* p = reinterpret_cast<unsigned char*>(set.data());
    ASN1_put_object(&p, 1, size, V_ASN1_SET, V_ASN1_UNIVERSAL);
    std::copy(attributes.begin(), attributes.end(), p);
    std::string signature(static_cast<std::size_t>(EVP_PKEY_get_size(key.get())), '\0');
    std::size_t length = signature.size();
    Must(EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                        reinterpret_cast<const unsigned char*>(set.data()), set.size()),
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

Change SigningTime(const Identity& id, int type, std::vector<std::string> values) {
    return [=](CMS_ContentInfo*, CMS_SignerInfo* info) {
        X509_ATTRIBUTE_free(CMS_signed_delete_attr(
            info, CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1)));
        for (const std::string& value : values) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
            const int size = static_cast<int>(value.size());
            const int at = CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1);
            Must(at < 0
                     ? CMS_signed_add1_attr_by_NID(info, NID_pkcs9_signingTime, type, bytes, size)
                     : X509_ATTRIBUTE_set1_data(CMS_signed_get_attr(info, at), type, bytes, size),
                 "signing time");
        }
        SignAgain(info, id);
    };
}

std::string Reencoded(const std::string& message) {
    const Bytes der = EncodeDer(Decoded(message).get(), "encode");
    return {reinterpret_cast<const char*>(der.data()), der.size()};
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
