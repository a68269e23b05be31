// Signature time-stamps of signer-infos: asked for when signing, checked when
// verifying. Every structure is OpenSSL's: the request, the reply, the token
// and its checks.

#include "internal/TimeStamps.h"

#include <openssl/objects.h>
#include <openssl/rand.h>

#include <span>

#include "crypto/Error.h"
#include "crypto/Network.h"
#include "crypto/Text.h"
#include "internal/CertificateImpl.h"
#include "internal/ChainCheck.h"
#include "internal/Handles.h"
#include "internal/Http.h"
#include "internal/Names.h"
#include "internal/Revocation.h"
#include "internal/Times.h"

namespace quilvane {
namespace {

const char* const kFailed = QUILVANE_N_("Could not time-stamp the signature");

// Raises the time-stamp failure the operations tell in their own words, with
// `why` (and whatever OpenSSL queued) for the details.
[[noreturn]] void Refuse(const std::string& why) {
    const std::string reasons = ossl::TakeErrors();
    throw Error(status::TimeStampFailed, std::string(Tr(kFailed)) + ".",
                reasons.empty() ? why : why + ": " + reasons);
}

template <typename T>
T* Must(T* p, const std::string& why) {
    if (p == nullptr) {
        Refuse(why);
    }
    return p;
}

void Must(int result, const std::string& why) {
    if (result <= 0) {
        Refuse(why);
    }
}

std::span<const unsigned char> SignatureValue(CMS_SignerInfo* info) {
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(info);
    return {ASN1_STRING_get0_data(value), static_cast<std::size_t>(ASN1_STRING_length(value))};
}

// A store that lets every chain pass: the token's own signature and the
// binding of its signer are all TS_RESP_verify_signature checks with it.
ossl::StorePtr PassingStore(const std::string& what) {
    ossl::StorePtr store(ossl::Check(X509_STORE_new(), status::Failed, what));
    X509_STORE_set_verify_cb(store.get(), [](int, X509_STORE_CTX*) { return 1; });
    return store;
}

// A store that trusts the certificates a token came with, each for itself,
// so that checking the reply while signing enforces the authority's
// time-stamping usage and validity but not yet its chain.
ossl::StorePtr TokenOwnStore(PKCS7* token, const std::string& why) {
    ossl::StorePtr store(Must(X509_STORE_new(), why));
    Must(X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN), why);
    STACK_OF(X509)* certificates = PKCS7_type_is_signed(token) ? token->d.sign->cert : nullptr;
    if (sk_X509_num(certificates) <= 0) {
        Refuse(Tr("the reply holds no certificate of the time-stamping authority"));
    }
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        Must(X509_STORE_add_cert(store.get(), sk_X509_value(certificates, i)), why);
    }
    return store;
}

}  // namespace

ossl::TsReqPtr TimeStampRequest(std::span<const unsigned char> value, const ASN1_INTEGER* nonce) {
    const std::string why = Tr("the request could not be made");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Must(EVP_Digest(value.data(), value.size(), digest, &length, EVP_sha256(), nullptr), why);
    ossl::AlgorPtr algorithm(Must(X509_ALGOR_new(), why));
    Must(X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr), why);
    ossl::TsImprintPtr imprint(Must(TS_MSG_IMPRINT_new(), why));
    Must(TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()), why);
    Must(TS_MSG_IMPRINT_set_msg(imprint.get(), digest, static_cast<int>(length)), why);
    ossl::TsReqPtr request(Must(TS_REQ_new(), why));
    Must(TS_REQ_set_version(request.get(), 1), why);
    Must(TS_REQ_set_msg_imprint(request.get(), imprint.get()), why);
    Must(TS_REQ_set_nonce(request.get(), nonce), why);
    Must(TS_REQ_set_cert_req(request.get(), 1), why);
    return request;
}

