// The revocation data a message carries beyond its CRLs: OCSP responses as
// other revocation info, written and read back.

#include "internal/Revocation.h"

#include <openssl/asn1t.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <span>

#include "crypto/Text.h"
#include "internal/Asn1Cursor.h"
#include "internal/Handles.h"

// OtherRevocationInfoFormat (RFC 5652), which OpenSSL reads and writes in
// a message's revocation data but offers no way to make.
struct QuilvaneOtherRevocationInfo {
    ASN1_OBJECT* format;
    ASN1_TYPE* info;
};

DECLARE_ASN1_ITEM(QuilvaneOtherRevocationInfo)

namespace quilvane::ossl {
namespace {

using OtherRevocationInfo = QuilvaneOtherRevocationInfo;

// RevocationInfoChoice as every OpenSSL CHOICE is laid out: the selector,
// then the chosen member.
struct RevocationChoiceLayout {
    int type;
    union {
        X509_CRL* crl;
        OtherRevocationInfo* other;
    } d;
};
constexpr int kOtherChoice = 1;

// id-ri-ocsp-response, and its DER.
constexpr const char* kOcspResponseFormat = "1.3.6.1.5.5.7.16.2";
constexpr std::uint8_t kOcspResponseFormatDer[] = {0x06, 0x08, 0x2B, 0x06, 0x01,
                                                   0x05, 0x05, 0x07, 0x10, 0x02};
constexpr std::uint8_t kImplicit1 = 0xA1;

void FreeOther(OtherRevocationInfo* other) {
    ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(other),
                   ASN1_ITEM_rptr(QuilvaneOtherRevocationInfo));
}

}  // namespace

// The OCSP responses among the revocation data of `message`, read from its
// DER: OpenSSL keeps them but does not hand them out.
std::vector<std::vector<std::uint8_t>> OcspResponsesIn(CMS_ContentInfo* message) {
    const Bytes der = EncodeDer(message, Tr("Could not read the revocation data of the message"));
    const std::span<const std::uint8_t> none;
    std::vector<std::vector<std::uint8_t>> responses;
    der::Cursor outer({der.data(), der.size()});
    std::optional<der::Element> info = outer.Next(der::kSequence);
    der::Cursor content(info ? info->contents : none);
    std::optional<der::Element> wrapped;
    if (!content.Next(der::kObject) || !(wrapped = content.Next(der::kExplicit0))) {
        return responses;
    }
    der::Cursor wrapper(wrapped->contents);
    std::optional<der::Element> signedData = wrapper.Next(der::kSequence);
    der::Cursor fields(signedData ? signedData->contents : none);
    if (!fields.Next(der::kInteger) || !fields.Next(der::kSet) || !fields.Next(der::kSequence)) {
        return responses;
    }
    fields.Next(der::kExplicit0);  // the certificates, if any
    std::optional<der::Element> choices = fields.Next(kImplicit1);
    der::Cursor each(choices ? choices->contents : none);
    while (std::optional<der::Element> choice = each.Next()) {
        if (!choice->header.Is(kImplicit1)) {
            continue;  // a CRL
        }
        der::Cursor other(choice->contents);
        std::optional<der::Element> format = other.Next(der::kObject);
        std::optional<der::Element> response = other.Next(der::kSequence);
        if (format && response && std::ranges::equal(format->encoding, kOcspResponseFormatDer)) {
            responses.emplace_back(response->encoding.begin(), response->encoding.end());
        }
    }
    return responses;
}

// Puts the OCSP response `der` into the revocation data of `cms`.
void AddOcspResponse(CMS_ContentInfo* cms, const std::vector<std::uint8_t>& der,
                     const std::string& what) {
    std::unique_ptr<OtherRevocationInfo, Deleter<FreeOther>> other(
        reinterpret_cast<OtherRevocationInfo*>(Check(
            ASN1_item_new(ASN1_ITEM_rptr(QuilvaneOtherRevocationInfo)), status::Failed, what)));
    other->format = Check(OBJ_txt2obj(kOcspResponseFormat, 1), status::Failed, what);
    std::unique_ptr<ASN1_STRING, Deleter<ASN1_STRING_free>> sequence(
        Check(ASN1_STRING_type_new(V_ASN1_SEQUENCE), status::Failed, what));
    Check(ASN1_STRING_set(sequence.get(), der.data(), static_cast<int>(der.size())), status::Failed,
          what);
    Check(ASN1_TYPE_set1(other->info, V_ASN1_SEQUENCE, sequence.get()), status::Failed, what);
    auto* choice = reinterpret_cast<RevocationChoiceLayout*>(
        Check(CMS_add0_RevocationInfoChoice(cms), status::Failed, what));
    choice->type = kOtherChoice;
    choice->d.other = other.release();
}

bool CarriesRevocationData(CMS_ContentInfo* cms) {
    ErrorMark mark;  // a message without CRLs carries none
    CrlListPtr crls(CMS_get1_crls(cms));
    return sk_X509_CRL_num(crls.get()) > 0 || !OcspResponsesIn(cms).empty();
}

}  // namespace quilvane::ossl

// The template is left as OpenSSL's macros lay it out.
// clang-format off
ASN1_SEQUENCE(QuilvaneOtherRevocationInfo) = {
    ASN1_SIMPLE(QuilvaneOtherRevocationInfo, format, ASN1_OBJECT),
    ASN1_SIMPLE(QuilvaneOtherRevocationInfo, info, ASN1_ANY),
} ASN1_SEQUENCE_END(QuilvaneOtherRevocationInfo)
