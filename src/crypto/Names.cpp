#include "internal/Names.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <array>
#include <cstdint>
#include <ctime>

#include "crypto/SafeText.h"
#include "crypto/Text.h"
#include "internal/CertificateImpl.h"
#include "internal/Times.h"

namespace quilvane::ossl {
namespace {

// Values longer than this are shown by their first bytes and their size.
constexpr std::size_t kMaxHexBytes = 32;

// The last entry of `nid` in `name`: in a name such as
// "DC=org, DC=example, CN=Users, CN=Alice" the last is the most specific.
std::string LastEntry(const X509_NAME* name, int nid) {
    int found = -1;
    for (int at = -1; (at = X509_NAME_get_index_by_NID(name, nid, at)) >= 0;) {
        found = at;
    }
    if (found < 0) {
        return {};
    }
    return Utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, found)));
}

std::string FirstEmail(const GENERAL_NAMES* names) {
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names, i);
        if (entry->type == GEN_EMAIL) {
            std::string address = Utf8(entry->d.rfc822Name);
            if (!address.empty()) {
                return address;
            }
        }
    }
    return {};
}

std::string WholeName(const X509_NAME* name) {
    ErrorMark mark;
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        return {};
    }
    // RFC 2253 form, but with UTF-8 left as it is rather than escaped.
    if (X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return {};
    }
    return MemoryText(bio.get());
}

std::string ObjectName(const ASN1_OBJECT* object) {
    ErrorMark mark;
    std::array<char, 128> text{};
    int length = OBJ_obj2txt(text.data(), static_cast<int>(text.size()), object, 0);
    if (length <= 0) {
        return Tr("unknown attribute");
    }
    return std::string(text.data());
}

std::string DerText(const ASN1_TYPE* value) {
    ErrorMark mark;
    unsigned char* der = nullptr;
    int length = i2d_ASN1_TYPE(value, &der);
    MemPtr<unsigned char> owner(der);
    if (length <= 0) {
        return Tr("(unreadable)");
    }
    auto size = static_cast<std::size_t>(length);
    if (size <= kMaxHexBytes) {
        return Hex(der, size);
    }
    return Format(Tr("%1... (%2 bytes)"), Hex(der, kMaxHexBytes), std::to_string(size));
}

std::string IntegerText(const ASN1_INTEGER* number) {
    ErrorMark mark;
    std::int64_t value = 0;
    if (ASN1_INTEGER_get_int64(&value, number) == 1) {
        return std::to_string(value);
    }
    return Hex(number->data, static_cast<std::size_t>(number->length));
}

std::string TimeText(const ASN1_TIME* time) {
    std::optional<std::time_t> instant = ToTime(time);
    if (!instant) {
        return Utf8(time);
    }
    std::tm fields{};
    gmtime_r(&*instant, &fields);
    std::array<char, 32> text{};
    std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S UTC", &fields);
    return text.data();
}

std::string ValueText(const ASN1_TYPE* value) {
    switch (value->type) {
        case V_ASN1_BOOLEAN:
            return value->value.boolean != 0 ? "true" : "false";
        case V_ASN1_NULL:
            return "none";
        case V_ASN1_INTEGER:
        case V_ASN1_ENUMERATED:
            return IntegerText(value->value.integer);
        case V_ASN1_OBJECT:
            return ObjectName(value->value.object);
        case V_ASN1_UTCTIME:
        case V_ASN1_GENERALIZEDTIME:
            return TimeText(value->value.asn1_string);
        case V_ASN1_UTF8STRING:
        case V_ASN1_PRINTABLESTRING:
        case V_ASN1_IA5STRING:
        case V_ASN1_T61STRING:
        case V_ASN1_BMPSTRING:
        case V_ASN1_UNIVERSALSTRING:
        case V_ASN1_VISIBLESTRING:
        case V_ASN1_NUMERICSTRING:
        case V_ASN1_GENERALSTRING:
            return Utf8(value->value.asn1_string);
        case V_ASN1_OCTET_STRING:
        case V_ASN1_BIT_STRING: {
            const ASN1_STRING* bytes = value->value.asn1_string;
            auto size = static_cast<std::size_t>(bytes->length);
            if (size <= kMaxHexBytes) {
                return Hex(bytes->data, size);
            }
            return Format(Tr("%1... (%2 bytes)"), Hex(bytes->data, kMaxHexBytes),
                          std::to_string(size));
        }
        default:
            return DerText(value);
    }
}

}  // namespace

std::string Utf8(const ASN1_STRING* text) {
    ErrorMark mark;
    if (text == nullptr) {
        return {};
    }
    unsigned char* converted = nullptr;
    int length = ASN1_STRING_to_UTF8(&converted, text);
    MemPtr<unsigned char> owner(converted);
    if (length < 0) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(converted), static_cast<std::size_t>(length));
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
    if (size == 0) {
        return {};
    }
    MemPtr<char> text(Check(OPENSSL_buf2hexstr(bytes, static_cast<long>(size)), status::Failed,
                            Tr("Could not write bytes as text")));
    return text.get();
}

std::string Fingerprint(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Check(
        X509_digest(certificate, EVP_sha256(), digest, &length), status::Failed,
        Format(Tr("Could not take the fingerprint of the certificate of %1"), NameOf(certificate)));
    return Hex(digest, length);
}

std::string SimpleName(const X509_NAME* name, const GENERAL_NAMES* altNames) {
    if (name == nullptr) {
        return {};
    }
    if (std::string common = LastEntry(name, NID_commonName); !common.empty()) {
        return common;
    }
    if (std::string email = LastEntry(name, NID_pkcs9_emailAddress); !email.empty()) {
        return email;
    }
    if (std::string email = FirstEmail(altNames); !email.empty()) {
        return email;
    }
    if (std::string organisation = LastEntry(name, NID_organizationName); !organisation.empty()) {
        return organisation;
    }
    return WholeName(name);
}

std::string NameOf(X509* certificate) {
    std::string name = MakeCertificate(certificate).GetInfo(CertInfo::SubjectSimpleName);
    return name.empty() ? Tr("an unnamed signer") : SafeText(name);
}

std::string AttributeText(X509_ATTRIBUTE* attribute) {
    std::string text = ObjectName(X509_ATTRIBUTE_get0_object(attribute));
    std::string values;
    for (int i = 0; i < X509_ATTRIBUTE_count(attribute); ++i) {
        if (i != 0) {
            values += ", ";
        }
        values += ValueText(X509_ATTRIBUTE_get0_type(attribute, i));
    }
    return values.empty() ? text : text + ": " + values;
}

}  // namespace quilvane::ossl
