#pragma once
// The state of a SignedData and the steps that make and check a
// signer-info, shared by signing, verifying and co-signing.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crypto/SignedData.h"
#include "internal/CertificateImpl.h"
#include "internal/Handles.h"
#include "internal/MessageReader.h"

namespace quilvane {

struct SignedData::Impl {
    // The holders of the keys the message signed with: its signer-infos keep
    // the keys, and a token's key is only valid while its holder lives.
    // Declared before the message, so that the message goes first.
    std::vector<std::shared_ptr<KeyHolder>> keyHolders;
    ossl::CmsPtr cms;  // the message made or accepted, without its document
    // After Verify: the message's parts around its document, and the
    // document's digests (a chain of digest BIOs) for CoSign.
    std::optional<streaming::MessageParts> parts;
    ossl::BioPtr digests;
    MessageWrapping wrapping = MessageWrapping::Plain;
};

namespace signed_data {

extern const char* const kNotSigned;

// Raises one of our own errors; whatever OpenSSL queued on the way is
// dropped by the entry point's mark.
[[noreturn]] void Fail(std::int32_t status, const std::string& description);
[[noreturn]] void NotSigned(const std::string& detail);
// An algorithm's common name ("MD4"), or its dotted number when it has none.
std::string AlgorithmName(const ASN1_OBJECT* object);

// The certificate a signer-info names, when the message carries it.
X509* CertificateOf(CMS_SignerInfo* info);
// The certificates a message carries, as intermediates of its signers' chains.
ossl::X509StackPtr CarriedCertificates(CMS_ContentInfo* cms);

// Keys that sign the whole message themselves (RFC 8419) rather than a
// digest; OpenSSL's CMS code cannot drive them, so their signatures are made
// and checked here.
bool IsEdDsa(EVP_PKEY* key);

// An encoding OpenSSL made, in its own memory.
struct Encoded {
    ossl::MemPtr<unsigned char> bytes;
    std::size_t size = 0;
};

// The bytes a signature over signed attributes covers: the attributes as a
// SET OF. For signing OpenSSL puts them in DER order, the order it writes
// them in; for checking it keeps the order the message holds them in.
Encoded SignedAttributesDer(CMS_SignerInfo* info, bool signing);
// Makes the EdDSA signature of `info` over its signed attributes.
void SignEdDsa(CMS_SignerInfo* info, EVP_PKEY* key, const std::string& what);
// Checks an EdDSA signature over `data`: 1 when it holds, 0 when not, -1
// when it could not be checked at all.
int VerifyEdDsa(CMS_SignerInfo* info, EVP_PKEY* key, const unsigned char* data, std::size_t size);

// The digest for a signature with `key` by the signer named `name`.
const EVP_MD* DigestFor(EVP_PKEY* key, const std::string& name);
// The signing time the operation set, else now.
std::time_t SigningTime(const Signer& signer);
EVP_PKEY* PrivateKey(const Certificate& certificate);
// The certificates that issued `certificate`, up to (not including) a
// self-signed root, as far as the key's source and the user's folders have them.
ossl::X509StackPtr IssuersOf(const Certificate& certificate);

// Adds a signer-info to `cms` with its signed attributes complete (content
// type, message digest `value`, signing time, signing-certificate-v2) and its
// signature still to be made by Seal; the certificate and its `issuers` join
// the message's certificates, those it lacks.
CMS_SignerInfo* AddSignerInfo(CMS_ContentInfo* cms, X509* certificate, STACK_OF(X509) * issuers,
                              EVP_PKEY* key, const EVP_MD* digest, std::time_t signingTime,
                              std::span<const unsigned char> value, const std::string& what);
// Signs the signed attributes of `info`, a signer-info of `cms`, then checks
// that signature with the certificate; raises naming the signer when it fails.
// With a time-stamping service set, the signature then gets its time-stamp.
void Seal(CMS_ContentInfo* cms, CMS_SignerInfo* info, EVP_PKEY* key, const std::string& what);

// The document itself, kept as it passes for the signers that sign it whole
// (EdDSA without signed attributes), up to a size that memory can take.
class WholeDocument {
  public:
    static constexpr std::uint64_t kLimit = std::uint64_t{48} << 20;
    static const std::string kLimitText;

    // `atMost`: what the document cannot outgrow (the size of the file it is
    // in), so that a small one reserves no more than it needs.
    void Keep(std::optional<std::uint64_t> atMost) {
        keeping_ = true;
        reserve_ = std::min(atMost.value_or(kLimit), kLimit);
    }
    bool Keeping() const { return keeping_; }
    // Past the limit the bytes so far are dropped and no more are kept.
    void Add(std::span<const std::uint8_t> bytes);
    // For a document known to be past the limit before it is read.
    void SetTooLarge() { tooLarge_ = true; }
    bool TooLarge() const { return tooLarge_; }
    std::span<const std::uint8_t> Bytes() const { return bytes_; }

  private:
    bool keeping_ = false;
    bool tooLarge_ = false;
    std::uint64_t reserve_ = 0;
    std::vector<std::uint8_t> bytes_;
};

// Whether a signer-info signs the whole document rather than a digest.
bool SignsWholeDocument(CMS_SignerInfo* info);

// Checks every signature over the content whose digests `digests` (a chain of
// digest BIOs) holds, and `whole` for a signer that signs it whole, in the
// order of the signer-infos.
void CheckSignatures(CMS_ContentInfo* cms, BIO* digests, const WholeDocument& whole);
// Checks each signer's certificate chain, now, against the trusted roots.
void CheckCertificates(CMS_ContentInfo* cms);

}  // namespace signed_data
}  // namespace quilvane
