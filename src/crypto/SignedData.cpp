#include "crypto/SignedData.h"

#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <optional>
#include <span>
#include <vector>

#include "internal/CertificateImpl.h"
#include "internal/ChainCheck.h"
#include "internal/Handles.h"
#include "internal/Names.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignerChecks.h"
#include "internal/Times.h"

namespace quilvane {

namespace signed_data {

const std::string kNotSigned = "The file is not a signed message, or it is damaged or incomplete";

// Raises one of our own errors; whatever OpenSSL queued on the way is
// dropped by the entry point's mark.
[[noreturn]] void Fail(std::int32_t status, const std::string& description) {
    throw Error(status, description);
}

[[noreturn]] void NotSigned(const std::string& detail) {
    Fail(status::BadMessage, kNotSigned + ": " + detail + ".");
}

std::string AlgorithmName(const ASN1_OBJECT* object) {
    if (int nid = OBJ_obj2nid(object); nid != NID_undef) {
        return OBJ_nid2sn(nid);
    }
    char dotted[128] = "";
    OBJ_obj2txt(dotted, sizeof dotted, object, 1);
    return dotted;
}

// A signature OpenSSL could not check at all: the algorithms named, what
// OpenSSL said kept for the details.
[[noreturn]] void Unreadable(CMS_SignerInfo* info, const std::string& unreadable) {
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, nullptr, &digest, &signature);
    const ASN1_OBJECT* digestObject = nullptr;
    const ASN1_OBJECT* signatureObject = nullptr;
    X509_ALGOR_get0(&digestObject, nullptr, nullptr, digest);
    X509_ALGOR_get0(&signatureObject, nullptr, nullptr, signature);
    std::string reason = ossl::TakeErrors();
    throw Error(status::BadMessage,
                unreadable + ": its algorithms (" + AlgorithmName(digestObject) + " and " +
                    AlgorithmName(signatureObject) + ") could not be used here.",
                reason);
}

// Keys that sign the whole message themselves (RFC 8419) rather than a
// digest; OpenSSL's CMS code cannot drive them, so their signatures are made
// and checked here.
bool IsEdDsa(EVP_PKEY* key) {
    return EVP_PKEY_is_a(key, "ED25519") || EVP_PKEY_is_a(key, "ED448");
}

// The digest for a signature with `key`: SHA-512 with Ed25519 as RFC 8419
// wants, SHA-256 with every other kind of key.
const EVP_MD* DigestFor(EVP_PKEY* key, const std::string& name) {
    if (EVP_PKEY_is_a(key, "ED448")) {
        Fail(status::Failed, "The certificate of " + name +
                                 " has an Ed448 key, which cannot be used for signing here.");
    }
    return EVP_PKEY_is_a(key, "ED25519") ? EVP_sha512() : EVP_sha256();
}

// An encoding OpenSSL made, in its own memory.
struct Encoded {
    ossl::MemPtr<unsigned char> bytes;
    std::size_t size = 0;
};

// The bytes a signature over signed attributes covers: the attributes as a
// SET OF. For signing OpenSSL puts them in DER order, the order it writes
// them in; for checking it keeps the order the message holds them in.
Encoded SignedAttributesDer(CMS_SignerInfo* info, bool signing) {
    const std::string what = "Could not encode the signed attributes";
    // The list only points at the attributes; the signer-info keeps them.
    ossl::AttributeListPtr list(ossl::Check(sk_X509_ATTRIBUTE_new_null(), status::Failed, what));
    for (int i = 0; i < CMS_signed_get_attr_count(info); ++i) {
        ossl::Check(sk_X509_ATTRIBUTE_push(list.get(), CMS_signed_get_attr(info, i)),
                    status::Failed, what);
    }
    unsigned char* der = nullptr;
    int length = ASN1_item_i2d(
        reinterpret_cast<ASN1_VALUE*>(list.get()), &der,
        signing ? ASN1_ITEM_rptr(PKCS7_ATTR_SIGN) : ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    Encoded encoded{ossl::MemPtr<unsigned char>(der)};
    if (length <= 0) {
        ossl::Raise(status::Failed, what);
    }
    encoded.size = static_cast<std::size_t>(length);
    return encoded;
}

void SignEdDsa(CMS_SignerInfo* info, EVP_PKEY* key, const std::string& what) {
    Encoded attributes = SignedAttributesDer(info, true);
    ossl::MdCtxPtr context(ossl::Check(EVP_MD_CTX_new(), status::Failed, what));
    ossl::Check(EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key), status::Failed,
                what);
    std::size_t length = 0;
    ossl::Check(
        EVP_DigestSign(context.get(), nullptr, &length, attributes.bytes.get(), attributes.size),
        status::Failed, what);
    std::vector<unsigned char> signature(length);
    ossl::Check(EVP_DigestSign(context.get(), signature.data(), &length, attributes.bytes.get(),
                               attributes.size),
                status::Failed, what);
    ossl::Check(ASN1_STRING_set(CMS_SignerInfo_get0_signature(info), signature.data(),
                                static_cast<int>(length)),
                status::Failed, what);
}

// Checks an EdDSA signature over `data`: 1 when it holds, 0 when not.
int VerifyEdDsa(CMS_SignerInfo* info, EVP_PKEY* key, const unsigned char* data, std::size_t size) {
    ossl::MdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) != 1) {
        return -1;
    }
    const ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(info);
    int result =
        EVP_DigestVerify(context.get(), ASN1_STRING_get0_data(signature),
                         static_cast<std::size_t>(ASN1_STRING_length(signature)), data, size);
    return result == 1 ? 1 : 0;
}

