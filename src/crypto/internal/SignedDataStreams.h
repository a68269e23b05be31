#pragma once
// The steps that streamed signing, verifying and co-signing share: a
// message laid out around its document, the document's digests, and the
// message rebuilt from the parts read.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>

#include "crypto/ContentStream.h"
#include "crypto/SignedData.h"
#include "internal/Handles.h"
#include "internal/MessageReader.h"
#include "internal/SignerChecks.h"

namespace quilvane::signed_data {

using ossl::Octets;
using streaming::Buffer;
using streaming::MessageParts;

// Asked of a source at a time: larger parts are no faster.
inline constexpr std::size_t kChunk = std::size_t{1} << 20;

// kChunk, or less for a source known to be smaller: a small message then
// costs no megabyte of buffers, which verifying many of them would clear.
std::size_t ChunkFor(const ContentSource& source);

// The DER of a message without its document, by OpenSSL's encoder.
Buffer EncodeDetached(CMS_ContentInfo* cms, const std::string& what);

// The message `cms` laid out around a document of `contentSize` octets: what
// comes before the document and what after.
struct Layout {
    Buffer before;
    MessageParts parts;  // `rest` is what comes after
};
Layout LayOut(CMS_ContentInfo* cms, std::uint64_t contentSize, const std::string& what);

// Reads `source` to its end, each chunk to `digest` (on a second thread for a
// large source) and, meanwhile, to `write` when given; returns how many bytes
// it gave.
std::uint64_t Pump(ContentSource& source, const std::function<void(Octets)>& digest,
                   const std::function<void(Octets)>& write = {});

class Digest {
  public:
    Digest(const EVP_MD* md, const std::string& what);
    void Update(Octets bytes);
    Buffer Final();

  private:
    ossl::MdCtxPtr context_;
    std::string what_;
};

// The context of the chain of digest BIOs that digests with `md`, if any.
EVP_MD_CTX* ContextIn(BIO* chain, const EVP_MD* md);

// Puts the digest of the document read in place of the one the signer-info
// was laid out with (of the same size).
void SetMessageDigest(CMS_SignerInfo* info, Octets digest, const std::string& what);

// The message of `parts`, without its document.
ossl::CmsPtr Rebuild(const MessageParts& parts);

// What comes before a document of `size` octets in `cms`, whose signer-info
// `info` is still to be sealed, when that is known now: the signature's size
// (and, with a time-stamping service set, its token's) is all the layout does
// not know, exact for RSA and EdDSA and at most the key's size for the
// others. Empty when its size still depends on them (near a length-encoding
// boundary), or when its bytes might and `out` cannot take them again.
Buffer LayOutAhead(CMS_ContentInfo* cms, CMS_SignerInfo* info, EVP_PKEY* key, std::uint64_t size,
                   ContentSink& out, const std::string& what);
// Puts the final bytes before the document in place of `written`, which went
// first into `out` on a layout made ahead.
void Patch(ContentSink& out, const Buffer& written, const Buffer& before, const std::string& what);

// What a signer brings to a new signer-info.
struct Signing {
    explicit Signing(const Signer& signer);
    std::time_t signingTime;  // first: a wrong one is told before a passphrase is asked
    X509* x509;
    EVP_PKEY* key;
    const EVP_MD* md;
    std::string what;
    ossl::X509StackPtr issuers;  // after the key: a locked file's issuers show once it is open
};

}  // namespace quilvane::signed_data
