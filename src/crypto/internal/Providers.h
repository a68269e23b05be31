#pragma once
// The OpenSSL providers the envelopes and the store need beyond the default one.

#include <string>

namespace quilvane {

// Loads OpenSSL's legacy provider (RC4, RC2, single DES) beside the default
// one, the first time it is called; both stay loaded for the rest of the
// process. Returns whether the legacy provider is available; when it is not
// and `reason` is given, tells why.
bool LoadLegacyProvider(std::string* reason = nullptr);

}  // namespace quilvane
