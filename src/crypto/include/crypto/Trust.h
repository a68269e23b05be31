#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace quilvane {

// How far a signer's certificate can be trusted, the first reason against it
// winning.
enum class Verdict {
    Trusted,             // chains to a trusted anchor now, and is meant for signing
    BrokenDigest,        // a broken digest in the signature or the chain (`detail`)
    NotForSigning,       // its key usages do not allow signing (`detail`: what they allow)
    Expired,             // since `when`
    NotYetValid,         // until `when`
    SigningTimeOutside,  // the signing time it claims lies outside its validity
    SelfSigned,          // a certificate that vouches only for itself
    UntrustedRoot,       // the chain ends outside the trusted anchors
    ChainRefused,        // any other fault of the chain, in OpenSSL's words (`detail`)
    Revoked,             // on `when`, for the reason in `detail` (RevocationStatus has the rest)
    TimeStampBroken,     // a time-stamp of the signer does not hold (`detail`: why)
};

// What the revocation services a chain publishes said about it.
enum class RevocationState {
    NotPublished,  // no certificate of the chain names an OCSP responder or a CRL
    Good,          // every certificate that publishes a service was answered for: not revoked
    Revoked,       // a certificate of the chain was revoked (`revokedAt`, `reason`, `subject`)
    Unknown,       // a published service gave no usable answer (`why`)
    NotChecked,    // services are published, but this run does not ask (offline, or turned off)
};

struct RevocationStatus {
    RevocationState state = RevocationState::NotPublished;
    std::string
        source;  // where the answer came from: "OCSP", "CRL", "embedded OCSP", "embedded CRL"
    std::time_t producedAt = 0;  // when that answer was made (OCSP producedAt, CRL thisUpdate)
    std::time_t revokedAt = 0;
    std::string reason;   // the CRL reason in words: "key compromise"; "unspecified" when none
    std::string subject;  // the simple name of the revoked certificate (the signer's or a CA's)
    std::string why;      // of Unknown: in a person's words, "the responder did not answer"
};

// A signature time-stamp of a signer, checked.
struct TimeStampProof {
    std::time_t time = 0;         // the time the authority vouches for
    std::string authority;        // the simple name of the time-stamping authority's certificate
    bool valid = false;           // imprint, signature and the authority's chain all hold
    std::string problem;          // when not valid, why, in a person's words
    RevocationStatus revocation;  // of the authority's chain
};

// One certificate of a signer's chain, the signer's own first.
struct ChainLink {
    std::string subject;  // the simple name of the subject
    std::string issuer;   // the simple name of the issuer
    std::string serial;   // upper-case hex
    std::string sha256;   // as CertificateTrust::sha256
};

// What a person needs to judge a signer's certificate. Names are as the
// certificate has them: shown, they go through SafeText.
struct CertificateTrust {
    std::string subject;      // the simple name of the subject
    std::string issuer;       // the simple name of the issuer
    std::time_t validTo = 0;  // the end of validity
    std::string sha256;       // of the DER, upper-case hex pairs joined by colons
    Verdict verdict = Verdict::Trusted;
    std::time_t when = 0;  // the date Expired and NotYetValid name
    std::string detail;    // the digest of BrokenDigest, the words of ChainRefused
    std::string serial;    // of the signer's certificate, upper-case hex
    std::time_t validFrom = 0;
    std::vector<ChainLink> chain;  // as far as it was built, the signer's own first
    // The signer's signature time-stamps, in the order of the file; the first
    // valid one is the proof of existence the chain was judged at.
    std::vector<TimeStampProof> timeStamps;
    RevocationStatus revocation;  // of the signer's chain
};

}  // namespace quilvane
