#pragma once

#include <ctime>
#include <string>

namespace quilvane {

// How far a signer's certificate can be trusted, the first reason against it
// winning.
enum class Verdict {
    Trusted,        // chains to a trusted root now, for any purpose
    BrokenDigest,   // the signature or the certificate uses a broken digest (`detail`)
    Expired,        // since `when`
    NotYetValid,    // until `when`
    UntrustedRoot,  // self-signed, or the chain ends outside the trusted roots
    ChainRefused,   // any other fault of the chain, in OpenSSL's words (`detail`)
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
};

}  // namespace quilvane
