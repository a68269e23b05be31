#pragma once
// Checks of one signer-info beyond its signature, and the signer-infos of a
// message as its bytes hold them.

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

// The encoding of each signer-info of a signed-data message (DER or BER), in
// the order the message holds them. Raises status::BadMessage when the bytes
// are not such a message.
std::vector<std::vector<unsigned char>> SignerInfoEncodings(std::span<const unsigned char> message);

}  // namespace quilvane::ossl
