#include "crypto/SignedData.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include "crypto/SafeText.h"
#include "internal/CertificateImpl.h"
#include "internal/Handles.h"
#include "internal/Names.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignerChecks.h"
#include "internal/Times.h"
#include "internal/ChainCheck.h"

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

void RequireAttachedBinary(bool detached, Encoding encoding, const std::string& action) {
    if (detached) {
        Fail(status::Failed,
             "Only signed messages with the document inside can be " + action + ".");
    }
    if (encoding != Encoding::Binary) {
        Fail(status::Failed, "Signed messages are only " + action + " in binary (DER) form.");
    }
}

std::string HexOf(const ASN1_STRING* value) {
    return ossl::Hex(ASN1_STRING_get0_data(value),
                     static_cast<std::size_t>(ASN1_STRING_length(value)));
}

// How a signer whose certificate is missing is named: by what the
// signature says about the certificate.
std::string SignerIdText(CMS_SignerInfo* info) {
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_SignerInfo_get0_signer_id(info, &keyId, &issuer, &serial) == 1) {
        if (issuer != nullptr && serial != nullptr) {
            return "serial number " + HexOf(serial) + " from " +
                   SafeText(ossl::SimpleName(issuer, nullptr));
        }
        if (keyId != nullptr) {
            return "key identifier " + HexOf(keyId);
        }
    }
    return "of unknown identity";
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

// Adds a complete signer-info over `content` to `cms`: content type, message
// digest and signing time as signed attributes, the certificate among the
// message's certificates. Earlier signer-infos are left untouched.
void AddSigner(CMS_ContentInfo* cms, const Certificate& certificate, EVP_PKEY* key,
               std::time_t signingTime, std::span<const unsigned char> content) {
    X509* x509 = certificate.impl().x509.get();
    const std::string name = ossl::NameOf(x509);
    const std::string what = "Could not sign with the certificate of " + name;
    const EVP_MD* digest = DigestFor(key, name);
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ossl::Check(EVP_Digest(content.data(), content.size(), value, &length, digest, nullptr),
                status::Failed, what);
    Seal(AddSignerInfo(cms, x509, key, digest, signingTime, {value, length}, what), key, what);
}

// Puts `content` into the message as its eContent without copying it.
void AttachContent(CMS_ContentInfo* cms, Bytes content) {
    const std::string what = "Could not put the document into the signed message";
    if (content.size() > static_cast<std::size_t>(INT_MAX)) {
        Fail(status::Failed, what + ": it is larger than a message can hold.");
    }
    ossl::OctetStringPtr octets(ossl::Check(ASN1_OCTET_STRING_new(), status::Failed, what));
    if (content.empty()) {
        ossl::Check(ASN1_STRING_set(octets.get(), "", 0), status::Failed, what);
    } else {
        int size = static_cast<int>(content.size());
        ASN1_STRING_set0(octets.get(), content.release(), size);
    }
    // The message takes the string over; a message just made holds no
    // document yet.
    ASN1_OCTET_STRING** slot = ossl::Check(CMS_get0_content(cms), status::Failed, what);
    ossl::OctetStringPtr previous(*slot);
    *slot = octets.release();
}

std::span<const unsigned char> ContentOf(CMS_ContentInfo* cms) {
    ASN1_OCTET_STRING** slot = CMS_get0_content(cms);
    if (slot == nullptr || *slot == nullptr) {
        return {};
    }
    return {ASN1_STRING_get0_data(*slot), static_cast<std::size_t>(ASN1_STRING_length(*slot))};
}

BinaryString Encode(CMS_ContentInfo* cms) {
    return BinaryString(ossl::EncodeDer(cms, "Could not write the signed message"));
}

// Reads a DER or BER message.
ossl::CmsPtr Decode(std::span<const unsigned char> bytes) {
    if (bytes.empty()) {
        NotSigned("it is empty");
    }
    if (bytes.size() > static_cast<std::size_t>(LONG_MAX)) {
        NotSigned("it is too large");
    }
    const unsigned char* next = bytes.data();
    ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &next, static_cast<long>(bytes.size())));
    if (!cms) {
        ossl::Raise(status::BadMessage, kNotSigned);
    }
    if (next != bytes.data() + bytes.size()) {
        NotSigned("there is more data after the end of the message");
    }
    int type = OBJ_obj2nid(CMS_get0_type(cms.get()));
    if (type == NID_pkcs7_enveloped) {
        NotSigned("it is an encrypted message");
    }
    if (type != NID_pkcs7_signed) {
        NotSigned("it is a message of another kind");
    }
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    if (content == nullptr || *content == nullptr) {
        NotSigned("the document is not inside it");
    }
    return cms;
}

void CheckSignatures(CMS_ContentInfo* cms, BIO* chain,
                     const std::span<const unsigned char>* content) {
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
                                         SignerIdText(info) +
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
        if (IsEdDsa(key) && !hasAttributes && content == nullptr) {
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
        int result = IsEdDsa(key) && !hasAttributes
                         ? VerifyEdDsa(info, key, content->data(), content->size())
                         : CMS_SignerInfo_verify_content(info, chain);
        if (result == 0) {
            Fail(status::SignatureMismatch,
                 hasAttributes ? "The document was changed after it was signed." : mismatch);
        }
        if (result < 0) {
            ossl::Raise(status::BadMessage, unreadable);
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
            ossl::Raise(status::BadMessage, unreadable);
        }
    }
}

