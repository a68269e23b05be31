#pragma once
// Certificates and messages made with OpenSSL's API: the Pki's (TestPki.h),
// and what the openssl command will not make: hostile names, contradictory
// or unsorted signed attributes.

#include <openssl/cms.h>

#include <functional>
#include <string>
#include <vector>

#include "support/TestPki.h"

namespace quilvane::test {

// A self-signed EC certificate (valid from yesterday for a year) whose
// subject is one UTF8String common name of exactly `commonName`'s bytes, or
// empty when `commonName` is; written to `stem`.pem and `stem`.key in `folder`.
Identity NamedIdentity(const fs::path& folder, const std::string& stem,
                       const std::string& commonName);

// `content` signed by `id` with OpenSSL's CMS code, attached, DER, SHA-256;
// `after` may change the message and its signer-info once it is signed.
using Change = std::function<void(CMS_ContentInfo*, CMS_SignerInfo*)>;
std::string Forge(const Identity& id, const std::string& content, const Change& after = {});

// Signs the signed attributes of `info` again with `id`'s key (SHA-256), as
// OpenSSL would not once they break its rules.
void SignAgain(CMS_SignerInfo* info, const Identity& id);

// Puts a signing time of ASN.1 `type` with each of `values` in place of the
// one signed, and signs again as `id`.
Change SigningTime(const Identity& id, int type, std::vector<std::string> values);

// `message` with the signed attributes of its first signer-info in reverse
// order, signed again by `id` (an RSA key) over that order: a valid signature
// over attributes that DER would sort otherwise.
std::string Unsorted(const std::string& message, const Identity& id);

// `message` decoded and written again by OpenSSL: DER.
std::string Reencoded(const std::string& message);

}  // namespace quilvane::test
