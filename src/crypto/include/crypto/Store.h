#pragma once

#include <string>
#include <vector>

#include "crypto/Certificate.h"
#include "crypto/Secret.h"

namespace quilvane {

// A certificate store of the current user, gathered from its key sources:
// for "My", the folder $XDG_DATA_HOME/quilvane/My (~/.local/share/quilvane/My)
// with its PEM and DER certificates, PEM private keys (plain or encrypted) and
// PKCS #12 files, then the certificates with a key on PKCS #11 tokens and in
// the user's NSS databases. A store is only ever read.
class Store {
  public:
    // Reads every source afresh. A missing folder is an empty store; an
    // unreadable or damaged file, or a protected one whose passphrase is
    // wrong every time, is passed over so that the good ones are still listed. Secrets (a protected
    // PKCS #12 file's passphrase now, an encrypted key's when it is needed) are asked through
    // `prompt`; the certificates handed out keep a copy of it.
    void Open(const SecretPrompt& prompt, const std::string& name);

    const quilvane::Certificates& Certificates() const { return certificates_; }
    // What the person should hear about the last Open(): files passed over
    // for a reason of theirs, such as a passphrase wrong every time.
    const std::vector<std::string>& Warnings() const { return warnings_; }
    // Where Open looked, one line per source: the folder, the tokens, the
    // NSS databases.
    const std::vector<std::string>& Places() const { return places_; }

    // The folder of a named store of the current user.
    static std::string Folder(const std::string& name);

  private:
    quilvane::Certificates certificates_;
    std::vector<std::string> warnings_;
    std::vector<std::string> places_;
};

}  // namespace quilvane
