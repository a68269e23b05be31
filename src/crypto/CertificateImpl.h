#pragma once
// The crypto layer's view of a certificate: the X509 object and, for one from
// the personal store, where its private key is found.

#include <memory>
#include <string>

#include "crypto/Certificate.h"
#include "crypto/Handles.h"

namespace quilvane {

// Finds the private key that belongs to a certificate. The store implements
// it: plain keys are matched by their public key, protected ones are unlocked
// through the user interface when they are needed.
class KeySource {
  public:
    virtual ~KeySource() = default;
    // Returns a key owned by the source, matching `certificate`'s public key.
    // Raises status::NoPrivateKey, status::WrongPassphrase or status::Cancelled.
    virtual EVP_PKEY* KeyFor(X509* certificate) = 0;
};

struct Certificate::Impl {
    ossl::X509Ptr x509;
    std::string file;                 // empty for a certificate from a message
    std::shared_ptr<KeySource> keys;  // null: there is no private key to find
};

// The error for a certificate whose private key the store does not hold.
Error NoPrivateKeyError(X509* certificate);

// A certificate that shares `x` (one more reference is taken).
Certificate MakeCertificate(X509* x, std::string file = {},
                            std::shared_ptr<KeySource> keys = nullptr);

}  // namespace quilvane
