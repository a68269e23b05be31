// Signing, verifying and co-signing a document that passes in chunks, so that
// memory stays the same whatever its size. Every structure is made and
// checked by OpenSSL; only the document's octets, and the headers around
// them, travel outside it. These are the steps all three share.

#include "internal/SignedDataStreams.h"

#include <openssl/objects.h>

#include <algorithm>

#include "crypto/Network.h"
#include "crypto/Text.h"
#include "internal/CertificateImpl.h"
#include "internal/DigestThread.h"
#include "internal/Names.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignerChecks.h"

namespace quilvane::signed_data {
namespace {

// The room kept in a layout made ahead for a time-stamp token, which carries
// its authority's certificates: more than any service's token takes.
constexpr int kTokenRoom = 64 << 10;

}  // namespace

Buffer EncodeDetached(CMS_ContentInfo* cms, const std::string& what) {
    Bytes der = ossl::EncodeDer(cms, what);
    return Buffer(der.data(), der.data() + der.size());
}

Layout LayOut(CMS_ContentInfo* cms, std::uint64_t contentSize, const std::string& what) {
    MessageParts parts = streaming::Split(EncodeDetached(cms, what), what);
    parts.contentSize = contentSize;
    Buffer before = streaming::Assemble(parts, contentSize);
    return {std::move(before), std::move(parts)};
}

std::size_t ChunkFor(const ContentSource& source) {
    constexpr std::size_t kLeast = 4096;
    const std::optional<std::uint64_t> size = source.Size();
    return size && *size < kChunk ? std::max<std::size_t>(*size, kLeast) : kChunk;
}

std::uint64_t Pump(ContentSource& source, const std::function<void(Octets)>& digest,
                   const std::function<void(Octets)>& write) {
    DigestThread digests(digest, ChunkFor(source), source.Size());
    std::uint64_t total = 0;
    while (std::size_t n = source.Read(digests.Free())) {
        const Octets bytes = digests.Submit(n);
        if (write) {
            write(bytes);
        }
        total += n;
    }
    digests.Finish();
    return total;
}

Digest::Digest(const EVP_MD* md, const std::string& what) : what_(what) {
    context_.reset(ossl::Check(EVP_MD_CTX_new(), status::Failed, what));
    ossl::Check(EVP_DigestInit_ex(context_.get(), md, nullptr), status::Failed, what);
}

void Digest::Update(Octets bytes) {
    ossl::Check(EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()), status::Failed,
                what_);
}

Buffer Digest::Final() {
    Buffer value(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    ossl::Check(EVP_DigestFinal_ex(context_.get(), value.data(), &length), status::Failed, what_);
    value.resize(length);
    return value;
}

EVP_MD_CTX* ContextIn(BIO* chain, const EVP_MD* md) {
    for (BIO* link = chain; (link = BIO_find_type(link, BIO_TYPE_MD)) != nullptr;
         link = BIO_next(link)) {
        EVP_MD_CTX* context = nullptr;
        BIO_get_md_ctx(link, &context);
        if (context != nullptr &&
            EVP_MD_get_type(EVP_MD_CTX_get0_md(context)) == EVP_MD_get_type(md)) {
            return context;
        }
    }
    return nullptr;
}

void SetMessageDigest(CMS_SignerInfo* info, Octets digest, const std::string& what) {
    int at = CMS_signed_get_attr_by_NID(info, NID_pkcs9_messageDigest, -1);
    X509_ATTRIBUTE* attribute = ossl::Check(CMS_signed_get_attr(info, at), status::Failed, what);
    auto* value = static_cast<ASN1_OCTET_STRING*>(
        X509_ATTRIBUTE_get0_data(attribute, 0, V_ASN1_OCTET_STRING, nullptr));
    ossl::Check(value, status::Failed, what);
    ossl::Check(ASN1_OCTET_STRING_set(value, digest.data(), static_cast<int>(digest.size())),
                status::Failed, what);
}

ossl::CmsPtr Rebuild(const MessageParts& parts) {
    Buffer der = streaming::Assemble(parts, std::nullopt);
    der.insert(der.end(), parts.rest.begin(), parts.rest.end());
    const unsigned char* next = der.data();
    ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &next, static_cast<long>(der.size())));
    if (!cms) {
        ossl::Raise(status::BadMessage, Tr(kNotSigned));
    }
    if (next != der.data() + der.size() ||
        OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        NotSigned(Tr("its structure is damaged"));
    }
    return cms;
}

Buffer LayOutAhead(CMS_ContentInfo* cms, CMS_SignerInfo* info, EVP_PKEY* key, std::uint64_t size,
                   ContentSink& out, const std::string& what) {
    // A time-stamp still to come is of no size known ahead: up to kTokenRoom.
    const bool stamped = !CurrentNetworkSettings().timestampUrl.empty();
    const bool exact = !stamped && (EVP_PKEY_is_a(key, "RSA") || EVP_PKEY_is_a(key, "RSA-PSS") ||
                                    EVP_PKEY_is_a(key, "ED25519"));
    if (!exact && dynamic_cast<PatchableSink*>(&out) == nullptr) {
        return {};
    }
    int largest = EVP_PKEY_get_size(key);
    Buffer filler(static_cast<std::size_t>(std::max({largest, 8, stamped ? kTokenRoom : 0})), 0);
    ossl::Check(
        ASN1_STRING_set(CMS_SignerInfo_get0_signature(info), filler.data(), exact ? largest : 8),
        status::Failed, what);
    std::size_t narrowest = LayOut(cms, size, what).before.size();
    ossl::Check(ASN1_STRING_set(CMS_SignerInfo_get0_signature(info), filler.data(), largest),
                status::Failed, what);
    if (stamped) {
        ossl::Check(CMS_unsigned_add1_attr_by_NID(info, NID_id_smime_aa_timeStampToken,
                                                  V_ASN1_OCTET_STRING, filler.data(), kTokenRoom),
                    status::Failed, what);
    }
    Buffer widest = LayOut(cms, size, what).before;
    if (stamped) {
        const int at = CMS_unsigned_get_attr_by_NID(info, NID_id_smime_aa_timeStampToken, -1);
        X509_ATTRIBUTE_free(ossl::Check(CMS_unsigned_delete_attr(info, at), status::Failed, what));
    }
    return widest.size() == narrowest ? widest : Buffer();
}

void Patch(ContentSink& out, const Buffer& written, const Buffer& before, const std::string& what) {
    if (before == written) {
        return;
    }
    auto* patchable = dynamic_cast<PatchableSink*>(&out);
    if (before.size() != written.size() || patchable == nullptr) {
        Fail(status::Failed,
             Format(Tr("%1: the signature came out larger than its key allows."), what));
    }
    patchable->WriteAt(0, before);
}

Signing::Signing(const Signer& signer)
    : signingTime(SigningTime(signer)),
      x509(signer.Certificate().impl().x509.get()),
      key(PrivateKey(signer.Certificate())),
      md(DigestFor(key, ossl::NameOf(x509))),
      what(Format(Tr("Could not sign with the certificate of %1"), ossl::NameOf(x509))),
      issuers(IssuersOf(signer.Certificate())) {}

}  // namespace quilvane::signed_data
