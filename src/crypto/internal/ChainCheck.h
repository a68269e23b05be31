#pragma once
// The trust anchors, the one check of a certificate chain, and the trust
// verdict built on it.

#include <ctime>
#include <optional>

#include "crypto/Trust.h"
#include "internal/Handles.h"

namespace quilvane::ossl {

// The anchors signatures are checked against: the user's Root folder,
// quilvane/Root under each of $XDG_DATA_DIRS, and NSS's built-in e-mail
// roots. A certificate among them that is not self-signed anchors the chains
// it issued as an issuing authority. One store serves the whole process,
// gathered again when a file of the folders changed: its users share it and
// change nothing in it.
StorePtr TrustedRoots();

// The outcome of checking one certificate's chain.
struct ChainCheck {
    int error = X509_V_OK;
    int depth = 0;
    X509Ptr at;          // the certificate the fault lies in (null when none)
    X509StackPtr chain;  // as far as it was built, the certificate itself first
};

// Whether a chain error means that no trusted anchor vouches for the chain:
// a self-signed certificate, or a chain that ends outside the anchors.
bool IsUntrustedRoot(int error);

// Checks `certificate`'s chain for `purpose` (an X509_PURPOSE_), at `at` or
// now, through `intermediates` (may be null) to `roots`.
ChainCheck CheckChain(X509_STORE* roots, X509* certificate, STACK_OF(X509) * intermediates,
                      int purpose = X509_PURPOSE_ANY, std::optional<std::time_t> at = {});

// The verdict on the certificate of the signer-info `info` of `message`: its
// signature time-stamps, its chain, the digests in it, whether it is meant for
// signing, and its validity at the first valid time-stamp's time (else now)
// and at the signing time the signer-info claims; then, for a chain trusted so
// far, its revocation, asked first of the data `message` carries.
CertificateTrust TrustOf(CMS_ContentInfo* message, CMS_SignerInfo* info, X509* certificate,
                         X509_STORE* roots, STACK_OF(X509) * intermediates);

}  // namespace quilvane::ossl
