// Revocation checks of certificate chains: OCSP first, then the CRL, after
// the revocation data the message carries.

#include "internal/Revocation.h"

#include <openssl/ocsp.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>

#include "crypto/Network.h"
#include "crypto/Text.h"
#include "internal/Http.h"
#include "internal/Names.h"
#include "internal/Times.h"

namespace quilvane::ossl {
namespace {

using OcspRequestPtr = std::unique_ptr<OCSP_REQUEST, Deleter<OCSP_REQUEST_free>>;
using OcspResponsePtr = std::unique_ptr<OCSP_RESPONSE, Deleter<OCSP_RESPONSE_free>>;
using OcspBasicPtr = std::unique_ptr<OCSP_BASICRESP, Deleter<OCSP_BASICRESP_free>>;
using OcspIdPtr = std::unique_ptr<OCSP_CERTID, Deleter<OCSP_CERTID_free>>;
using DistPointsPtr = std::unique_ptr<CRL_DIST_POINTS, Deleter<CRL_DIST_POINTS_free>>;
using StringListPtr = std::unique_ptr<STACK_OF(OPENSSL_STRING), Deleter<X509_email_free>>;

// Clocks of responders and of this machine disagree by a little.
constexpr long kLeewaySeconds = 300;
constexpr std::size_t kMaxCrlBytes = std::size_t{32} << 20;

// What was learnt of one certificate.
struct Answer {
    RevocationState state = RevocationState::Unknown;  // Good, Revoked or Unknown
    std::string source;
    std::time_t producedAt = 0;
    std::time_t revokedAt = 0;
    std::string reason;
    std::string why;
    std::vector<std::uint8_t> crl;   // the DER of the CRL that answered, to embed
    std::vector<std::uint8_t> ocsp;  // likewise of the OCSP response
};

std::mutex& CacheLock() {
    static std::mutex lock;
    return lock;
}

// Answers from the network for the rest of the run, by issuer and serial number.
std::map<std::string, Answer>& Cache() {
    static std::map<std::string, Answer> cache;
    return cache;
}

std::string KeyOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_NAME(X509_get_issuer_name(certificate), &der);
    MemPtr<unsigned char> owned(der);
    const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
    return Hex(der, length > 0 ? static_cast<std::size_t>(length) : 0) + "/" +
           Hex(ASN1_STRING_get0_data(serial), static_cast<std::size_t>(ASN1_STRING_length(serial)));
}

std::string ReasonWords(int reason) {
    switch (reason) {
        case OCSP_REVOKED_STATUS_KEYCOMPROMISE:
            return Tr("key compromise");
        case OCSP_REVOKED_STATUS_CACOMPROMISE:
            return Tr("CA compromise");
        case OCSP_REVOKED_STATUS_AFFILIATIONCHANGED:
            return Tr("affiliation changed");
        case OCSP_REVOKED_STATUS_SUPERSEDED:
            return Tr("superseded");
        case OCSP_REVOKED_STATUS_CESSATIONOFOPERATION:
            return Tr("cessation of operation");
        case OCSP_REVOKED_STATUS_CERTIFICATEHOLD:
            return Tr("certificate hold");
        case OCSP_REVOKED_STATUS_REMOVEFROMCRL:
            return Tr("removed from CRL");
        case 9:
            return Tr("privilege withdrawn");
        case 10:
            return Tr("AA compromise");
        default:
            return Tr("unspecified");
    }
}

std::time_t TimeOf(const ASN1_TIME* time) {
    return time != nullptr ? ToTime(time).value_or(0) : 0;
}

bool IsHttp(const std::string& url) {
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

std::vector<std::string> OcspUrls(X509* certificate) {
    ErrorMark mark;
    StringListPtr list(X509_get1_ocsp(certificate));
    std::vector<std::string> urls;
    for (int i = 0; i < sk_OPENSSL_STRING_num(list.get()); ++i) {
        if (std::string url = sk_OPENSSL_STRING_value(list.get(), i); IsHttp(url)) {
            urls.push_back(url);
        }
    }
    return urls;
}

std::vector<std::string> CrlUrls(X509* certificate) {
    ErrorMark mark;
    DistPointsPtr points(static_cast<CRL_DIST_POINTS*>(
        X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr)));
    std::vector<std::string> urls;
    for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
        if (point->distpoint == nullptr || point->distpoint->type != 0) {
            continue;  // a name relative to the issuer's names no URL
        }
        const GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int n = 0; n < sk_GENERAL_NAME_num(names); ++n) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, n);
            if (name->type == GEN_URI) {
                const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
                std::string url(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                static_cast<std::size_t>(ASN1_STRING_length(uri)));
                if (IsHttp(url)) {
                    urls.push_back(url);
                }
            }
        }
    }
    return urls;
}

