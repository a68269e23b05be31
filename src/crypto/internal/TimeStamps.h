#pragma once
// RFC 3161 signature time-stamps: asked of the run's time-stamping service
// for a signer-info's signature value, checked, and kept as its unsigned
// attribute id-aa-signatureTimeStampToken.

#include <openssl/cms.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "crypto/Trust.h"
#include "internal/Handles.h"

namespace quilvane {

// Asks the time-stamping service for a token over `info`'s signature value
// (SHA-256, a nonce, certReq), checks the reply (granted, nonce, imprint, the
// authority's critical timeStamping usage) and adds it to `info`'s unsigned
// attributes. Raises Error(status::TimeStampFailed) on any failure.
void AddSignatureTimeStamp(CMS_SignerInfo* info);

// The request for a token over the signature value `value`: its SHA-256
// imprint, `nonce` and certReq.
ossl::TsReqPtr TimeStampRequest(std::span<const unsigned char> value, const ASN1_INTEGER* nonce);

// The token of the service's reply `answer` to `request`, checked as
// AddSignatureTimeStamp checks it, as the value of the attribute; raises
// Error(status::TimeStampFailed). Apart from the asking, so that a reply can
// be checked without the network.
ossl::AsnStringPtr TokenOfReply(std::span<const std::uint8_t> answer, TS_REQ* request);

// Whether `info` already holds a signature time-stamp.
bool HasSignatureTimeStamp(CMS_SignerInfo* info);

// A signature time-stamp of a signer-info, checked when verifying.
struct CheckedTimeStamp {
    TimeStampProof proof;
    // Why the token does not belong to the signature or was forged; empty when
    // it holds. A token that merely comes from an untrusted authority is not
    // broken: it is no proof (proof.valid false, proof.problem).
    std::string broken;
};

// Each signature time-stamp of `info`, in the order of its attributes: the
// imprint against the signature value, the token's signature, and the
// authority's chain to `roots` for time-stamping, through the token's
// certificates and `intermediates`. `message` gives the revocation data it
// carries for the authority's chain.
// One token, the attribute value `value`, checked as above against the
// signature value `signature`.
CheckedTimeStamp CheckTimeStamp(const ASN1_TYPE* value, std::span<const unsigned char> signature,
                                X509_STORE* roots, STACK_OF(X509) * intermediates,
                                CMS_ContentInfo* message);

std::vector<CheckedTimeStamp> SignatureTimeStampsOf(CMS_SignerInfo* info, X509_STORE* roots,
                                                    STACK_OF(X509) * intermediates,
                                                    CMS_ContentInfo* message);

}  // namespace quilvane
