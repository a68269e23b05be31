// Signing, verifying and co-signing a document that passes in chunks, so that
// memory stays the same whatever its size. Every structure is made and
// checked by OpenSSL; only the document's octets, and the headers around
// them, travel outside it.

#include <openssl/objects.h>

#include <algorithm>
#include <functional>

#include "crypto/SignedData.h"
#include "internal/Armour.h"
#include "internal/Asn1Cursor.h"
#include "internal/CertificateImpl.h"
#include "internal/MessageReader.h"
#include "internal/Names.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignerChecks.h"

namespace quilvane {
namespace {

using namespace signed_data;
using ossl::Octets;
using streaming::Buffer;
using streaming::MessageParts;

// Asked of a source at a time: larger parts are no faster.
constexpr std::size_t kChunk = std::size_t{1} << 20;

// The DER of a message without its document, by OpenSSL's encoder.
Buffer EncodeDetached(CMS_ContentInfo* cms, const std::string& what) {
    Bytes der = ossl::EncodeDer(cms, what);
    return Buffer(der.data(), der.data() + der.size());
}

// The message `cms` laid out around a document of `contentSize` octets: what
// comes before the document and what after.
struct Layout {
    Buffer before;
    MessageParts parts;  // `rest` is what comes after
};

Layout LayOut(CMS_ContentInfo* cms, std::uint64_t contentSize, const std::string& what) {
    MessageParts parts = streaming::Split(EncodeDetached(cms, what), what);
    parts.contentSize = contentSize;
    Buffer before = streaming::Assemble(parts, contentSize);
    return {std::move(before), std::move(parts)};
}

// Reads `source` to its end; returns how many bytes it gave.
std::uint64_t Pump(ContentSource& source, const std::function<void(Octets)>& to) {
    Buffer buffer(kChunk);
    std::uint64_t total = 0;
    while (std::size_t n = source.Read(buffer)) {
        to({buffer.data(), n});
        total += n;
    }
    return total;
}

class Digest {
  public:
    Digest(const EVP_MD* md, const std::string& what) : what_(what) {
        context_.reset(ossl::Check(EVP_MD_CTX_new(), status::Failed, what));
        ossl::Check(EVP_DigestInit_ex(context_.get(), md, nullptr), status::Failed, what);
    }
    void Update(Octets bytes) {
        ossl::Check(EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()), status::Failed,
                    what_);
    }
    Buffer Final() {
        Buffer value(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        ossl::Check(EVP_DigestFinal_ex(context_.get(), value.data(), &length), status::Failed,
                    what_);
        value.resize(length);
        return value;
    }

  private:
    ossl::MdCtxPtr context_;
    std::string what_;
};

// The context of the chain of digest BIOs that digests with `md`, if any.
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

// The digest with `md` of what the chain of digest BIOs took, if it has one.
std::optional<Buffer> DigestIn(BIO* chain, const EVP_MD* md, const std::string& what) {
    if (EVP_MD_CTX* context = ContextIn(chain, md)) {
        ossl::MdCtxPtr copy(ossl::Check(EVP_MD_CTX_new(), status::Failed, what));
        ossl::Check(EVP_MD_CTX_copy_ex(copy.get(), context), status::Failed, what);
        Buffer value(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        ossl::Check(EVP_DigestFinal_ex(copy.get(), value.data(), &length), status::Failed, what);
        value.resize(length);
        return value;
    }
    return std::nullopt;
}

// Sends document bytes through the chain of digest BIOs.
void DigestThrough(BIO* chain, Octets bytes) {
    if (BIO_write(chain, bytes.data(), static_cast<int>(bytes.size())) !=
        static_cast<int>(bytes.size())) {
        ossl::Raise(status::Failed, "Could not digest the document");
    }
}

[[noreturn]] void DocumentChanged(const std::string& what) {
    Fail(status::Failed, what + ": the file changed while it was read.");
}

[[noreturn]] void ChangedWhileCoSigning(const std::string& how) {
    Fail(status::Failed, "The signed file changed while it was being co-signed: " + how + ".");
}

// Puts the digest of the document read in place of the one the signer-info
// was laid out with (of the same size).
void SetMessageDigest(CMS_SignerInfo* info, Octets digest, const std::string& what) {
    int at = CMS_signed_get_attr_by_NID(info, NID_pkcs9_messageDigest, -1);
    X509_ATTRIBUTE* attribute = ossl::Check(CMS_signed_get_attr(info, at), status::Failed, what);
    auto* value = static_cast<ASN1_OCTET_STRING*>(
        X509_ATTRIBUTE_get0_data(attribute, 0, V_ASN1_OCTET_STRING, nullptr));
    ossl::Check(value, status::Failed, what);
    ossl::Check(ASN1_OCTET_STRING_set(value, digest.data(), static_cast<int>(digest.size())),
                status::Failed, what);
}

// The message of `parts`, without its document.
ossl::CmsPtr Rebuild(const MessageParts& parts) {
    Buffer der = streaming::Assemble(parts, std::nullopt);
    der.insert(der.end(), parts.rest.begin(), parts.rest.end());
    const unsigned char* next = der.data();
    ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &next, static_cast<long>(der.size())));
    if (!cms) {
        ossl::Raise(status::BadMessage, kNotSigned);
    }
    if (next != der.data() + der.size() ||
        OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        NotSigned("its structure is damaged");
    }
    return cms;
}

// A chain of digest BIOs, one per algorithm the message lists, into a sink
// that drops the bytes: OpenSSL's own checks find their digests in it.
ossl::BioPtr DigestChain(const Buffer& digestAlgorithms) {
    ossl::BioPtr chain(ossl::Check(BIO_new(BIO_s_null()), status::Failed, kNotSigned));
    der::Cursor set(digestAlgorithms);
    std::optional<der::Element> all = set.Next(der::kSet);
    der::Cursor elements(all ? all->contents : Octets());
    while (std::optional<der::Element> element = elements.Next()) {
        const unsigned char* next = element->encoding.data();
        ossl::AlgorPtr algorithm(
            d2i_X509_ALGOR(nullptr, &next, static_cast<long>(element->encoding.size())));
        if (!algorithm) {
            ossl::Raise(status::BadMessage, kNotSigned);
        }
        const ASN1_OBJECT* object = nullptr;
        X509_ALGOR_get0(&object, nullptr, nullptr, algorithm.get());
        const EVP_MD* md = EVP_get_digestbyobj(object);
        if (md == nullptr) {
            NotSigned("it uses the digest algorithm " + AlgorithmName(object) +
                      ", which is not known here");
        }
        // Only the default provider's digests: the legacy one, loaded for old
        // envelopes, must not make MD4 acceptable here.
        ossl::MdPtr current(EVP_MD_fetch(nullptr, EVP_MD_get0_name(md), "provider=default"));
        ossl::BioPtr link(ossl::Check(BIO_new(BIO_f_md()), status::Failed, kNotSigned));
        if (!current || BIO_set_md(link.get(), current.get()) <= 0) {
            std::string reason = ossl::TakeErrors();
            throw Error(status::BadMessage,
                        kNotSigned + ": it uses the digest algorithm " + AlgorithmName(object) +
                            ", which is not supported here.",
                        reason);
        }
        BIO_push(link.get(), chain.release());
        chain = std::move(link);
    }
    return chain;
}

bool SameParts(const MessageParts& a, const MessageParts& b) {
    return a.contentType == b.contentType && a.version == b.version &&
           a.digestAlgorithms == b.digestAlgorithms && a.eContentType == b.eContentType &&
           a.rest == b.rest && a.contentSize == b.contentSize && a.detached == b.detached;
}

// A copy of the verified message to add a signer-info to, and its earlier
// signer-infos as read, once each is known to come out of OpenSSL's encoder
// as it was read.
std::pair<ossl::CmsPtr, std::vector<Octets>> CopyToCoSign(const MessageParts& parts,
                                                          const std::string& what) {
    ossl::CmsPtr cms = Rebuild(parts);
    {
        ossl::ErrorMark missing;  // a signer whose certificate is not carried
        CMS_set1_signers_certs(cms.get(), nullptr, 0);
    }
    std::vector<Octets> read = ossl::SignerInfosIn(parts.rest);
    if (read.empty()) {
        NotSigned("it holds no signature");
    }
    ossl::RequireKeptAsRead(
        cms.get(), read,
        ossl::SignerInfosIn(streaming::Split(EncodeDetached(cms.get(), what), what).rest));
    return {std::move(cms), std::move(read)};
}

// What comes before a document of `size` octets in `cms`, whose signer-info
// `info` is still to be sealed, when that is known now: the signature's size
// is all the layout does not know, exact for RSA and EdDSA and at most the
// key's size for the others. Empty when its size still depends on the
// signature (near a length-encoding boundary), or when its bytes might and
// `out` cannot take them again.
Buffer LayOutAhead(CMS_ContentInfo* cms, CMS_SignerInfo* info, EVP_PKEY* key, std::uint64_t size,
                   ContentSink& out, const std::string& what) {
    const bool exact =
        EVP_PKEY_is_a(key, "RSA") || EVP_PKEY_is_a(key, "RSA-PSS") || EVP_PKEY_is_a(key, "ED25519");
    if (!exact && dynamic_cast<PatchableSink*>(&out) == nullptr) {
        return {};
    }
    int largest = EVP_PKEY_get_size(key);
    Buffer filler(static_cast<std::size_t>(std::max(largest, 8)), 0);
    ossl::Check(
        ASN1_STRING_set(CMS_SignerInfo_get0_signature(info), filler.data(), exact ? largest : 8),
        status::Failed, what);
    std::size_t narrowest = LayOut(cms, size, what).before.size();
    ossl::Check(ASN1_STRING_set(CMS_SignerInfo_get0_signature(info), filler.data(), largest),
                status::Failed, what);
    Buffer widest = LayOut(cms, size, what).before;
    return widest.size() == narrowest ? widest : Buffer();
}

// Puts the final bytes before the document in place of `written`, which went
// first into `out` on a layout made ahead.
void Patch(ContentSink& out, const Buffer& written, const Buffer& before, const std::string& what) {
    if (before == written) {
        return;
    }
    auto* patchable = dynamic_cast<PatchableSink*>(&out);
    if (before.size() != written.size() || patchable == nullptr) {
        Fail(status::Failed, what + ": the signature came out larger than its key allows.");
    }
    patchable->WriteAt(0, before);
}

// The first digest algorithm of a chain of digest BIOs.
const EVP_MD* FirstDigest(BIO* chain) {
    BIO* link = BIO_find_type(chain, BIO_TYPE_MD);
    const EVP_MD* md = nullptr;
    if (link != nullptr) {
        BIO_get_md(link, &md);
    }
    return md;
}

// What a signer brings to a new signer-info.
struct Signing {
    explicit Signing(const Signer& signer)
        : signingTime(SigningTime(signer)),
          x509(signer.Certificate().impl().x509.get()),
          key(PrivateKey(signer.Certificate())),
          md(DigestFor(key, ossl::NameOf(x509))),
          what("Could not sign with the certificate of " + ossl::NameOf(x509)),
          issuers(IssuersOf(signer.Certificate())) {}
    std::time_t signingTime;  // first: a wrong one is told before a passphrase is asked
    X509* x509;
    EVP_PKEY* key;
    const EVP_MD* md;
    std::string what;
    ossl::X509StackPtr issuers;  // after the key: a locked file's issuers show once it is open
};

}  // namespace

