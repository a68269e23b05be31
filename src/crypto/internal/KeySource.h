#pragma once
// The places a store gathers its certificates from. The "My" folder is one
// source; a new kind of place is one more implementation, named in
// SourcesOf().

#include <memory>
#include <string>
#include <vector>

#include "crypto/Certificate.h"
#include "crypto/Secret.h"
#include "crypto/Text.h"

namespace quilvane {

class KeySource {
  public:
    virtual ~KeySource() = default;
    // Appends the certificates the source offers, each with the way to its
    // private key. What cannot be read is passed over; what the person
    // should hear about that goes to `warnings`.
    virtual void List(std::vector<Certificate>& out, std::vector<std::string>& warnings) = 0;
    // Where the source looked, as a person knows the place: a folder's
    // path, the labels of the tokens, the names of the databases.
    virtual std::string Place() const = 0;
};

// How the places of the token and database sources are named.
inline constexpr const char* kTokenSources = QUILVANE_N_("PKCS #11 tokens (p11-kit)");
inline constexpr const char* kNssSources = QUILVANE_N_("NSS databases");

// The personal certificates in the folder of a store: PEM, DER and PKCS #12
// files. Secrets are asked through `prompt`, which the certificates listed
// keep for unlocking their keys later.
std::unique_ptr<KeySource> FolderKeySource(std::string folder, SecretPrompt prompt);

// Every PKCS #11 token registered with p11-kit, and the user's NSS databases
// (~/.pki/nssdb, Firefox and Thunderbird profiles) read-only: their
// certificates that have a key beside them. Opening lists the tokens;
// raises status::StoreFailure when the module cannot be loaded.
std::unique_ptr<KeySource> TokenKeySource(SecretPrompt prompt);
std::unique_ptr<KeySource> NssKeySource(SecretPrompt prompt);

// Every source of the current user's store `name`; for "My" the folder,
// the tokens and the NSS databases. A source that cannot be opened lists
// nothing, and its place says why.
std::vector<std::unique_ptr<KeySource>> SourcesOf(const std::string& name,
                                                  const SecretPrompt& prompt);

}  // namespace quilvane
