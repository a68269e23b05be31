#pragma once
// RFC 3161 signature time-stamps: asked of the run's time-stamping service
// for a signer-info's signature value, checked, and kept as its unsigned
// attribute id-aa-signatureTimeStampToken.

#include <openssl/cms.h>

#include <cstdint>
#include <vector>

namespace quilvane {

// Asks the time-stamping service for a token over `info`'s signature value
// (SHA-256, a nonce, certReq), checks the reply (granted, nonce, imprint, the
// authority's critical timeStamping usage) and adds it to `info`'s unsigned
// attributes. Raises Error(status::TimeStampFailed) on any failure.
void AddSignatureTimeStamp(CMS_SignerInfo* info);

// Whether `info` already holds a signature time-stamp.
bool HasSignatureTimeStamp(CMS_SignerInfo* info);

}  // namespace quilvane
