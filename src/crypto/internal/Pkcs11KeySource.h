#pragma once
// Certificates whose private keys stay on a PKCS #11 token: smart cards, USB
// tokens and SoftHSM2 registered with p11-kit, and the user's NSS databases,
// opened read-only through NSS's own module. OpenSSL signs through libp11's
// key methods, so a key never leaves its token.

#include <memory>
#include <string>
#include <vector>

#include "crypto/Secret.h"
#include "internal/CertificateImpl.h"
#include "internal/Handles.h"
#include "internal/NssProfiles.h"

namespace quilvane {

// A certificate on a token that also holds its key.
struct TokenCertificate {
    ossl::X509Ptr x509;
    std::string token;     // the token's label
    std::string location;  // where the pick list says it lives: the label or the database's name
};

// The certificates of one PKCS #11 module that have a key beside them, and
// their keys on demand. Listing needs no PIN; the PIN or password is asked
// the first time a key is needed, once, and never retried. The module stays
// loaded as long as a source (and so any key it handed out) lives.
class Pkcs11KeySource final : public KeyHolder {
  public:
    struct State;

    // Every token of every module registered with p11-kit, through its proxy
    // (empty `module`: the system's proxy).
    static std::shared_ptr<Pkcs11KeySource> OpenTokens(SecretPrompt prompt,
                                                       const std::string& module = {});
    // `databases`, read-only, in one load of NSS's softoken (empty `module`:
    // the system's). NSS initialises once per process: while a source of it
    // lives, a new one shares that load and lists the databases it opened.
    static std::shared_ptr<Pkcs11KeySource> OpenNssDatabases(
        SecretPrompt prompt, const std::vector<NssDatabase>& databases,
        const std::string& module = {});

    explicit Pkcs11KeySource(std::unique_ptr<State> state);
    ~Pkcs11KeySource() override;
    Pkcs11KeySource(const Pkcs11KeySource&) = delete;
    Pkcs11KeySource& operator=(const Pkcs11KeySource&) = delete;

    const std::vector<TokenCertificate>& Certificates() const;
    // The tokens (their labels) or databases (their names) looked at.
    const std::vector<std::string>& Places() const;

    // Logs in when the token asks for it and returns the key with the
    // certificate's CKA_ID. Raises status::Cancelled, status::WrongPassphrase
    // (a wrong or locked PIN, naming the token's remaining-tries state),
    // status::NoPrivateKey, or status::Failed for a token that is gone.
    EVP_PKEY* KeyFor(X509* certificate) override;
    std::vector<ossl::X509Ptr> OtherCertificates() const override;
    bool OneAtATime() const override { return true; }

  private:
    std::unique_ptr<State> state_;
};

}  // namespace quilvane
