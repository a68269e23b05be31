// A new signer-info: what it is made of, and the check that the signature
// made holds before anything is kept.

#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <filesystem>
#include <span>
#include <vector>

#include "crypto/Network.h"
#include "crypto/Store.h"
#include "crypto/Text.h"
#include "internal/CertificateFiles.h"
#include "internal/CertificateImpl.h"
#include "internal/ChainCheck.h"
#include "internal/Handles.h"
#include "internal/Names.h"
#include "internal/Revocation.h"
#include "internal/SignedDataImpl.h"
#include "internal/TimeStamps.h"
#include "internal/Times.h"

namespace quilvane {
namespace signed_data {

// The digest for a signature with `key`: SHA-512 with Ed25519 as RFC 8419
// wants; with ECDSA one as strong as the curve, which verifiers such as
// gpgsm require; SHA-256 with every other kind of key.
const EVP_MD* DigestFor(EVP_PKEY* key, const std::string& name) {
    if (EVP_PKEY_is_a(key, "ED448")) {
        Fail(status::Failed,
             Format(Tr("The certificate of %1 has an Ed448 key, which cannot be used "
                       "for signing here."),
                    name));
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

// The signing time the operation set, else now.
std::time_t SigningTime(const Signer& signer) {
    const Attributes& attributes = signer.AuthenticatedAttributes();
    for (std::size_t i = 1; i <= attributes.Count(); ++i) {
        const Attribute& attribute = attributes.Item(i);
        if (attribute.Name() != AttributeName::SigningTime) {
            Fail(status::Failed,
                 Tr("Only a signing time can be added to a signature as a signed attribute."));
        }
        const auto* time = std::get_if<DateTime>(&attribute.Value());
        if (time == nullptr) {
            Fail(status::Failed, Tr("The signing time given is not a date and time."));
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

namespace {

// The certificates between `certificate` and its root, not the root itself,
// as far as they are found: among those its key's source holds and in the
// user's Root and My folders. Only a path is built, nothing is trusted: the
// chain lets a verifier that trusts the root reach the signer.
ossl::X509StackPtr GatherIssuers(const Certificate::Impl& impl) {
    X509* x509 = impl.x509.get();
    const std::string what =
        Format(Tr("Could not gather the issuers of the certificate of %1"), ossl::NameOf(x509));
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

}  // namespace

// Reading the folders (and every key file in them) costs more than a small
// document's signature: a batch gathers once.
ossl::X509StackPtr IssuersOf(const Certificate& certificate) {
    const Certificate::Impl& impl = certificate.impl();
    const std::lock_guard hold(impl.issuersLock);
    if (!impl.issuers) {
        impl.issuers = GatherIssuers(impl);
    }
    return ossl::X509StackPtr(
        ossl::Check(X509_chain_up_ref(impl.issuers.get()), status::Failed,
                    Format(Tr("Could not gather the issuers of the certificate of %1"),
                           ossl::NameOf(impl.x509.get()))));
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
    if (CurrentNetworkSettings().embedValidationData) {
        // Before the layout, which must know every byte after the document.
        ossl::StorePtr roots = ossl::TrustedRoots();
        const ossl::ChainCheck chain = ossl::CheckChain(roots.get(), x509, issuers);
        ossl::EmbedRevocationData(cms, chain.chain.get(), what);
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
        Fail(status::Failed, Format(Tr("%1: the signature its private key made does not verify "
                                       "with the certificate, so nothing was signed."),
                                    what));
    }
}

void Seal(CMS_ContentInfo* cms, CMS_SignerInfo* info, EVP_PKEY* key, const std::string& what) {
    if (IsEdDsa(key)) {
        SignEdDsa(info, key, what);
    } else {
        ossl::Check(CMS_SignerInfo_sign(info), status::Failed, what);
    }
    CheckSealed(cms, info, what);
    // Only a signature that holds is worth a time-stamp.
    if (!CurrentNetworkSettings().timestampUrl.empty()) {
        AddSignatureTimeStamp(info);
    }
}

}  // namespace signed_data
}  // namespace quilvane
