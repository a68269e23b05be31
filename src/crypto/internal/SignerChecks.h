#pragma once
// Checks of one signer-info beyond its signature, and of the signer-infos a
// co-signed message must keep as they were read.

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "internal/Handles.h"

namespace quilvane::ossl {

// Raises when the signed content-type attribute of `info` is missing,
// repeated, or names another type than the message's content (RFC 5652
// §11.1). A signer-info without signed attributes passes.
void CheckContentType(CMS_ContentInfo* cms, CMS_SignerInfo* info, const std::string& name);

// The signing time of `info`; nothing without one. Raises status::BadMessage
// when it is not exactly one well-formed UTCTime or GeneralizedTime.
std::optional<std::time_t> SigningTimeOf(CMS_SignerInfo* info, const std::string& name);

// Whether `info` binds its signer's `certificate` with an ESS
// signing-certificate or signing-certificate-v2 attribute (CAdES B-B); false
// when it has neither. Raises status::SignatureMismatch, naming the signer,
// when the attribute names another certificate, and status::BadMessage when
// it cannot be read. Certificates the attribute lists after the signer's are
// looked for among `carried`, the message's own.
bool BindsSigner(CMS_SignerInfo* info, X509* certificate, STACK_OF(X509) * carried,
                 const std::string& name);

// How a signer whose certificate is missing is named: by what the signature
// says about the certificate.
std::string SignerIdText(CMS_SignerInfo* info);

using Octets = std::span<const std::uint8_t>;

// The encodings of the signer-infos at the end of `tail` (a signed-data
// message's certificates, CRLs and signer-infos), where they lie in it; none
// when they cannot be told apart.
std::vector<Octets> SignerInfosIn(Octets tail);

// Raises, naming the signer, when a signer-info of `cms` as it was read
// (`read`, in the message's order) is not among those OpenSSL writes now
// (`written`): writing the message again would change its bytes.
void RequireKeptAsRead(CMS_ContentInfo* cms, const std::vector<Octets>& read,
                       const std::vector<Octets>& written);

}  // namespace quilvane::ossl