void SignedData::Sign(ContentSource& document, ContentSink& out, const Signer& signer) {
    ossl::ErrorMark mark;
    impl_ = std::make_unique<Impl>();
    const auto [signingTime, x509, key, md, what, issuers] = Signing(signer);
    impl_->keyHolders.push_back(signer.Certificate().impl().keys);

    ossl::CmsPtr cms(
        ossl::Check(CMS_ContentInfo_new(), status::Failed, "Could not make a signed message"));
    ossl::Check(CMS_SignedData_init(cms.get()), status::Failed, "Could not make a signed message");
    const Buffer placeholder(static_cast<std::size_t>(EVP_MD_get_size(md)), 0);
    CMS_SignerInfo* info =
        AddSignerInfo(cms.get(), x509, issuers.get(), key, md, signingTime, placeholder, what);

    // One pass when the layout is known ahead: the document is digested and
    // written together and the lengths are put right afterwards.
    std::optional<std::uint64_t> size = document.Size();
    Buffer written;
    if (size) {
        written = LayOutAhead(cms.get(), info, key, *size, out, what);
        out.Write(written);
    }
    const bool onePass = !written.empty();

    Digest digest(md, what);
    std::uint64_t read = Pump(document, [&](Octets bytes) {
        digest.Update(bytes);
        if (onePass) {
            out.Write(bytes);
        }
    });
    if (size && read != *size) {
        DocumentChanged(what);
    }
    Buffer value = digest.Final();
    SetMessageDigest(info, value, what);
    Seal(cms.get(), info, key, what);
    Layout layout = LayOut(cms.get(), read, what);

    if (onePass) {
        Patch(out, written, layout.before, what);
    } else {
        auto* rewindable = dynamic_cast<RewindableSource*>(&document);
        if (rewindable == nullptr) {
            Fail(status::Failed, what + ": the document cannot be read a second time.");
        }
        rewindable->Rewind();
        out.Write(layout.before);
        Digest again(md, what);
        std::uint64_t copied = Pump(document, [&](Octets bytes) {
            again.Update(bytes);
            out.Write(bytes);
        });
        if (copied != read || again.Final() != value) {
            DocumentChanged(what);
        }
    }
    out.Write(layout.parts.rest);
    impl_->cms = std::move(cms);
}

