// Co-signing a verified message: a new signer-info added to a copy of it, the
// document read once more and held to the digest that was verified.

#include "crypto/SignedData.h"

#include <openssl/objects.h>

#include <optional>

#include "internal/CertificateImpl.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignedDataStreams.h"

namespace quilvane {
namespace {

using namespace signed_data;

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

[[noreturn]] void ChangedWhileCoSigning(const std::string& how) {
    Fail(status::Failed, "The signed file changed while it was being co-signed: " + how + ".");
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

// The first digest algorithm of a chain of digest BIOs.
const EVP_MD* FirstDigest(BIO* chain) {
    BIO* link = BIO_find_type(chain, BIO_TYPE_MD);
    const EVP_MD* md = nullptr;
    if (link != nullptr) {
        BIO_get_md(link, &md);
    }
    return md;
}

// Reads the message once more, its document passing to `content`; raises
// unless it is still, part for part, the message that was verified.
void ReadAgain(ContentSource& message, const MessageParts& verified,
               const std::function<void(Octets)>& content) {
    MessageParts again;
    try {
        again = streaming::ReadMessage(message, ChunkFor(message), {}, content);
    } catch (const Error& error) {
        if (error.number() != status::BadMessage) {
            throw;
        }
        ChangedWhileCoSigning("it is no longer the message that was verified");
    }
    if (!SameParts(again, verified)) {
        ChangedWhileCoSigning("it is no longer the message that was verified");
    }
}

}  // namespace

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
    ReadAgain(message, parts, [&](Octets bytes) {
        check.Update(bytes);
        if (!value) {
            digest.Update(bytes);
        }
        if (!copied) {
            out.Write(bytes);
        }
    });
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

    ReadAgain(message, parts, {});
    out.Write(der);

    // The co-signed message, as written, is the one this object now holds.
    written.detached = true;
    written.messageSize = der.size();
    impl_->cms = std::move(cms);
    impl_->parts = std::move(written);
}

}  // namespace quilvane