// The verdict of `crl` on `certificate`, when it is `issuer`'s, verifies
// with its key and, unless `archived`, is current.
std::optional<Answer> FromCrl(X509_CRL* crl, X509* certificate, X509* issuer, bool archived) {
    ErrorMark mark;
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(issuer)) != 0 ||
        key == nullptr || X509_CRL_verify(crl, key) != 1) {
        return std::nullopt;
    }
    const std::time_t now = std::time(nullptr);
    const std::time_t thisUpdate = TimeOf(X509_CRL_get0_lastUpdate(crl));
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl);
    if (thisUpdate == 0 || thisUpdate > now + kLeewaySeconds ||
        (!archived && next != nullptr && TimeOf(next) + kLeewaySeconds < now)) {
        return std::nullopt;
    }
    Answer answer;
    answer.state = RevocationState::Good;
    answer.source = archived ? "embedded CRL" : "CRL";
    answer.producedAt = thisUpdate;
    X509_REVOKED* entry = nullptr;
    if (X509_CRL_get0_by_cert(crl, &entry, certificate) == 1 && entry != nullptr) {
        answer.state = RevocationState::Revoked;
        answer.revokedAt = TimeOf(X509_REVOKED_get0_revocationDate(entry));
        std::unique_ptr<ASN1_ENUMERATED, Deleter<ASN1_ENUMERATED_free>> reason(
            static_cast<ASN1_ENUMERATED*>(
                X509_REVOKED_get_ext_d2i(entry, NID_crl_reason, nullptr, nullptr)));
        answer.reason =
            ReasonWords(reason ? static_cast<int>(ASN1_ENUMERATED_get(reason.get())) : -1);
    }
    return answer;
}

// What the CRL `der`, fetched now, says of `certificate`.
Answer CrlAnswer(std::vector<std::uint8_t> der, X509* certificate, X509* issuer) {
    Answer unknown;
    const unsigned char* next = der.data();
    CrlPtr crl(d2i_X509_CRL(nullptr, &next, static_cast<long>(der.size())));
    TakeErrors();
    std::optional<Answer> answer;
    if (crl) {
        answer = FromCrl(crl.get(), certificate, issuer, false);
    }
    if (!answer) {
        unknown.why = Tr("the CRL could not be verified");
        return unknown;
    }
    answer->crl = std::move(der);
    return *answer;
}

Answer AskCrl(const std::string& url, X509* certificate, X509* issuer) {
    std::vector<std::uint8_t> der;
    try {
        der = HttpGet(url, kMaxCrlBytes);
    } catch (const Error& error) {
        if (error.number() == status::Stopped) {
            throw;
        }
        Answer unknown;
        unknown.why = Tr("the CRL could not be fetched");
        return unknown;
    }
    return CrlAnswer(std::move(der), certificate, issuer);
}

// Whether `basic` was signed by `issuer` or by a responder it authorised
// for OCSP signing.
bool SignedByIssuer(OCSP_BASICRESP* basic, X509* issuer) {
    ErrorMark mark;
    StorePtr store(X509_STORE_new());
    X509StackPtr certificates(sk_X509_new_null());
    if (!store || !certificates || X509_STORE_add_cert(store.get(), issuer) != 1 ||
        X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1 ||
        sk_X509_push(certificates.get(), Share(issuer).release()) <= 0) {
        return false;
    }
    return OCSP_basic_verify(basic, certificates.get(), store.get(), 0) == 1;
}