// Digests the content once, with every digest the message names, and checks
// every signature over it.
void CheckSignatures(CMS_ContentInfo* cms) {
    ossl::BioPtr chain(CMS_dataInit(cms, nullptr));
    if (!chain) {
        ossl::Raise(status::BadMessage, kNotSigned);
    }
    std::vector<unsigned char> buffer(64 * 1024);
    while (BIO_read(chain.get(), buffer.data(), static_cast<int>(buffer.size())) > 0) {
    }
    std::span<const unsigned char> content = ContentOf(cms);
    CheckSignatures(cms, chain.get(), &content);
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
                Fail(status::CertificateUnsuitable,
                     "The certificate of " + name + " cannot be used for signing: " +
                         X509_verify_cert_error_string(chain.error) + ".");
        }
    }
}

// Checks the co-signed message about to be handed out: every signer-info
// read before is in it byte for byte, and every signature in it holds.
void CheckCoSigned(CMS_ContentInfo* read, const std::vector<std::vector<unsigned char>>& before,
                   std::span<const unsigned char> written) {
    const std::vector<std::vector<unsigned char>> after = ossl::SignerInfoEncodings(written);
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(read);
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (std::find(after.begin(), after.end(), before[i]) == after.end()) {
            X509* certificate = CertificateOf(sk_CMS_SignerInfo_value(infos, static_cast<int>(i)));
            Fail(status::Failed,
                 "The signature of " + ossl::NameOf(certificate) +
                     " could not be kept as it is in the file, so no signature was added.");
        }
    }
    try {
        CheckSignatures(Decode(written).get());
    } catch (const Error& error) {
        Fail(status::Failed,
             "The co-signed message did not pass its own check, so no signature was added: " +
                 error.description());
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

SignedData::SignedData() : impl_(std::make_shared<Impl>()) {}
SignedData::~SignedData() = default;
SignedData::SignedData(SignedData&&) noexcept = default;
SignedData& SignedData::operator=(SignedData&&) noexcept = default;

void SignedData::Content(BinaryString content) {
    // A fresh state: content lent out earlier keeps the old one alive.
    impl_ = std::make_shared<Impl>();
    impl_->content = std::move(content).take();
}

BinaryString SignedData::Content() const {
    if (impl_->cms) {
        return BinaryString(impl_, ContentOf(impl_->cms.get()));
    }
    return BinaryString(Bytes(impl_->content.data(), impl_->content.size()));
}

BinaryString SignedData::Sign(const Signer& signer, bool detached, Encoding encoding) {
    ossl::ErrorMark mark;
    RequireAttachedBinary(detached, encoding, "made");
    if (impl_->cms) {
        Fail(status::Failed,
             "The document is already signed; a further signature is added by co-signing.");
    }
    const quilvane::Certificate& certificate = signer.Certificate();
    std::time_t signingTime = SigningTime(signer);
    EVP_PKEY* key = PrivateKey(certificate);

    const std::string what = "Could not make a signed message";
    ossl::CmsPtr cms(ossl::Check(CMS_ContentInfo_new(), status::Failed, what));
    ossl::Check(CMS_SignedData_init(cms.get()), status::Failed, what);
    impl_->keyHolders.push_back(certificate.impl().keys);
    AddSigner(cms.get(), certificate, key, signingTime, impl_->content.view());
    AttachContent(cms.get(), std::move(impl_->content));
    impl_->cms = std::move(cms);
    BinaryString message = Encode(impl_->cms.get());
    impl_->signerInfosRead = ossl::SignerInfoEncodings(message.view());
    return message;
}

void SignedData::Verify(BinaryString message, bool detached, VerifyFlag flag) {
    ossl::ErrorMark mark;
    impl_ = std::make_shared<Impl>();
    RequireAttachedBinary(detached, Encoding::Binary, "checked");
    ossl::CmsPtr cms;
    std::vector<std::vector<unsigned char>> signerInfos;
    {
        // The input is freed as soon as it is read.
        const Bytes bytes = std::move(message).take();
        cms = Decode(bytes.view());
        signerInfos = ossl::SignerInfoEncodings(bytes.view());
    }
    CheckSignatures(cms.get());
    if (flag != VerifyFlag::SignatureOnly) {
        CheckCertificates(cms.get());
    }
    impl_->cms = std::move(cms);
    impl_->signerInfosRead = std::move(signerInfos);
}

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
        ReadAttributes(info,
                       certificate != nullptr ? ossl::NameOf(certificate) : SignerIdText(info),
                       signer.AuthenticatedAttributes());
        signers.push_back(std::move(signer));
    }
    return signers;
}

BinaryString SignedData::CoSign(const Signer& signer, Encoding encoding) {
    ossl::ErrorMark mark;
    RequireAttachedBinary(false, encoding, "made");
    if (!impl_->cms) {
        Fail(status::Failed, "There is no verified signed message to add a signature to.");
    }
    const quilvane::Certificate& certificate = signer.Certificate();
    std::time_t signingTime = SigningTime(signer);
    EVP_PKEY* key = PrivateKey(certificate);

    CMS_ContentInfo* cms = impl_->cms.get();
    int before = sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms));
    impl_->keyHolders.push_back(certificate.impl().keys);
    try {
        AddSigner(cms, certificate, key, signingTime, ContentOf(cms));
        // The signer-infos are a SET OF, written in DER's sorted order: the
        // new one takes its place among the others by its encoding. OpenSSL
        // writes the earlier ones anew, which changes those it reads
        // differently from how it writes them (signed attributes out of DER
        // order, for one): such a message is not handed out.
        BinaryString message = Encode(cms);
        CheckCoSigned(cms, impl_->signerInfosRead, message.view());
        return message;
    } catch (...) {
        // A signer-info cannot be taken out again; drop the message rather
        // than ever write it.
        if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms)) != before) {
            impl_ = std::make_shared<Impl>();
        }
        throw;
    }
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
