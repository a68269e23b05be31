// Revocation checks of certificate chains.

#include "internal/Revocation.h"

namespace quilvane::ossl {

RevocationStatus RevocationOf(STACK_OF(X509) *, CMS_ContentInfo*) {
    return {};
}

}  // namespace quilvane::ossl
