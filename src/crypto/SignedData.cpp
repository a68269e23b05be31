#include "crypto/SignedData.h"

#include <openssl/objects.h>

#include <optional>
#include <vector>

#include "crypto/Text.h"
#include "internal/CertificateImpl.h"
#include "internal/ChainCheck.h"
#include "internal/Handles.h"
#include "internal/Names.h"
#include "internal/Revocation.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignerChecks.h"
#include "internal/TimeStamps.h"

namespace quilvane {

namespace signed_data {

const char* const kNotSigned =
    QUILVANE_N_("The file is not a signed message, or it is damaged or incomplete");

// Raises one of our own errors; whatever OpenSSL queued on the way is
// dropped by the entry point's mark.
[[noreturn]] void Fail(std::int32_t status, const std::string& description) {
    throw Error(status, description);
}

[[noreturn]] void NotSigned(const std::string& detail) {
    Fail(status::BadMessage, Format(Tr("%1: %2."), Tr(kNotSigned), detail));
}

std::string AlgorithmName(const ASN1_OBJECT* object) {
    if (int nid = OBJ_obj2nid(object); nid != NID_undef) {
        return OBJ_nid2sn(nid);
    }
    char dotted[128] = "";
    OBJ_obj2txt(dotted, sizeof dotted, object, 1);
    return dotted;
}

ossl::X509StackPtr CarriedCertificates(CMS_ContentInfo* cms) {
    ossl::ErrorMark mark;  // a message without certificates has no intermediates
    return ossl::X509StackPtr(CMS_get1_certs(cms));
}

X509* CertificateOf(CMS_SignerInfo* info) {
    X509* certificate = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, &certificate, nullptr, nullptr);
    return certificate;
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
        throw Error(status::NoSuchItem, Tr("The signature has no signed attributes."));
    }
    return ItemAt(items_, index);
}

const Certificate& Signer::Certificate() const {
    if (!certificate_) {
        throw Error(status::Failed, Tr("No certificate was chosen for the signer."));
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
            SignatureLevel level =
                ossl::BindsSigner(info, certificate, carried.get(), ossl::NameOf(certificate))
                    ? SignatureLevel::CadesBB
                    : SignatureLevel::Cms;
            if (level == SignatureLevel::CadesBB && HasSignatureTimeStamp(info)) {
                level = ossl::CarriesRevocationData(impl_->cms.get()) ? SignatureLevel::CadesBLT
                                                                      : SignatureLevel::CadesBT;
            }
            signer.Level(level);
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
            Fail(status::Failed, Format(Tr("The certificate of signer %1 is not in the file."),
                                        std::to_string(i + 1)));
        }
        trust.push_back(
            ossl::TrustOf(impl_->cms.get(), info, certificate, roots.get(), intermediates.get()));
    }
    return trust;
}

}  // namespace quilvane