void SignedData::Verify(ContentSource& message, ContentSink* content, VerifyFlag flag) {
    ossl::ErrorMark mark;
    impl_ = std::make_unique<Impl>();
    streaming::ArmourDecoder decoded(message, kChunk);
    if (decoded.Wrapping() == MessageWrapping::MultipartSigned) {
        streaming::SignedParts signedParts = decoded.TakeSignedParts();
        streaming::SpanSource signature(signedParts.signature), document(signedParts.document);
        VerifyDetached(signature, document, flag);
        impl_->wrapping = MessageWrapping::MultipartSigned;
        return;
    }
    impl_->wrapping = decoded.Wrapping();
    ossl::BioPtr chain;
    WholeDocument whole;
    MessageParts parts = streaming::ReadMessage(
        decoded, kChunk,
        [&](const MessageParts& prefix) {
            if (prefix.detached) {
                NotSigned("the document is not inside it");
            }
            chain = DigestChain(prefix.digestAlgorithms);
            // The signer-infos come after the document: it is kept whenever
            // the message names a digest that EdDSA signers use.
            if (ContextIn(chain.get(), EVP_sha512()) != nullptr ||
                ContextIn(chain.get(), EVP_shake256()) != nullptr) {
                whole.Keep();
            }
        },
        [&](Octets bytes) {
            DigestThrough(chain.get(), bytes);
            whole.Add(bytes);
            if (content != nullptr) {
                content->Write(bytes);
            }
        });
    ossl::CmsPtr cms = Rebuild(parts);
    CheckSignatures(cms.get(), chain.get(), whole);
    if (flag != VerifyFlag::SignatureOnly) {
        CheckCertificates(cms.get());
    }
    impl_->cms = std::move(cms);
    impl_->parts = std::move(parts);
    impl_->digests = std::move(chain);
}