// What the responder's answer `der` to `request`, about `id`, says now.
Answer OcspAnswer(std::vector<std::uint8_t> der, OCSP_REQUEST* request, OCSP_CERTID* id,
                  X509* issuer) {
    Answer unknown;
    ErrorMark mark;
    const unsigned char* next = der.data();
    OcspResponsePtr response(d2i_OCSP_RESPONSE(nullptr, &next, static_cast<long>(der.size())));
    if (!response) {
        unknown.why = Tr("the OCSP responder's answer could not be read");
        return unknown;
    }
    if (OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
        unknown.why = Tr("the OCSP responder refused to answer");
        return unknown;
    }
    OcspBasicPtr basic(OCSP_response_get1_basic(response.get()));
    // A responder that leaves the nonce out is taken at its word, as many
    // cache their answers; a nonce that differs is a replayed answer.
    const int nonce = basic ? OCSP_check_nonce(request, basic.get()) : 0;
    if (!basic || (nonce != 1 && nonce != -1) || !SignedByIssuer(basic.get(), issuer)) {
        unknown.why = Tr("the OCSP responder's answer could not be verified");
        return unknown;
    }
    int state = -1;
    int reason = -1;
    ASN1_GENERALIZEDTIME* revokedAt = nullptr;
    ASN1_GENERALIZEDTIME* thisUpdate = nullptr;
    ASN1_GENERALIZEDTIME* nextUpdate = nullptr;
    if (OCSP_resp_find_status(basic.get(), id, &state, &reason, &revokedAt, &thisUpdate,
                              &nextUpdate) != 1) {
        unknown.why = Tr("the OCSP responder's answer is not about the certificate");
        return unknown;
    }
    if (OCSP_check_validity(thisUpdate, nextUpdate, kLeewaySeconds, -1) != 1) {
        unknown.why = Tr("the OCSP responder's answer is out of date");
        return unknown;
    }
    if (state == V_OCSP_CERTSTATUS_UNKNOWN) {
        unknown.why = Tr("the OCSP responder does not know the certificate");
        return unknown;
    }
    Answer answer;
    answer.state =
        state == V_OCSP_CERTSTATUS_REVOKED ? RevocationState::Revoked : RevocationState::Good;
    answer.source = "OCSP";
    answer.producedAt = TimeOf(OCSP_resp_get0_produced_at(basic.get()));
    if (answer.state == RevocationState::Revoked) {
        answer.revokedAt = TimeOf(revokedAt);
        answer.reason = ReasonWords(reason);
    }
    answer.ocsp = std::move(der);
    return answer;
}

Answer AskOcsp(const std::string& url, X509* certificate, X509* issuer) {
    Answer unknown;
    unknown.why = Tr("the OCSP responder did not answer");
    ErrorMark mark;
    OcspIdPtr id(OCSP_cert_to_id(nullptr, certificate, issuer));
    OcspRequestPtr request(OCSP_REQUEST_new());
    OcspIdPtr added(id ? OCSP_CERTID_dup(id.get()) : nullptr);
    if (!request || !added || OCSP_request_add0_id(request.get(), added.get()) == nullptr) {
        Raise(status::Failed, Tr("Could not make an OCSP request"));
    }
    added.release();
    Check(OCSP_request_add1_nonce(request.get(), nullptr, -1), status::Failed,
          Tr("Could not make an OCSP request"));
    unsigned char* body = nullptr;
    const int length = i2d_OCSP_REQUEST(request.get(), &body);
    MemPtr<unsigned char> ownedBody(body);
    Check(length, status::Failed, Tr("Could not make an OCSP request"));

    std::vector<std::uint8_t> der;
    try {
        der = HttpPost(url, "application/ocsp-request", {body, static_cast<std::size_t>(length)},
                       "application/ocsp-response");
    } catch (const Error& error) {
        if (error.number() == status::Stopped) {
            throw;
        }
        return unknown;
    }
    return OcspAnswer(std::move(der), request.get(), id.get(), issuer);
}

