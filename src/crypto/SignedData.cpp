#include "crypto/SignedData.h"

#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>

#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "crypto/Store.h"
#include "internal/CertificateFiles.h"
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

X509* CertificateOf(CMS_SignerInfo* info);
ossl::X509StackPtr CarriedCertificates(CMS_ContentInfo* cms);

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
// wants; with ECDSA one as strong as the curve, which verifiers such as
// gpgsm require; SHA-256 with every other kind of key.
const EVP_MD* DigestFor(EVP_PKEY* key, const std::string& name) {
    if (EVP_PKEY_is_a(key, "ED448")) {
        Fail(status::Failed, "The certificate of " + name +
                                 " has an Ed448 key, which cannot be used for signing here.");
    }
    if (EVP_PKEY_is_a(key, "ED25519")) {
        return EVP_sha512();
    }
    if (EVP_PKEY_is_a(key, "EC")) {
        const int bits = EVP_PKEY_get_bits(key);
        if (bits > 384) {
            return EVP_sha512();
        }
        if (bits > 256) {
            return EVP_sha384();
        }
    }
    return EVP_sha256();
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

// The certificates between `certificate` and its root, not the root itself,
// as far as they are found: among those its key's source holds and in the
// user's Root and My folders. Only a path is built, nothing is trusted: the
// chain lets a verifier that trusts the root reach the signer.
ossl::X509StackPtr IssuersOf(const Certificate& certificate) {
    const Certificate::Impl& impl = certificate.impl();
    X509* x509 = impl.x509.get();
    const std::string what =
        "Could not gather the issuers of the certificate of " + ossl::NameOf(x509);
    ossl::X509StackPtr candidates(ossl::Check(sk_X509_new_null(), status::Failed, what));
    const auto add = [&](ossl::X509Ptr other) {
        ossl::Check(sk_X509_push(candidates.get(), other.get()), status::Failed, what);
        other.release();
    };
    if (impl.keys) {
        for (ossl::X509Ptr& other : impl.keys->OtherCertificates()) {
            add(std::move(other));
        }
    }
    for (const char* name : {"Root", "My"}) {
        std::vector<std::filesystem::path> files;
        try {
            files = FolderFiles(Store::Folder(name));
        } catch (const Error&) {
            continue;  // an unreadable folder offers no issuers
        }
        for (const std::filesystem::path& file : files) {
            CertificateFile contents = ReadCertificateFile(file, nullptr, LockedPkcs12::Keep);
            for (auto* list : {&contents.certificates, &contents.authorities}) {
                for (ossl::X509Ptr& other : *list) {
                    add(std::move(other));
                }
            }
        }
    }

    // Path building by OpenSSL over an empty trust store, every complaint
    // waved through: what it found is the chain.
    ossl::StorePtr none(ossl::Check(X509_STORE_new(), status::Failed, what));
    ossl::StoreCtxPtr context(ossl::Check(X509_STORE_CTX_new(), status::Failed, what));
    ossl::Check(X509_STORE_CTX_init(context.get(), none.get(), x509, candidates.get()),
                status::Failed, what);
    X509_STORE_CTX_set_verify_cb(context.get(), [](int, X509_STORE_CTX*) { return 1; });
    {
        ossl::ErrorMark mark;
        X509_verify_cert(context.get());
    }
    ossl::X509StackPtr chain(X509_STORE_CTX_get1_chain(context.get()));
    ossl::X509StackPtr issuers(ossl::Check(sk_X509_new_null(), status::Failed, what));
    const int count = sk_X509_num(chain.get());
    for (int i = 1; i < count; ++i) {
        X509* issuer = sk_X509_value(chain.get(), i);
        if (i == count - 1 && X509_self_signed(issuer, 0) == 1) {
            break;
        }
        ossl::Check(sk_X509_push(issuers.get(), issuer), status::Failed, what);
        X509_up_ref(issuer);
    }
    return issuers;
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

// Adds `certificate` to the message's certificates unless it carries it
// already: OpenSSL refuses a repeated one, and with it the whole signer.
void AddCertificate(CMS_ContentInfo* cms, X509* certificate, const std::string& what) {
    if (!Carries(cms, certificate)) {
        ossl::Check(CMS_add1_cert(cms, certificate), status::Failed, what);
    }
}

// An RSA-PSS key signs only with PSS, so the signer-info declares
// id-RSASSA-PSS with the parameters used (salt as long as the digest), as
// OpenSSL's provider states them.
void UsePss(CMS_SignerInfo* info, const std::string& what) {
    EVP_PKEY_CTX* context = ossl::Check(CMS_SignerInfo_get0_pkey_ctx(info), status::Failed, what);
    ossl::Check(EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING), status::Failed, what);
    ossl::Check(EVP_PKEY_CTX_set_rsa_pss_saltlen(context, RSA_PSS_SALTLEN_DIGEST), status::Failed,
                what);
    unsigned char identifier[128];
    OSSL_PARAM parameters[] = {OSSL_PARAM_construct_octet_string(OSSL_SIGNATURE_PARAM_ALGORITHM_ID,
                                                                 identifier, sizeof identifier),
                               OSSL_PARAM_construct_end()};
    ossl::Check(EVP_PKEY_CTX_get_params(context, parameters), status::Failed, what);
    X509_ALGOR* algorithm = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, nullptr, nullptr, &algorithm);
    const unsigned char* next = identifier;
    ossl::Check(d2i_X509_ALGOR(&algorithm, &next, static_cast<long>(parameters[0].return_size)),
                status::Failed, what);
}