namespace {

// A random 64-bit nonce, so that no earlier reply can be passed off as this one's.
ossl::IntegerPtr Nonce() {
    const std::string why = Tr("no nonce could be drawn");
    unsigned char bytes[8];
    Must(RAND_bytes(bytes, sizeof bytes), why);
    bytes[0] &= 0x7F;  // positive, as DER integers are read
    ossl::BignumPtr number(Must(BN_bin2bn(bytes, sizeof bytes, nullptr), why));
    return ossl::IntegerPtr(Must(BN_to_ASN1_INTEGER(number.get(), nullptr), why));
}

std::vector<std::uint8_t> Ask(const TS_REQ* request) {
    const std::string& url = CurrentNetworkSettings().timestampUrl;
    if (url.empty()) {
        Refuse(Tr("no time-stamping service is set"));
    }
    const int length = i2d_TS_REQ(request, nullptr);
    Must(length, Tr("the request could not be encoded"));
    std::vector<std::uint8_t> body(static_cast<std::size_t>(length));
    unsigned char* next = body.data();
    Must(i2d_TS_REQ(request, &next), Tr("the request could not be encoded"));
    try {
        return HttpPost(url, "application/timestamp-query", body, "application/timestamp-reply");
    } catch (const Error& error) {
        if (error.number() == status::Stopped) {
            throw;
        }
        Refuse(error.detail().empty() ? error.description() : error.detail());
    }
}

// The DER of `token` as the value of an attribute: a SEQUENCE held whole.
ossl::AsnStringPtr TokenValue(PKCS7* token) {
    const std::string why = Tr("the token could not be encoded");
    const int length = i2d_PKCS7(token, nullptr);
    Must(length, why);
    std::vector<unsigned char> der(static_cast<std::size_t>(length));
    unsigned char* next = der.data();
    Must(i2d_PKCS7(token, &next), why);
    ossl::AsnStringPtr value(Must(ASN1_STRING_type_new(V_ASN1_SEQUENCE), why));
    Must(ASN1_STRING_set(value.get(), der.data(), length), why);
    return value;
}

// The status of a reply without a token, and what the service said with it.
std::string StatusWords(TS_RESP* reply) {
    static const char* const kStatuses[] = {QUILVANE_N_("granted"),
                                            QUILVANE_N_("granted with modifications"),
                                            QUILVANE_N_("rejection"),
                                            QUILVANE_N_("waiting"),
                                            QUILVANE_N_("revocation warning"),
                                            QUILVANE_N_("revocation notification")};
    TS_STATUS_INFO* info = TS_RESP_get_status_info(reply);
    const long status = info != nullptr ? ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(info)) : -1;
    std::string words = Tr(status >= 0 && status < 6 ? kStatuses[status] : "an unknown status");
    const STACK_OF(ASN1_UTF8STRING)* texts =
        info != nullptr ? TS_STATUS_INFO_get0_text(info) : nullptr;
    for (int i = 0; i < sk_ASN1_UTF8STRING_num(texts); ++i) {
        words += (i == 0 ? " (" : ", ") + ossl::Utf8(sk_ASN1_UTF8STRING_value(texts, i));
        words += i + 1 == sk_ASN1_UTF8STRING_num(texts) ? ")" : "";
    }
    return words;
}

std::string CertificateWords(X509* certificate, int error) {
    return Format(Tr("the time-stamping authority %1 is not trusted (%2)"),
                  ossl::NameOf(certificate), X509_verify_cert_error_string(error));
}

}  // namespace

CheckedTimeStamp CheckTimeStamp(const ASN1_TYPE* value, std::span<const unsigned char> signature,
                                X509_STORE* roots, STACK_OF(X509) * intermediates,
                                CMS_ContentInfo* message) {
    const std::string what = Tr("Could not check a time-stamp");
    CheckedTimeStamp checked;
    if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
        checked.broken = Tr("the time-stamp is damaged");
        return checked;
    }
    const unsigned char* next = ASN1_STRING_get0_data(value->value.sequence);
    ossl::Pkcs7Ptr token(d2i_PKCS7(nullptr, &next, ASN1_STRING_length(value->value.sequence)));
    ossl::TstInfoPtr info(token ? PKCS7_to_TS_TST_INFO(token.get()) : nullptr);
    const std::optional<std::time_t> time =
        info ? ossl::ToTime(TS_TST_INFO_get_time(info.get())) : std::nullopt;
    if (!time) {
        checked.broken = Tr("the time-stamp is damaged");
        return checked;
    }
    checked.proof.time = *time;

    // The imprint, by the token's own digest, of this signer's signature value.
    ossl::TsVerifyCtxPtr context(ossl::Check(TS_VERIFY_CTX_new(), status::Failed, what));
    ossl::BioPtr data(
        ossl::Check(BIO_new_mem_buf(signature.data(), static_cast<int>(signature.size())),
                    status::Failed, what));
    TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_VERSION | TS_VFY_DATA);
    TS_VERIFY_CTX_set_data(context.get(), data.release());
    if (TS_RESP_verify_token(context.get(), token.get()) != 1) {
        checked.broken = Tr("it was made for another signature");
        return checked;
    }

    // A token that came without its authority's certificate cannot be checked
    // further; it proves nothing, but nothing says it was forged either.
    const ossl::X509ListPtr signers(PKCS7_get0_signers(token.get(), intermediates, 0));
    if (sk_X509_num(signers.get()) <= 0) {
        checked.proof.problem =
            Tr("the certificate of its time-stamping authority is not in the file");
        return checked;
    }

    // The token's signature and the binding of its signer, whatever its chain.
    ossl::StorePtr passing = PassingStore(what);
    X509* signer = nullptr;
    if (TS_RESP_verify_signature(token.get(), intermediates, passing.get(), &signer) != 1) {
        checked.broken = Tr("its signature does not verify");
        return checked;
    }
    const ossl::X509Ptr owned(signer);
    checked.proof.authority = MakeCertificate(signer).GetInfo(CertInfo::SubjectSimpleName);

    // The authority's chain, now, to the anchors signers have, for time-stamping.
    ossl::X509StackPtr untrusted(ossl::Check(sk_X509_new_null(), status::Failed, what));
    for (STACK_OF(X509) * list : {token->d.sign->cert, intermediates}) {
        ossl::Check(X509_add_certs(untrusted.get(), list, X509_ADD_FLAG_UP_REF), status::Failed,
                    what);
    }
    const ossl::ChainCheck chain =
        ossl::CheckChain(roots, signer, untrusted.get(), X509_PURPOSE_TIMESTAMP_SIGN);
    if (chain.error != X509_V_OK) {
        checked.proof.problem = CertificateWords(chain.at ? chain.at.get() : signer, chain.error);
        return checked;
    }
    checked.proof.valid = true;
    checked.proof.revocation = ossl::RevocationOf(chain.chain.get(), message);
    return checked;
}