// What an archived OCSP response says of `certificate`, when `issuer` or its
// responder signed it. Its age is no fault: it vouches for its own time.
std::optional<Answer> FromOcsp(std::span<const std::uint8_t> der, X509* certificate, X509* issuer) {
    ErrorMark mark;
    const unsigned char* next = der.data();
    OcspResponsePtr response(d2i_OCSP_RESPONSE(nullptr, &next, static_cast<long>(der.size())));
    if (!response || OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
        return std::nullopt;
    }
    OcspBasicPtr basic(OCSP_response_get1_basic(response.get()));
    OcspIdPtr id(OCSP_cert_to_id(nullptr, certificate, issuer));
    int state = -1;
    int reason = -1;
    ASN1_GENERALIZEDTIME* revokedAt = nullptr;
    if (!basic || !id ||
        OCSP_resp_find_status(basic.get(), id.get(), &state, &reason, &revokedAt, nullptr,
                              nullptr) != 1 ||
        state == V_OCSP_CERTSTATUS_UNKNOWN || !SignedByIssuer(basic.get(), issuer)) {
        return std::nullopt;
    }
    Answer answer;
    answer.state =
        state == V_OCSP_CERTSTATUS_REVOKED ? RevocationState::Revoked : RevocationState::Good;
    answer.source = "embedded OCSP";
    answer.producedAt = TimeOf(OCSP_resp_get0_produced_at(basic.get()));
    if (answer.state == RevocationState::Revoked) {
        answer.revokedAt = TimeOf(revokedAt);
        answer.reason = ReasonWords(reason);
    }
    return answer;
}

// What the network says of `certificate`: its OCSP responders first, then its CRLs.
Answer Ask(X509* certificate, X509* issuer, const std::vector<std::string>& ocsp,
           const std::vector<std::string>& crls) {
    const std::string key = KeyOf(certificate);
    {
        std::lock_guard lock(CacheLock());
        if (auto found = Cache().find(key); found != Cache().end()) {
            return found->second;
        }
    }
    Answer answer;
    for (const std::string& url : ocsp) {
        answer = AskOcsp(url, certificate, issuer);
        if (answer.state != RevocationState::Unknown) {
            break;
        }
    }
    for (std::size_t i = 0; i < crls.size() && answer.state == RevocationState::Unknown; ++i) {
        const std::string why = answer.why;
        answer = AskCrl(crls[i], certificate, issuer);
        if (answer.state == RevocationState::Unknown && !why.empty()) {
            answer.why = why;  // the first service's failure says most
        }
    }
    std::lock_guard lock(CacheLock());
    Cache().emplace(key, answer);
    return answer;
}

std::optional<Answer> FromMessage(CMS_ContentInfo* message, X509* certificate, X509* issuer) {
    if (message == nullptr) {
        return std::nullopt;
    }
    std::optional<Answer> best;
    for (const std::vector<std::uint8_t>& response : OcspResponsesIn(message)) {
        std::optional<Answer> answer = FromOcsp(response, certificate, issuer);
        if (answer && (!best || answer->state == RevocationState::Revoked)) {
            best = answer;
        }
    }
    if (best) {
        return best;
    }
    ErrorMark mark;  // a message without CRLs carries none
    CrlListPtr crls(CMS_get1_crls(message));
    for (int i = 0; i < sk_X509_CRL_num(crls.get()); ++i) {
        std::optional<Answer> answer =
            FromCrl(sk_X509_CRL_value(crls.get(), i), certificate, issuer, true);
        if (answer &&
            (!best || answer->state == RevocationState::Revoked ||
             (best->state != RevocationState::Revoked && answer->producedAt > best->producedAt))) {
            best = answer;
        }
    }
    return best;
}

RevocationStatus StatusOf(const Answer& answer) {
    return {.state = answer.state,
            .source = answer.source,
            .producedAt = answer.producedAt,
            .revokedAt = answer.revokedAt,
            .reason = answer.reason,
            .subject = {},
            .why = answer.why};
}