CMS_SignerInfo* AddSignerInfo(CMS_ContentInfo* cms, X509* x509, STACK_OF(X509) * issuers,
                              EVP_PKEY* key, const EVP_MD* digest, std::time_t signingTime,
                              std::span<const unsigned char> value, const std::string& what) {
    // CMS_CADES adds signing-certificate-v2 under `digest` (CAdES B-B); the
    // certificates are added below, each only once.
    const bool pss = EVP_PKEY_is_a(key, "RSA-PSS");
    unsigned int flags = CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL | CMS_NOCERTS | CMS_CADES;
    if (pss) {
        flags |= CMS_KEY_PARAM;
    }
    CMS_SignerInfo* info = CMS_add1_signer(cms, x509, key, digest, flags);
    ossl::Check(info, status::Failed, what);
    AddCertificate(cms, x509, what);
    for (int i = 0; i < sk_X509_num(issuers); ++i) {
        AddCertificate(cms, sk_X509_value(issuers, i), what);
    }
    if (pss) {
        UsePss(info, what);
    }

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

// The new signer-info `info` of `cms` checked as others will read it: from
// the message's DER, with its certificate's public key rather than the key
// that signed. A key that is not the certificate's, or a token that signs
// wrongly, is refused before anything is kept.
void CheckSealed(CMS_ContentInfo* cms, CMS_SignerInfo* info, const std::string& what) {
    X509* certificate = CertificateOf(info);
    const Bytes der = ossl::EncodeDer(cms, what);
    const unsigned char* next = der.data();
    ossl::CmsPtr copy(ossl::Check(
        d2i_CMS_ContentInfo(nullptr, &next, static_cast<long>(der.size())), status::Failed, what));
    // DER sorts the signer-infos: the new one is found by its signature.
    CMS_SignerInfo* made = nullptr;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(copy.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos) && made == nullptr; ++i) {
        CMS_SignerInfo* each = sk_CMS_SignerInfo_value(infos, i);
        if (ASN1_STRING_cmp(CMS_SignerInfo_get0_signature(each),
                            CMS_SignerInfo_get0_signature(info)) == 0) {
            made = each;
        }
    }
    EVP_PKEY* publicKey = X509_get0_pubkey(certificate);
    int result = -1;
    if (made != nullptr && publicKey != nullptr) {
        ossl::ErrorMark mark;  // told below in our own words
        if (IsEdDsa(publicKey)) {
            Encoded attributes = SignedAttributesDer(made, false);
            result = VerifyEdDsa(made, publicKey, attributes.bytes.get(), attributes.size);
        } else {
            CMS_SignerInfo_set1_signer_cert(made, certificate);
            result = CMS_SignerInfo_verify(made);
        }
    }
    if (result != 1) {
        Fail(status::Failed, what +
                                 ": the signature its private key made does not verify with "
                                 "the certificate, so nothing was signed.");
    }
}

void Seal(CMS_ContentInfo* cms, CMS_SignerInfo* info, EVP_PKEY* key, const std::string& what) {
    if (IsEdDsa(key)) {
        SignEdDsa(info, key, what);
    } else {
        ossl::Check(CMS_SignerInfo_sign(info), status::Failed, what);
    }
    CheckSealed(cms, info, what);
}

const std::string WholeDocument::kLimitText = "48 MiB";