// The signing time the operation set, else now.
std::time_t SigningTime(const Signer& signer) {
    const Attributes& attributes = signer.AuthenticatedAttributes();
    for (std::size_t i = 1; i <= attributes.Count(); ++i) {
        const Attribute& attribute = attributes.Item(i);
        if (attribute.Name() != AttributeName::SigningTime) {
            Fail(status::Failed,
                 "Only a signing time can be added to a signature as a signed attribute.");
        }
        const auto* time = std::get_if<DateTime>(&attribute.Value());
        if (time == nullptr) {
            Fail(status::Failed, "The signing time given is not a date and time.");
        }
        return time->seconds;
    }
    return std::time(nullptr);
}

EVP_PKEY* PrivateKey(const Certificate& certificate) {
    const Certificate::Impl& impl = certificate.impl();
    EVP_PKEY* key = impl.keys ? impl.keys->KeyFor(impl.x509.get()) : nullptr;
    if (key == nullptr) {
        throw NoPrivateKeyError(impl.x509.get());
    }
    return key;
}

bool Carries(CMS_ContentInfo* cms, X509* certificate) {
    ossl::ErrorMark mark;  // a message without certificates carries none
    ossl::X509StackPtr carried(CMS_get1_certs(cms));
    for (int i = 0; i < sk_X509_num(carried.get()); ++i) {
        if (X509_cmp(sk_X509_value(carried.get(), i), certificate) == 0) {
            return true;
        }
    }
    return false;
}

CMS_SignerInfo* AddSignerInfo(CMS_ContentInfo* cms, X509* x509, EVP_PKEY* key, const EVP_MD* digest,
                              std::time_t signingTime, std::span<const unsigned char> value,
                              const std::string& what) {
    // OpenSSL refuses to add a certificate the message already carries
    // (someone signing twice), and with it the whole signer.
    unsigned int flags = CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL;
    if (Carries(cms, x509)) {
        flags |= CMS_NOCERTS;
    }
    CMS_SignerInfo* info = CMS_add1_signer(cms, x509, key, digest, flags);
    ossl::Check(info, status::Failed, what);

    ossl::AsnTimePtr time = ossl::FromTime(signingTime);
    ossl::Check(CMS_signed_add1_attr_by_NID(info, NID_pkcs9_signingTime,
                                            ASN1_STRING_type(time.get()), time.get(), -1),
                status::Failed, what);
    ossl::Check(CMS_signed_add1_attr_by_NID(info, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                            value.data(), static_cast<int>(value.size())),
                status::Failed, what);
    ossl::Check(CMS_signed_add1_attr_by_NID(info, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                            CMS_get0_eContentType(cms), -1),
                status::Failed, what);
    if (IsEdDsa(key)) {
        X509_ALGOR* algorithm = nullptr;
        CMS_SignerInfo_get0_algs(info, nullptr, nullptr, nullptr, &algorithm);
        ossl::Check(X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_ED25519), V_ASN1_UNDEF, nullptr),
                    status::Failed, what);
    }
    return info;
}