// Walks the chain but its anchor; `each` gets every certificate that
// publishes a service, with its issuer.
template <typename Each>
void ForEachPublishing(STACK_OF(X509) * chain, Each each) {
    for (int i = 0; i + 1 < sk_X509_num(chain); ++i) {
        X509* certificate = sk_X509_value(chain, i);
        std::vector<std::string> ocsp = OcspUrls(certificate);
        std::vector<std::string> crls = CrlUrls(certificate);
        if (!ocsp.empty() || !crls.empty()) {
            each(certificate, sk_X509_value(chain, i + 1), ocsp, crls);
        }
    }
}

}  // namespace

RevocationStatus RevocationOf(STACK_OF(X509) * chain, CMS_ContentInfo* message) {
    const NetworkSettings& settings = CurrentNetworkSettings();
    const bool ask = settings.checkRevocation && !settings.offline;
    RevocationStatus result;
    std::optional<RevocationStatus> unknown, notChecked, good;
    bool revoked = false;
    ForEachPublishing(chain,
                      [&](X509* certificate, X509* issuer, const auto& ocsp, const auto& crls) {
                          if (revoked) {
                              return;
                          }
                          std::optional<Answer> answer = FromMessage(message, certificate, issuer);
                          if (!answer && !ask) {
                              if (!notChecked) {
                                  notChecked.emplace();
                                  notChecked->state = RevocationState::NotChecked;
                              }
                              return;
                          }
                          if (!answer) {
                              answer = Ask(certificate, issuer, ocsp, crls);
                          }
                          RevocationStatus status = StatusOf(*answer);
                          if (answer->state == RevocationState::Revoked) {
                              status.subject = NameOf(certificate);
                              result = status;
                              revoked = true;
                          } else if (answer->state == RevocationState::Unknown && !unknown) {
                              unknown = status;
                          } else if (answer->state == RevocationState::Good && !good) {
                              good = status;
                          }
                      });
    if (!revoked) {
        result = unknown ? *unknown : notChecked ? *notChecked : good ? *good : result;
    }
    return result;
}

RevocationStatus OcspReplyStatus(std::span<const std::uint8_t> der, OCSP_REQUEST* request,
                                 X509* certificate, X509* issuer) {
    ErrorMark mark;
    OcspIdPtr id(Check(OCSP_cert_to_id(nullptr, certificate, issuer), status::Failed,
                       "Could not make an OCSP request"));
    return StatusOf(OcspAnswer({der.begin(), der.end()}, request, id.get(), issuer));
}

RevocationStatus CrlStatus(std::span<const std::uint8_t> der, X509* certificate, X509* issuer) {
    return StatusOf(CrlAnswer({der.begin(), der.end()}, certificate, issuer));
}

void EmbedRevocationData(CMS_ContentInfo* cms, STACK_OF(X509) * chain, const std::string& what) {
    const NetworkSettings& settings = CurrentNetworkSettings();
    if (!settings.checkRevocation || settings.offline) {
        return;
    }
    std::vector<std::vector<std::uint8_t>> embedded;
    ForEachPublishing(
        chain, [&](X509* certificate, X509* issuer, const auto& ocsp, const auto& crls) {
            Answer answer = Ask(certificate, issuer, ocsp, crls);
            if (!answer.ocsp.empty()) {
                AddOcspResponse(cms, answer.ocsp, what);
                return;
            }
            for (std::size_t i = 0; i < crls.size() && answer.crl.empty(); ++i) {
                answer = AskCrl(crls[i], certificate, issuer);
            }
            if (answer.crl.empty() || std::ranges::find(embedded, answer.crl) != embedded.end()) {
                return;
            }
            const unsigned char* next = answer.crl.data();
            CrlPtr crl(Check(d2i_X509_CRL(nullptr, &next, static_cast<long>(answer.crl.size())),
                             status::Failed, what));
            Check(CMS_add1_crl(cms, crl.get()), status::Failed, what);
            embedded.push_back(std::move(answer.crl));
        });
}

}  // namespace quilvane::ossl
