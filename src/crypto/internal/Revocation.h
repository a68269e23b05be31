#pragma once
// Revocation of a certificate chain: the OCSP responders and CRL
// distribution points its certificates publish, asked under the run's
// NetworkSettings, after the revocation data a message carries.

#include <openssl/cms.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "crypto/Trust.h"

namespace quilvane::ossl {

// What is known of the revocation of `chain` (a built chain: the certificate
// first, its anchor last; the anchor itself is not asked about). `message`,
// when given, is asked first for the CRLs and OCSP responses it carries.
// Answers are kept for the rest of the run.
RevocationStatus RevocationOf(STACK_OF(X509) * chain, CMS_ContentInfo* message);

// What the OCSP responder's answer `der` to `request` says of `certificate`,
// and the CRL `der` likewise: checked as answers fetched now are, apart from
// the asking, so that they can be checked without the network.
RevocationStatus OcspReplyStatus(std::span<const std::uint8_t> der, OCSP_REQUEST* request,
                                 X509* certificate, X509* issuer);
RevocationStatus CrlStatus(std::span<const std::uint8_t> der, X509* certificate, X509* issuer);

// Adds to `cms` the CRLs that vouch for the certificates of `chain` (built
// as above), fetched now or kept from earlier in the run, so that the
// message can be checked later without the network. Nothing when this run
// does not ask the network; raises status::Failed with `what`.
void EmbedRevocationData(CMS_ContentInfo* cms, STACK_OF(X509) * chain, const std::string& what);

// The OCSP responses among the revocation data of `message` (other
// revocation info of the format id-ri-ocsp-response), as DER.
std::vector<std::vector<std::uint8_t>> OcspResponsesIn(CMS_ContentInfo* message);

// Puts the OCSP response `der` into the revocation data of `cms`; raises
// status::Failed with `what`.
void AddOcspResponse(CMS_ContentInfo* cms, const std::vector<std::uint8_t>& der,
                     const std::string& what);

// Whether `cms` carries revocation data of its own.
bool CarriesRevocationData(CMS_ContentInfo* cms);

}  // namespace quilvane::ossl
