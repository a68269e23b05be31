#include "internal/SignerChecks.h"

#include <openssl/asn1.h>
#include <openssl/ess.h>
#include <openssl/objects.h>

#include <algorithm>

#include "crypto/SafeText.h"
#include "crypto/Text.h"
#include "internal/Asn1Cursor.h"
#include "internal/Names.h"
#include "internal/Times.h"

namespace quilvane::ossl {
namespace {

// The one signed attribute of type `nid`; null when there is none. Raises
// `damaged` when there are several.
X509_ATTRIBUTE* OnlyAttribute(CMS_SignerInfo* info, int nid, const std::string& damaged) {
    const int at = CMS_signed_get_attr_by_NID(info, nid, -1);
    if (at < 0) {
        return nullptr;
    }
    if (CMS_signed_get_attr_by_NID(info, nid, at) >= 0) {
        throw Error(status::BadMessage, damaged);
    }
    return CMS_signed_get_attr(info, at);
}

std::string HexOf(const ASN1_STRING* value) {
    return Hex(ASN1_STRING_get0_data(value), static_cast<std::size_t>(ASN1_STRING_length(value)));
}

// The value of the one signed attribute `nid` decoded by `decode`; null when
// there is none.
template <typename T>
T* DecodedAttribute(CMS_SignerInfo* info, int nid, T* (*decode)(T**, const unsigned char**, long),
                    const std::string& damaged) {
    X509_ATTRIBUTE* attribute = OnlyAttribute(info, nid, damaged);
    if (attribute == nullptr) {
        return nullptr;
    }
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (X509_ATTRIBUTE_count(attribute) != 1 || value == nullptr ||
        value->type != V_ASN1_SEQUENCE) {
        throw Error(status::BadMessage, damaged);
    }
    const unsigned char* next = ASN1_STRING_get0_data(value->value.sequence);
    const long length = ASN1_STRING_length(value->value.sequence);
    T* decoded = decode(nullptr, &next, length);
    if (decoded == nullptr) {
        throw Error(status::BadMessage, damaged);
    }
    return decoded;
}

}  // namespace

bool BindsSigner(CMS_SignerInfo* info, X509* certificate, STACK_OF(X509) * carried,
                 const std::string& name) {
    ErrorMark mark;
    const std::string damaged =
        Format(Tr("The signature of %1 names its certificate in a damaged attribute."), name);
    EssCertPtr v1(
        DecodedAttribute(info, NID_id_smime_aa_signingCertificate, d2i_ESS_SIGNING_CERT, damaged));
    EssCertV2Ptr v2(DecodedAttribute(info, NID_id_smime_aa_signingCertificateV2,
                                     d2i_ESS_SIGNING_CERT_V2, damaged));
    if (!v1 && !v2) {
        return false;
    }
    // The signer's certificate first, as the check wants it.
    X509StackPtr chain(Check(sk_X509_new_null(), status::Failed, damaged));
    const auto push = [&](X509* each) {
        X509Ptr shared = Share(each);
        Check(sk_X509_push(chain.get(), shared.get()), status::Failed, damaged);
        shared.release();
    };
    push(certificate);
    for (int i = 0; i < sk_X509_num(carried); ++i) {
        push(sk_X509_value(carried, i));
    }
    const int result = OSSL_ESS_check_signing_certs(v1.get(), v2.get(), chain.get(), 0);
    if (result == 0) {
        throw Error(status::SignatureMismatch,
                    Format(Tr("The signature of %1 is bound to another certificate than the one it "
                              "came with."),
                           name));
    }
    if (result < 0) {
        throw Error(status::BadMessage, damaged);
    }
    return true;
}

void CheckContentType(CMS_ContentInfo* cms, CMS_SignerInfo* info, const std::string& name) {
    if (CMS_signed_get_attr_count(info) < 0) {
        return;
    }
    ErrorMark mark;
    const std::string damaged = Format(
        Tr("The signature of %1 is damaged: it does not name the type of the document once."),
        name);
    X509_ATTRIBUTE* attribute = OnlyAttribute(info, NID_pkcs9_contentType, damaged);
    const auto* type = attribute != nullptr && X509_ATTRIBUTE_count(attribute) == 1
                           ? static_cast<const ASN1_OBJECT*>(
                                 X509_ATTRIBUTE_get0_data(attribute, 0, V_ASN1_OBJECT, nullptr))
                           : nullptr;
    if (type == nullptr) {
        throw Error(status::BadMessage, damaged);
    }
    // The type is signed, the eContentType beside the content is not: a
    // message relabelled after signing no longer holds what was signed.
    if (OBJ_cmp(type, CMS_get0_eContentType(cms)) != 0) {
        throw Error(status::SignatureMismatch,
                    Format(Tr("The signature of %1 does not match the document: it was made over "
                              "content of another type."),
                           name));
    }
}

std::optional<std::time_t> SigningTimeOf(CMS_SignerInfo* info, const std::string& name) {
    ErrorMark mark;
    const std::string damaged =
        Format(Tr("The signing time in the signature of %1 is damaged."), name);
    X509_ATTRIBUTE* attribute = OnlyAttribute(info, NID_pkcs9_signingTime, damaged);
    if (attribute == nullptr) {
        return std::nullopt;
    }
    const ASN1_TYPE* value =
        X509_ATTRIBUTE_count(attribute) == 1 ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
    const int type = value != nullptr ? ASN1_TYPE_get(value) : V_ASN1_UNDEF;
    if (type != V_ASN1_UTCTIME && type != V_ASN1_GENERALIZEDTIME) {
        throw Error(status::BadMessage, damaged);
    }
    const ASN1_TIME* time = value->value.asn1_string;
    std::optional<std::time_t> seconds;
    if (ASN1_TIME_check(time) == 1) {
        seconds = ToTime(time);
    }
    if (!seconds) {
        throw Error(status::BadMessage, damaged);
    }
    return seconds;
}

std::string SignerIdText(CMS_SignerInfo* info) {
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_SignerInfo_get0_signer_id(info, &keyId, &issuer, &serial) == 1) {
        if (issuer != nullptr && serial != nullptr) {
            return Format(Tr("serial number %1 from %2"), HexOf(serial),
                          SafeText(SimpleName(issuer, nullptr)));
        }
        if (keyId != nullptr) {
            return Format(Tr("key identifier %1"), HexOf(keyId));
        }
    }
    return Tr("of unknown identity");
}