void WholeDocument::Add(std::span<const std::uint8_t> bytes) {
    if (!keeping_ || tooLarge_) {
        return;
    }
    if (bytes_.size() + bytes.size() > kLimit) {
        tooLarge_ = true;
        std::vector<std::uint8_t>().swap(bytes_);
        return;
    }
    // Reserved once, so that growing never holds two copies; untouched pages
    // take no memory.
    if (bytes_.capacity() == 0) {
        bytes_.reserve(kLimit);
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

bool SignsWholeDocument(CMS_SignerInfo* info) {
    X509_ALGOR* algorithm = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, nullptr, nullptr, &algorithm);
    const ASN1_OBJECT* object = nullptr;
    if (algorithm != nullptr) {
        X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    }
    const int nid = OBJ_obj2nid(object);
    return CMS_signed_get_attr_count(info) < 0 && (nid == NID_ED25519 || nid == NID_ED448);
}

void CheckSignatures(CMS_ContentInfo* cms, BIO* chain, const WholeDocument& whole) {
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
    const ossl::X509StackPtr carried = CarriedCertificates(cms);

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
        // What the signed attributes say of the message, told in words before
        // OpenSSL's own checks refuse them as a mere "attribute error".
        ossl::CheckContentType(cms, info, name);
        ossl::SigningTimeOf(info, name);

        if (IsEdDsa(key) && !hasAttributes) {
            // The document itself is the signed message, checked in one call.
            if (!whole.Keeping()) {
                Fail(status::BadMessage,
                     unreadable +
                         ": it is made over the whole document at once, and the "
                         "message does not name the digest such a signature uses.");
            }
            if (whole.TooLarge()) {
                Fail(status::BadMessage,
                     unreadable +
                         ": it is made over the whole document at once, which is "
                         "checked only up to " +
                         WholeDocument::kLimitText + ", and the document is larger.");
            }
            int result = VerifyEdDsa(info, key, whole.Bytes().data(), whole.Bytes().size());
            if (result < 0) {
                ossl::Raise(status::BadMessage, unreadable);
            }
            if (result == 0) {
                Fail(status::SignatureMismatch, mismatch);
            }
            continue;
        }
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
        ossl::BindsSigner(info, certificate, carried.get(), name);
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

// Refuses a signer whose certificate is not trusted now, as Trust() judges it.
void CheckCertificates(CMS_ContentInfo* cms) {
    ossl::StorePtr store = ossl::TrustedRoots();
    ossl::X509StackPtr intermediates = CarriedCertificates(cms);
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
        X509* certificate = CertificateOf(info);
        if (certificate == nullptr) {
            Fail(status::UntrustedRoot,
                 "The certificate of signer " + std::to_string(i + 1) + " is not in the file.");
        }
        const CertificateTrust trust =
            ossl::TrustOf(info, certificate, store.get(), intermediates.get());
        const std::string of = "The certificate of " + ossl::NameOf(certificate);
        switch (trust.verdict) {
            case Verdict::Trusted:
                continue;
            case Verdict::SelfSigned:
            case Verdict::UntrustedRoot:
                Fail(status::UntrustedRoot, of + " was not issued by a trusted root.");
            case Verdict::Expired:
                Fail(status::CertificateExpired, of + " has expired.");
            case Verdict::NotYetValid:
                Fail(status::CertificateNotYetValid, of + " is not yet valid.");
            case Verdict::BrokenDigest:
                Fail(status::CertificateUnsuitable,
                     of + " cannot be used for signing: it relies on the broken digest " +
                         trust.detail + ".");
            case Verdict::NotForSigning:
                Fail(status::CertificateUnsuitable,
                     of + " is not meant for signing: it allows " + trust.detail + ".");
            case Verdict::SigningTimeOutside:
                Fail(status::CertificateUnsuitable,
                     of + " was not valid at the signing time its signature claims.");
            case Verdict::ChainRefused:
                throw Error(status::CertificateUnsuitable, of + " cannot be used for signing.",
                            trust.detail);
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
        // The ESS signing-certificate attributes bind the certificate for
        // the signature's sake; the signer did not add them to say anything.
        if (nid != NID_pkcs9_contentType && nid != NID_pkcs9_messageDigest &&
            nid != NID_pkcs9_signingTime && nid != NID_id_smime_aa_signingCertificate &&
            nid != NID_id_smime_aa_signingCertificateV2) {
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
    const ossl::X509StackPtr carried = CarriedCertificates(impl_->cms.get());
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(impl_->cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
        Signer signer;
        X509* certificate = CertificateOf(info);
        if (certificate != nullptr) {
            signer.Certificate(MakeCertificate(certificate));
            // The message was verified or made here, so the binding holds.
            signer.Level(
                ossl::BindsSigner(info, certificate, carried.get(), ossl::NameOf(certificate))
                    ? SignatureLevel::CadesBB
                    : SignatureLevel::Cms);
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
