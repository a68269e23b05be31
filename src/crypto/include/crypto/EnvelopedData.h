#pragma once

#include <memory>
#include <vector>

#include "crypto/Bytes.h"
#include "crypto/Certificate.h"
#include "crypto/Secret.h"
#include "crypto/SignedData.h"

namespace quilvane {

// The form an encrypted message is written in: binary (DER), the only one.
enum class Encoding { Binary = 1 };
enum class AlgorithmName { RC2 = 0, RC4 = 1, DES = 2, TripleDES = 3, AES = 4 };
enum class KeyLength { Maximum = 0, Bits40 = 1, Bits56 = 2, Bits128 = 3, Bits192 = 4, Bits256 = 5 };

// The content cipher of an envelope.
class Algorithm {
  public:
    AlgorithmName Name() const { return name_; }
    void Name(AlgorithmName name) { name_ = name; }
    quilvane::KeyLength KeyLength() const { return keyLength_; }
    void KeyLength(quilvane::KeyLength keyLength) { keyLength_ = keyLength; }

  private:
    AlgorithmName name_ = AlgorithmName::AES;
    quilvane::KeyLength keyLength_ = quilvane::KeyLength::Bits256;
};

class Recipients {
  public:
    void Add(const Certificate& certificate) { items_.push_back(certificate); }
    std::size_t Count() const { return items_.size(); }
    const Certificate& Item(std::size_t index) const;  // from 1; status::NoSuchItem past the end

  private:
    std::vector<Certificate> items_;
};

// A CMS enveloped-data message: key transport to each recipient's certificate.
class EnvelopedData {
  public:
    void Content(BinaryString content) { content_ = std::move(content); }
    const BinaryString& Content() const { return content_; }

    quilvane::Recipients& Recipients() { return recipients_; }
    quilvane::Algorithm& Algorithm() { return algorithm_; }

    // Encrypts the content for every recipient; binary (DER) only.
    BinaryString Encrypt(Encoding encoding);

    // Opens a message with a private key of the current user's store "My",
    // asking for a passphrase through `prompt` when the key is protected.
    // Afterwards Content() is the decrypted content. Nothing is decrypted
    // unless the key really opens the message.
    void Decrypt(const SecretPrompt& prompt, const BinaryString& message);

  private:
    BinaryString content_;
    quilvane::Recipients recipients_;
    quilvane::Algorithm algorithm_;
};

}  // namespace quilvane