std::vector<Octets> SignerInfosIn(Octets tail) {
    // Certificates [0], CRLs [1], then the signer-infos' SET.
    der::Cursor elements(tail);
    std::optional<der::Element> last;
    while (std::optional<der::Element> element = elements.Next()) {
        last = element;
    }
    if (!elements.Empty() || !last || !last->header.Is(der::kSet)) {
        return {};
    }
    std::vector<Octets> infos;
    der::Cursor set(last->contents);
    while (std::optional<der::Element> info = set.Next()) {
        infos.push_back(info->encoding);
    }
    return set.Empty() ? infos : std::vector<Octets>();
}

void RequireKeptAsRead(CMS_ContentInfo* cms, const std::vector<Octets>& read,
                       const std::vector<Octets>& written) {
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (std::any_of(written.begin(), written.end(), [&](Octets candidate) {
                return std::equal(read[i].begin(), read[i].end(), candidate.begin(),
                                  candidate.end());
            })) {
            continue;
        }
        CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, static_cast<int>(i));
        X509* certificate = nullptr;
        if (info != nullptr) {
            CMS_SignerInfo_get0_algs(info, nullptr, &certificate, nullptr, nullptr);
        }
        const std::string signer = Format(Tr("signer %1"), std::to_string(i + 1));
        const std::string name = certificate != nullptr ? NameOf(certificate)
                                 : info != nullptr
                                     ? Format(Tr("%1 (%2)"), signer, SignerIdText(info))
                                     : signer;
        throw Error(status::Failed, Format(Tr("The signature of %1 is not written in DER form and "
                                              "would change if the file were written again, so no "
                                              "signature can be added to it."),
                                           name));
    }
}

}  // namespace quilvane::ossl
