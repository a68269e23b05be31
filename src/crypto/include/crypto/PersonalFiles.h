#pragma once
// The cryptography behind the commands that add to the user's folders: a new
// self-signed certificate, a file checked before it is imported, a
// certificate checked before it is trusted. The files themselves are written
// by the caller.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "crypto/Certificate.h"
#include "crypto/Secret.h"

namespace quilvane {

enum class NewKeyType { Rsa3072, P256 };

// What a person gives for a certificate of their own.
struct NewCertificate {
    std::string name;   // the common name
    std::string email;  // may be empty
    NewKeyType keyType = NewKeyType::Rsa3072;
};

// A new certificate as the files that keep it.
struct NewCertificateFiles {
    std::string certificate;  // PEM, to give to others
    std::string withKey;      // the certificate followed by its encrypted key
};

// A self-signed certificate for signing, valid for a year from now, and its
// new private key, an encrypted PKCS #8 PEM block (AES-256, the key derived
// from `passphrase`).
NewCertificateFiles MakeSelfSignedCertificate(const NewCertificate& details,
                                              const Secret& passphrase);

// What a file offered for import holds.
struct ImportCheck {
    std::vector<std::string> names;  // the simple names of its certificates
    bool withKey = false;            // it holds the private key of one of them
    // For a PKCS #12 file: its certificates and their issuers as PEM, kept
    // beside it so that listing them needs no passphrase. Empty otherwise.
    std::string certificatesPem;
};

// Reads a PKCS #12, PEM or DER file named `fileName` and checks the secrets
// protecting it: a PKCS #12 file's passphrase and each encrypted key's, asked
// through `prompt`. Raises status::BadMessage when it holds no certificate,
// status::WrongPassphrase or status::Cancelled.
ImportCheck CheckImport(std::span<const std::uint8_t> bytes, const std::string& fileName,
                        const SecretPrompt& prompt);

// `certificate` alone, as PEM text.
std::string CertificatePem(const Certificate& certificate);

// A certificate that may become a trust anchor.
struct TrustCandidate {
    std::string name;         // the subject's simple name
    std::string fingerprint;  // SHA-256, as colon-separated hexadecimal pairs
    std::string pem;          // the certificate as PEM text
    bool root = true;         // self-signed; otherwise an issuing authority
};

// The first certificate of a PEM or DER file named `fileName`. Raises
// status::BadMessage when there is none, status::CertificateUnsuitable when it
// is neither a certificate authority nor self-signed.
TrustCandidate ReadTrustCandidate(std::span<const std::uint8_t> bytes, const std::string& fileName);

// Whether `bytes` are a signed message (DER, BER, PEM or bare Base64).
bool IsSignedMessage(std::span<const std::uint8_t> bytes);

// The self-signed certificates a signed message carries (roots, and signers
// who vouch for themselves), in the message's order. Raises status::BadMessage
// when `bytes` are no signed message.
std::vector<TrustCandidate> SignedMessageTrustCandidates(std::span<const std::uint8_t> bytes,
                                                         const std::string& fileName);

}  // namespace quilvane
