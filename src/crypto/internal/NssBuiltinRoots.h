#pragma once
// The roots Mozilla trusts for e-mail signatures, as NSS's built-in root
// module lists them.

#include <string>
#include <vector>

namespace quilvane::ossl {

// The DER certificates the built-in module marks as trusted delegators for
// e-mail protection; read once per process, none when the module is absent or
// refuses to answer.
const std::vector<std::string>& NssEmailRoots();

}  // namespace quilvane::ossl
