#pragma once
// The trusted roots, the one check of a certificate chain, and the trust
// verdict built on it.

#include <ctime>

#include "crypto/Trust.h"
#include "internal/Handles.h"

namespace quilvane::ossl {

// The system's CA certificates and those in the user's Root folder.
StorePtr TrustedRoots();

// The outcome of checking one certificate's chain.
struct ChainCheck {
    int error = X509_V_OK;
    int depth = 0;
    X509Ptr at;  // the certificate the fault lies in (null when none)
};

// Whether a chain error means that no trusted root vouches for the chain:
// a self-signed certificate, or a chain that ends outside the roots.
bool IsUntrustedRoot(int error);

// Checks `certificate`'s chain now, for any purpose, through `intermediates`
// (may be null) to `roots`.
ChainCheck CheckChain(X509_STORE* roots, X509* certificate, STACK_OF(X509) * intermediates);

// The verdict on the certificate of the signer-info `info`.
CertificateTrust TrustOf(CMS_SignerInfo* info, X509* certificate, X509_STORE* roots,
                         STACK_OF(X509) * intermediates);

}  // namespace quilvane::ossl