bool SignedData::IsDetached(ContentSource& message) {
    ossl::ErrorMark mark;
    // An attached message is read only as far as where its document begins.
    struct Attached {};
    streaming::ArmourDecoder decoded(message, kChunk);
    // A multipart/signed mail carries its document beside the signature,
    // both inside the one file: Verify takes it apart.
    if (decoded.Wrapping() == MessageWrapping::MultipartSigned) {
        return false;
    }
    try {
        MessageParts parts = streaming::ReadMessage(decoded, kChunk,
                                                    [](const MessageParts& prefix) {
                                                        if (!prefix.detached) {
                                                            throw Attached{};
                                                        }
                                                    },
                                                    {});
        // Without a signer it is no signature at all (a bundle of certificates).
        ossl::CmsPtr cms = Rebuild(parts);
        if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) <= 0) {
            NotSigned("it holds no signature");
        }
        return true;
    } catch (const Attached&) {
        return false;
    }
}

void SignedData::VerifyDetached(ContentSource& message, ContentSource& document, VerifyFlag flag) {
    ossl::ErrorMark mark;
    impl_ = std::make_unique<Impl>();
    ossl::BioPtr chain;
    MessageParts parts = streaming::ReadMessage(
        message, kChunk,
        [&](const MessageParts& prefix) {
            if (!prefix.detached) {
                Fail(status::BadMessage,
                     "The signed message holds its document itself: it is not a detached "
                     "signature.");
            }
            chain = DigestChain(prefix.digestAlgorithms);
        },
        {});
    ossl::CmsPtr cms = Rebuild(parts);
    WholeDocument whole;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        if (SignsWholeDocument(sk_CMS_SignerInfo_value(infos, i))) {
            whole.Keep();
        }
    }
    // A document known to be too large for such a signer is not read at all.
    if (whole.Keeping() && document.Size().value_or(0) > WholeDocument::kLimit) {
        whole.SetTooLarge();
    } else {
        Pump(document, [&](Octets bytes) {
            DigestThrough(chain.get(), bytes);
            whole.Add(bytes);
        });
    }
    CheckSignatures(cms.get(), chain.get(), whole);
    if (flag != VerifyFlag::SignatureOnly) {
        CheckCertificates(cms.get());
    }
    impl_->cms = std::move(cms);
    impl_->parts = std::move(parts);
    impl_->digests = std::move(chain);
}

