#include "internal/SignerChecks.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

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

// One element of a DER or BER encoding.
struct Element {
    const unsigned char* start = nullptr;
    const unsigned char* content = nullptr;
    const unsigned char* contentEnd = nullptr;
    const unsigned char* end = nullptr;
    int tag = 0;
    int tagClass = 0;
};

[[noreturn]] void Unreadable() {
    throw Error(status::BadMessage,
                "The file is not a signed message, or it is damaged or incomplete.");
}

// Reads the element at `p`, which must end by `end`; an indefinite length
// is followed to its end-of-contents octets.
Element Read(const unsigned char* p, const unsigned char* end, int depth) {
    ErrorMark mark;
    Element element{p};
    long length = 0;
    const unsigned char* q = p;
    const int read = ASN1_get_object(&q, &length, &element.tag, &element.tagClass, end - p);
    if ((read & 0x80) != 0 || depth > 64) {
        Unreadable();
    }
    element.content = q;
    if (read == (V_ASN1_CONSTRUCTED | 1)) {
        const unsigned char* child = q;
        while (!(end - child >= 2 && child[0] == 0 && child[1] == 0)) {
            child = Read(child, end, depth + 1).end;
        }
        element.contentEnd = child;
        element.end = child + 2;
    } else {
        element.contentEnd = q + length;
        element.end = element.contentEnd;
    }
    return element;
}

std::vector<Element> Children(const Element& parent, int depth) {
    std::vector<Element> children;
    for (const unsigned char* p = parent.content; p < parent.contentEnd;) {
        children.push_back(Read(p, parent.contentEnd, depth + 1));
        p = children.back().end;
    }
    return children;
}

}  // namespace

void CheckContentType(CMS_ContentInfo* cms, CMS_SignerInfo* info, const std::string& name) {
    if (CMS_signed_get_attr_count(info) < 0) {
        return;
    }
    ErrorMark mark;
    const std::string damaged =
        "The signature of " + name + " is damaged: it does not name the type of the document once.";
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
                    "The signature of " + name +
                        " does not match the document: it was made over content of another type.");
    }
}

std::optional<std::time_t> SigningTimeOf(CMS_SignerInfo* info, const std::string& name) {
    ErrorMark mark;
    const std::string damaged = "The signing time in the signature of " + name + " is damaged.";
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

std::vector<std::vector<unsigned char>> SignerInfoEncodings(
    std::span<const unsigned char> message) {
    const unsigned char* end = message.data() + message.size();
    // ContentInfo { contentType, [0] { SignedData { ..., signerInfos SET } } }
    const std::vector<Element> info = Children(Read(message.data(), end, 0), 0);
    if (info.size() != 2) {
        Unreadable();
    }
    const std::vector<Element> wrapped = Children(info[1], 1);
    if (wrapped.size() != 1) {
        Unreadable();
    }
    const std::vector<Element> signedData = Children(wrapped[0], 2);
    if (signedData.empty() || signedData.back().tag != V_ASN1_SET ||
        signedData.back().tagClass != V_ASN1_UNIVERSAL) {
        Unreadable();
    }
    std::vector<std::vector<unsigned char>> encodings;
    for (const Element& signer : Children(signedData.back(), 3)) {
        encodings.emplace_back(signer.start, signer.end);
    }
    return encodings;
}

}  // namespace quilvane::ossl