ossl::AsnStringPtr TokenOfReply(std::span<const std::uint8_t> answer, TS_REQ* request) {
    const unsigned char* next = answer.data();
    ossl::TsRespPtr reply(d2i_TS_RESP(nullptr, &next, static_cast<long>(answer.size())));
    if (!reply || next != answer.data() + answer.size()) {
        Refuse(Tr("the reply is not a time-stamp reply"));
    }

    // Granted, for this request (version, imprint, nonce), signed by an
    // authority certificate meant only for time-stamping, which it came with.
    PKCS7* token = TS_RESP_get_token(reply.get());
    if (token == nullptr) {
        Refuse(Format(Tr("the service gave no time-stamp: %1"), StatusWords(reply.get())));
    }
    const std::string why = Tr("the reply does not hold");
    ossl::TsVerifyCtxPtr context(Must(TS_REQ_to_TS_VERIFY_CTX(request, nullptr), why));
    TS_VERIFY_CTX_add_flags(context.get(), TS_VFY_SIGNATURE);
    TS_VERIFY_CTX_set_store(context.get(), TokenOwnStore(token, why).release());
    Must(TS_RESP_verify_response(context.get(), reply.get()), why);
    return TokenValue(token);
}

void AddSignatureTimeStamp(CMS_SignerInfo* info) {
    ossl::ErrorMark mark;
    const ossl::IntegerPtr nonce = Nonce();
    const ossl::TsReqPtr request = TimeStampRequest(SignatureValue(info), nonce.get());
    const ossl::AsnStringPtr value = TokenOfReply(Ask(request.get()), request.get());
    Must(CMS_unsigned_add1_attr_by_NID(info, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE,
                                       value.get(), -1),
         Tr("the time-stamp could not be added to the signature"));
}

bool HasSignatureTimeStamp(CMS_SignerInfo* info) {
    return CMS_unsigned_get_attr_by_NID(info, NID_id_smime_aa_timeStampToken, -1) >= 0;
}

std::vector<CheckedTimeStamp> SignatureTimeStampsOf(CMS_SignerInfo* info, X509_STORE* roots,
                                                    STACK_OF(X509) * intermediates,
                                                    CMS_ContentInfo* message) {
    ossl::ErrorMark mark;  // a token that does not hold is an answer, told in words
    std::vector<CheckedTimeStamp> stamps;
    const std::span<const unsigned char> signature = SignatureValue(info);
    for (int at = -1;
         (at = CMS_unsigned_get_attr_by_NID(info, NID_id_smime_aa_timeStampToken, at)) >= 0;) {
        X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(info, at);
        const int count = X509_ATTRIBUTE_count(attribute);
        if (count <= 0) {
            stamps.push_back({.proof = {.time = 0,
                                        .authority = {},
                                        .valid = false,
                                        .problem = Tr("the time-stamp is damaged"),
                                        .revocation = {}},
                              .broken = Tr("the time-stamp is damaged")});
        }
        for (int i = 0; i < count; ++i) {
            stamps.push_back(CheckTimeStamp(X509_ATTRIBUTE_get0_type(attribute, i), signature,
                                            roots, intermediates, message));
            if (!stamps.back().broken.empty()) {
                stamps.back().proof.problem = stamps.back().broken;
            }
        }
    }
    return stamps;
}

}  // namespace quilvane