MessageWrapping SignedData::Wrapping() const {
    return impl_->wrapping;
}

void SignedData::CoSign(ContentSource& message, ContentSink& out, const Signer& signer) {
    ossl::ErrorMark mark;
    if (!impl_->parts) {
        Fail(status::Failed, "There is no verified signed message to add a signature to.");
    }
    const auto [signingTime, x509, key, md, what, issuers] = Signing(signer);
    impl_->keyHolders.push_back(signer.Certificate().impl().keys);
    const MessageParts& parts = *impl_->parts;

    if (parts.detached) {
        Fail(status::Failed, what + ": the signature is detached, and its document was not given.");
    }
    // Every earlier signer-info must come out of OpenSSL's encoder as it was
    // read, before the new one is added and before anything is written. The
    // message is co-signed as a copy, so that a failure leaves it as verified.
    auto [cms, read] = CopyToCoSign(parts, what);

    // The document's digest with the new signer's algorithm comes from the
    // verifying pass when the message names it; otherwise it is taken on the
    // way and the layout is made ahead, as for signing.
    std::optional<Buffer> value = DigestIn(impl_->digests.get(), md, what);
    const Buffer placeholder(static_cast<std::size_t>(EVP_MD_get_size(md)), 0);
    CMS_SignerInfo* info = AddSignerInfo(cms.get(), x509, issuers.get(), key, md, signingTime,
                                         value ? *value : placeholder, what);
    Buffer written;
    Layout layout;
    if (value) {
        Seal(cms.get(), info, key, what);
        layout = LayOut(cms.get(), parts.contentSize, what);
        ossl::RequireKeptAsRead(cms.get(), read, ossl::SignerInfosIn(layout.parts.rest));
        written = layout.before;
    } else {
        written = LayOutAhead(cms.get(), info, key, parts.contentSize, out, what);
        if (written.empty()) {
            Fail(status::Failed, what + ": the signed message names no digest this key signs.");
        }
    }
    out.Write(written);

    // The digest the document is held to once more: the new signer's when the
    // verifying pass took it, else the first the message names.
    const EVP_MD* checkMd = value ? md : FirstDigest(impl_->digests.get());
    std::optional<Buffer> expected =
        checkMd != nullptr ? DigestIn(impl_->digests.get(), checkMd, what) : std::nullopt;
    if (!expected) {
        NotSigned("it names no digest algorithm");
    }

    // A binary message holds its document as one run of the file: the kernel
    // copies it, and the file is read once more for the check below.
    auto* file = dynamic_cast<FileBackedSource*>(&message);
    auto* rewindable = dynamic_cast<RewindableSource*>(&message);
    auto* target = dynamic_cast<FileCopySink*>(&out);
    const bool copied =
        value && parts.contentOffset && file != nullptr && rewindable != nullptr &&
        target != nullptr && message.Size() == parts.messageSize &&
        target->CopyFrom(file->Descriptor(), *parts.contentOffset, parts.contentSize);
    if (copied) {
        rewindable->Rewind();
    }
    // Whichever way the document goes to `out`, it passes here and must be the
    // one verified: only then does every signature, the new one too, hold
    // over what is written.
    Digest check(checkMd, what);
    Digest digest(md, what);
    MessageParts again;
    try {
        again = streaming::ReadMessage(message, kChunk, {}, [&](Octets bytes) {
            check.Update(bytes);
            if (!value) {
                digest.Update(bytes);
            }
            if (!copied) {
                out.Write(bytes);
            }
        });
    } catch (const Error& error) {
        if (error.number() != status::BadMessage) {
            throw;
        }
        ChangedWhileCoSigning("it is no longer the message that was verified");
    }
    if (!SameParts(again, parts)) {
        ChangedWhileCoSigning("it is no longer the message that was verified");
    }
    if (check.Final() != *expected) {
        ChangedWhileCoSigning("its document no longer matches the signature that was verified");
    }
    if (!value) {
        SetMessageDigest(info, digest.Final(), what);
        Seal(cms.get(), info, key, what);
        layout = LayOut(cms.get(), parts.contentSize, what);
        ossl::RequireKeptAsRead(cms.get(), read, ossl::SignerInfosIn(layout.parts.rest));
        Patch(out, written, layout.before, what);
    }
    out.Write(layout.parts.rest);

    // The co-signed message, as written, is the one this object now holds.
    layout.parts.contentOffset = layout.before.size();
    layout.parts.messageSize = layout.before.size() + parts.contentSize + layout.parts.rest.size();
    impl_->cms = std::move(cms);
    impl_->parts = std::move(layout.parts);
}

