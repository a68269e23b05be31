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
};

}  // namespace quilvane
