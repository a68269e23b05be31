#pragma once
// The places a store gathers its certificates from. The "My" folder is one
// source; a new kind of place is one more implementation, named in
// SourcesOf().

#include <memory>
#include <string>
#include <vector>

#include "crypto/Certificate.h"
#include "crypto/Secret.h"

namespace quilvane {

class KeySource {
  public:
    virtual ~KeySource() = default;
    // Appends the certificates the source offers, each with the way to its
    // private key. What cannot be read is passed over; what the person
    // should hear about that goes to `warnings`.
    virtual void List(std::vector<Certificate>& out, std::vector<std::string>& warnings) = 0;
};

// The personal certificates in the folder of a store: PEM, DER and PKCS #12
// files. Secrets are asked through `prompt`, which the certificates listed
// keep for unlocking their keys later.
std::unique_ptr<KeySource> FolderKeySource(std::string folder, SecretPrompt prompt);

// Every source of the current user's store `name`.
std::vector<std::unique_ptr<KeySource>> SourcesOf(const std::string& name,
                                                  const SecretPrompt& prompt);

}  // namespace quilvane