void SignedData::CoSignDetached(ContentSource& message, ContentSource& document, ContentSink& out,
                                const Signer& signer) {
    ossl::ErrorMark mark;
    if (!impl_->parts || !impl_->parts->detached) {
        Fail(status::Failed, "There is no verified detached signature to add a signature to.");
    }
    const auto [signingTime, x509, key, md, what, issuers] = Signing(signer);
    impl_->keyHolders.push_back(signer.Certificate().impl().keys);
    const MessageParts& parts = *impl_->parts;
    auto [cms, read] = CopyToCoSign(parts, what);

    // The document is read once more: it must be the one verified, and it
    // gives the new signer's digest.
    const EVP_MD* checkMd = FirstDigest(impl_->digests.get());
    std::optional<Buffer> expected =
        checkMd != nullptr ? DigestIn(impl_->digests.get(), checkMd, what) : std::nullopt;
    if (!expected) {
        NotSigned("it names no digest algorithm");
    }
    Digest check(checkMd, what);
    Digest digest(md, what);
    Pump(document, [&](Octets bytes) {
        check.Update(bytes);
        digest.Update(bytes);
    });
    if (check.Final() != *expected) {
        Fail(status::Failed,
             "The document changed while it was being co-signed: it no longer "
             "matches the signature that was verified.");
    }
    CMS_SignerInfo* info =
        AddSignerInfo(cms.get(), x509, issuers.get(), key, md, signingTime, digest.Final(), what);
    Seal(cms.get(), info, key, what);
    Buffer der = EncodeDetached(cms.get(), what);
    MessageParts written = streaming::Split(der, what);
    ossl::RequireKeptAsRead(cms.get(), read, ossl::SignerInfosIn(written.rest));

    MessageParts again;
    try {
        again = streaming::ReadMessage(message, kChunk, {}, {});
    } catch (const Error& error) {
        if (error.number() != status::BadMessage) {
            throw;
        }
        ChangedWhileCoSigning("it is no longer the message that was verified");
    }
    if (!SameParts(again, parts)) {
        ChangedWhileCoSigning("it is no longer the message that was verified");
    }
    out.Write(der);

    // The co-signed message, as written, is the one this object now holds.
    written.detached = true;
    written.messageSize = der.size();
    impl_->cms = std::move(cms);
    impl_->parts = std::move(written);
}

}  // namespace quilvane