void Seal(CMS_SignerInfo* info, EVP_PKEY* key, const std::string& what) {
    if (IsEdDsa(key)) {
        SignEdDsa(info, key, what);
    } else {
        ossl::Check(CMS_SignerInfo_sign(info), status::Failed, what);
    }
}

void CheckSignatures(CMS_ContentInfo* cms, BIO* chain) {
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    int count = sk_CMS_SignerInfo_num(infos);
    if (count <= 0) {
        NotSigned("it holds no signature");
    }
    {
        // Find each signer's certificate among the message's own; a missing
        // one is told by name below.
        ossl::ErrorMark mark;
        CMS_set1_signers_certs(cms, nullptr, 0);
    }

    for (int i = 0; i < count; ++i) {
        CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
        EVP_PKEY* key = nullptr;
        X509* certificate = nullptr;
        CMS_SignerInfo_get0_algs(info, &key, &certificate, nullptr, nullptr);
        if (certificate == nullptr) {
            Fail(status::BadMessage, "The certificate of signer " + std::to_string(i + 1) + " (" +
                                         ossl::SignerIdText(info) +
                                         ") is not in the file, so that signature cannot be "
                                         "checked.");
        }
        const std::string name = ossl::NameOf(certificate);
        if (key == nullptr) {
            Fail(status::BadMessage, "The signature of " + name +
                                         " cannot be checked: the kind of key of the certificate "
                                         "is not known.");
        }
        const std::string mismatch = "The signature of " + name + " does not match the document.";
        const std::string unreadable = "The signature of " + name + " cannot be checked";
        bool hasAttributes = CMS_signed_get_attr_count(info) >= 0;
        if (IsEdDsa(key) && !hasAttributes) {
            Fail(status::BadMessage, unreadable +
                                         ": it is made over the whole document at once, which "
                                         "is not held in memory here.");
        }
        // What the signed attributes say of the message, told in words before
        // OpenSSL's own checks refuse them as a mere "attribute error".
        ossl::CheckContentType(cms, info, name);
        ossl::SigningTimeOf(info, name);

        // The content against the signer's message digest (or, without
        // signed attributes, against the signature itself).
        int result = CMS_SignerInfo_verify_content(info, chain);
        if (result == 0) {
            Fail(status::SignatureMismatch,
                 hasAttributes ? "The document was changed after it was signed." : mismatch);
        }
        if (result < 0) {
            Unreadable(info, unreadable);
        }
        if (!hasAttributes) {
            continue;
        }
        // The signature over the signed attributes.
        if (IsEdDsa(key)) {
            Encoded attributes = SignedAttributesDer(info, false);
            result = VerifyEdDsa(info, key, attributes.bytes.get(), attributes.size);
        } else {
            result = CMS_SignerInfo_verify(info);
        }
        if (result == 0) {
            Fail(status::SignatureMismatch, mismatch);
        }
        if (result < 0) {
            Unreadable(info, unreadable);
        }
    }
}

// The certificates a message carries, as intermediates of its signers' chains.
ossl::X509StackPtr CarriedCertificates(CMS_ContentInfo* cms) {
    ossl::ErrorMark mark;  // a message without certificates has no intermediates
    return ossl::X509StackPtr(CMS_get1_certs(cms));
}

X509* CertificateOf(CMS_SignerInfo* info) {
    X509* certificate = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, &certificate, nullptr, nullptr);
    return certificate;
}

