// The checks of a message read: every signature over the document, then
// every signer's certificate.

#include <openssl/objects.h>

#include "crypto/Text.h"
#include "internal/ChainCheck.h"
#include "internal/Handles.h"
#include "internal/Names.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignerChecks.h"

namespace quilvane {
namespace signed_data {

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
                Format(Tr("%1: its algorithms (%2 and %3) could not be used here."), unreadable,
                       AlgorithmName(digestObject), AlgorithmName(signatureObject)),
                reason);
}

void CheckSignatures(CMS_ContentInfo* cms, BIO* chain, const WholeDocument& whole) {
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    int count = sk_CMS_SignerInfo_num(infos);
    if (count <= 0) {
        NotSigned(Tr("it holds no signature"));
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
            Fail(status::BadMessage,
                 Format(Tr("The certificate of signer %1 (%2) is not in the file, "
                           "so that signature cannot be checked."),
                        std::to_string(i + 1), ossl::SignerIdText(info)));
        }
        const std::string name = ossl::NameOf(certificate);
        if (key == nullptr) {
            Fail(status::BadMessage,
                 Format(Tr("The signature of %1 cannot be checked: the kind of key "
                           "of the certificate is not known."),
                        name));
        }
        const std::string mismatch =
            Format(Tr("The signature of %1 does not match the document."), name);
        const std::string unreadable = Format(Tr("The signature of %1 cannot be checked"), name);
        bool hasAttributes = CMS_signed_get_attr_count(info) >= 0;
        // What the signed attributes say of the message, told in words before
        // OpenSSL's own checks refuse them as a mere "attribute error".
        ossl::CheckContentType(cms, info, name);
        ossl::SigningTimeOf(info, name);

        if (IsEdDsa(key) && !hasAttributes) {
            // The document itself is the signed message, checked in one call.
            if (!whole.Keeping()) {
                Fail(status::BadMessage,
                     Format(Tr("%1: it is made over the whole document at once, and the message "
                               "does not name the digest such a signature uses."),
                            unreadable));
            }
            if (whole.TooLarge()) {
                Fail(status::BadMessage,
                     Format(Tr("%1: it is made over the whole document at once, which is checked "
                               "only up to %2, and the document is larger."),
                            unreadable, WholeDocument::kLimitText));
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
                 hasAttributes ? Tr("The document was changed after it was signed.") : mismatch);
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
                 Format(Tr("The certificate of signer %1 is not in the file."),
                        std::to_string(i + 1)));
        }
        const CertificateTrust trust =
            ossl::TrustOf(cms, info, certificate, store.get(), intermediates.get());
        const std::string of = ossl::NameOf(certificate);
        switch (trust.verdict) {
            case Verdict::Trusted:
                continue;
            case Verdict::SelfSigned:
            case Verdict::UntrustedRoot:
                Fail(status::UntrustedRoot,
                     Format(Tr("The certificate of %1 was not issued by a trusted root."), of));
            case Verdict::Expired:
                Fail(status::CertificateExpired,
                     Format(Tr("The certificate of %1 has expired."), of));
            case Verdict::NotYetValid:
                Fail(status::CertificateNotYetValid,
                     Format(Tr("The certificate of %1 is not yet valid."), of));
            case Verdict::BrokenDigest:
                Fail(status::CertificateUnsuitable,
                     Format(Tr("The certificate of %1 cannot be used for signing: it relies on "
                               "the broken digest %2."),
                            of, trust.detail));
            case Verdict::NotForSigning:
                Fail(status::CertificateUnsuitable,
                     Format(Tr("The certificate of %1 is not meant for signing: it allows %2."), of,
                            trust.detail));
            case Verdict::SigningTimeOutside:
                Fail(status::CertificateUnsuitable,
                     Format(Tr("The certificate of %1 was not valid at the signing time its "
                               "signature claims."),
                            of));
            case Verdict::ChainRefused:
                throw Error(status::CertificateUnsuitable,
                            Format(Tr("The certificate of %1 cannot be used for signing."), of),
                            trust.detail);
            case Verdict::Revoked:
                // The revoked certificate may be an authority's of the chain.
                throw Error(
                    status::CertificateUnsuitable,
                    Format(Tr("The certificate of %1 has been revoked."), trust.revocation.subject),
                    trust.detail);
            case Verdict::TimeStampBroken:
                throw Error(status::SignatureMismatch,
                            Format(Tr("The time-stamp of %1 does not hold."), of), trust.detail);
        }
    }
}

}  // namespace signed_data
}  // namespace quilvane
