#pragma once
// The crypto layer's view of a certificate: the X509 object and, for one from
// the personal store, where its private key is found.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "crypto/Certificate.h"
#include "internal/Handles.h"

namespace quilvane {

// Finds the private key of a listed certificate when it is needed: a plain key
// at once, a protected one after asking for its secret.
class KeyHolder {
  public:
    virtual ~KeyHolder() = default;
    // A key owned by the holder that matches `certificate`'s public key.
    // Raises status::NoPrivateKey, status::WrongPassphrase or status::Cancelled.
    virtual EVP_PKEY* KeyFor(X509* certificate) = 0;
    // The other certificates the holder's source saw (a PKCS #12 file's
    // authorities, a bundle's companions, a token's CA certificates): where
    // a signer's intermediates are looked for.
    virtual std::vector<ossl::X509Ptr> OtherCertificates() const { return {}; }
    // A token serves one request at a time, whatever the threads asking.
    virtual bool OneAtATime() const { return false; }
};

struct Certificate::Impl {
    ossl::X509Ptr x509;
    std::string location;             // empty for a certificate from a message
    std::shared_ptr<KeyHolder> keys;  // null: there is no private key to find
    // The chain a signature by this certificate carries, gathered from the
    // folders at its first signature and kept for the rest of the run.
    mutable std::mutex issuersLock;
    mutable ossl::X509StackPtr issuers;
};

// The error for a certificate whose private key the store does not hold.
Error NoPrivateKeyError(X509* certificate);

// A certificate that shares `x` (one more reference is taken).
Certificate MakeCertificate(X509* x, std::string location = {},
                            std::shared_ptr<KeyHolder> keys = nullptr);

}  // namespace quilvane