// Checks each signer's certificate chain, now, for any purpose.
void CheckCertificates(CMS_ContentInfo* cms) {
    ossl::StorePtr store = ossl::TrustedRoots();
    ossl::X509StackPtr intermediates = CarriedCertificates(cms);
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        X509* certificate = CertificateOf(sk_CMS_SignerInfo_value(infos, i));
        const ossl::ChainCheck chain =
            ossl::CheckChain(store.get(), certificate, intermediates.get());
        if (chain.error == X509_V_OK) {
            continue;
        }
        const std::string name = ossl::NameOf(certificate);
        // A fault further up the chain names the certificate it lies in.
        std::string above;
        if (chain.depth > 0 && chain.at) {
            above = ossl::NameOf(chain.at.get());
        }
        if (ossl::IsUntrustedRoot(chain.error)) {
            Fail(status::UntrustedRoot,
                 "The certificate of " + name + " was not issued by a trusted root.");
        }
        switch (chain.error) {
            case X509_V_ERR_CERT_HAS_EXPIRED:
                Fail(status::CertificateExpired,
                     above.empty() ? "The certificate of " + name + " has expired."
                                   : "The certificate of " + name + " was issued under that of " +
                                         above + ", which has expired.");
            case X509_V_ERR_CERT_NOT_YET_VALID:
                Fail(status::CertificateNotYetValid,
                     above.empty() ? "The certificate of " + name + " is not yet valid."
                                   : "The certificate of " + name + " was issued under that of " +
                                         above + ", which is not yet valid.");
            default:
                throw Error(status::CertificateUnsuitable,
                            "The certificate of " + name + " cannot be used for signing.",
                            X509_verify_cert_error_string(chain.error));
        }
    }
}

void ReadAttributes(CMS_SignerInfo* info, const std::string& name, Attributes& attributes) {
    // Built in steps: GCC 12 takes the moves of a variant made in place for
    // reads of uninitialised memory.
    if (std::optional<std::time_t> time = ossl::SigningTimeOf(info, name)) {
        Attribute signingTime;
        signingTime.Name(AttributeName::SigningTime);
        signingTime.Value(DateTime{*time});
        attributes.Add(std::move(signingTime));
    }
    for (int i = 0; i < CMS_signed_get_attr_count(info); ++i) {
        X509_ATTRIBUTE* attribute = CMS_signed_get_attr(info, i);
        int nid = OBJ_obj2nid(X509_ATTRIBUTE_get0_object(attribute));
        if (nid != NID_pkcs9_contentType && nid != NID_pkcs9_messageDigest &&
            nid != NID_pkcs9_signingTime) {
            Attribute other;
            other.Name(AttributeName::Other);
            other.Value(ossl::AttributeText(attribute));
            attributes.Add(std::move(other));
        }
    }
}

}  // namespace signed_data

using namespace signed_data;

const Attribute& Attributes::Item(std::size_t index) const {
    if (items_.empty()) {
        throw Error(status::NoSuchItem, "The signature has no signed attributes.");
    }
    return ItemAt(items_, index);
}

const Certificate& Signer::Certificate() const {
    if (!certificate_) {
        throw Error(status::Failed, "No certificate was chosen for the signer.");
    }
    return *certificate_;
}

SignedData::SignedData() : impl_(std::make_unique<Impl>()) {}
SignedData::~SignedData() = default;
SignedData::SignedData(SignedData&&) noexcept = default;
SignedData& SignedData::operator=(SignedData&&) noexcept = default;

std::vector<Signer> SignedData::Signers() const {
    std::vector<Signer> signers;
    if (!impl_->cms) {
        return signers;
    }
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(impl_->cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
        Signer signer;
        X509* certificate = CertificateOf(info);
        if (certificate != nullptr) {
            signer.Certificate(MakeCertificate(certificate));
        }
        ReadAttributes(
            info, certificate != nullptr ? ossl::NameOf(certificate) : ossl::SignerIdText(info),
            signer.AuthenticatedAttributes());
        signers.push_back(std::move(signer));
    }
    return signers;
}

std::vector<CertificateTrust> SignedData::Trust() const {
    ossl::ErrorMark mark;
    std::vector<CertificateTrust> trust;
    if (!impl_->cms) {
        return trust;
    }
    ossl::StorePtr roots = ossl::TrustedRoots();
    ossl::X509StackPtr intermediates = CarriedCertificates(impl_->cms.get());
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(impl_->cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
        X509* certificate = CertificateOf(info);
        if (certificate == nullptr) {
            Fail(status::Failed,
                 "The certificate of signer " + std::to_string(i + 1) + " is not in the file.");
        }
        trust.push_back(ossl::TrustOf(info, certificate, roots.get(), intermediates.get()));
    }
    return trust;
}

}  // namespace quilvane
