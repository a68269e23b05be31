// Co-signing or time-stamping a verified message: its signer-infos replaced
// in a copy of it, the document read once more and held to the digest that
// was verified.

#include "crypto/SignedData.h"

#include <openssl/objects.h>

#include <algorithm>
#include <optional>

#include "crypto/Text.h"
#include "internal/Asn1Cursor.h"
#include "internal/CertificateImpl.h"
#include "internal/DigestThread.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignedDataStreams.h"
#include "internal/TimeStamps.h"

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

// `done`: "co-signed" or "time-stamped".
[[noreturn]] void ChangedWhile(const std::string& done, const std::string& how) {
    Fail(status::Failed,
         Format(Tr("The signed file changed while it was being %1: %2."), Tr(done.c_str()), how));
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
        NotSigned(Tr("it holds no signature"));
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
void ReadAgain(ContentSource& message, const MessageParts& verified, const std::string& done,
               const std::function<void(Octets)>& content) {
    MessageParts again;
    try {
        again = streaming::ReadMessage(message, ChunkFor(message), {}, content);
    } catch (const Error& error) {
        if (error.number() != status::BadMessage) {
            throw;
        }
        ChangedWhile(done, Tr("it is no longer the message that was verified"));
    }
    if (!SameParts(again, verified)) {
        ChangedWhile(done, Tr("it is no longer the message that was verified"));
    }
}

// Sends the verified document, read once more from `message`, to `out`, and
// each byte to `also` when given (on the digesting thread); a binary
// message's document, which is one run of the file, the kernel copies when
// nothing else needs its bytes, and the file is then read once more for the
// check. Whichever way it goes, it must be the document verified, to the
// digest `checkMd` took of it.
void DocumentAgain(ContentSource& message, ContentSink& out, const MessageParts& parts,
                   BIO* digests, const EVP_MD* checkMd, const std::string& done,
                   const std::function<void(Octets)>& also, const std::string& what) {
    std::optional<Buffer> expected =
        checkMd != nullptr ? DigestIn(digests, checkMd, what) : std::nullopt;
    if (!expected) {
        NotSigned(Tr("it names no digest algorithm"));
    }
    auto* file = dynamic_cast<FileBackedSource*>(&message);
    auto* rewindable = dynamic_cast<RewindableSource*>(&message);
    auto* target = dynamic_cast<FileCopySink*>(&out);
    const bool copied =
        !also && parts.contentOffset && file != nullptr && rewindable != nullptr &&
        target != nullptr && message.Size() == parts.messageSize &&
        target->CopyFrom(file->Descriptor(), *parts.contentOffset, parts.contentSize);
    if (copied) {
        rewindable->Rewind();
    }
    Digest check(checkMd, what);
    DigestThread digesting(
        [&](Octets bytes) {
            check.Update(bytes);
            if (also) {
                also(bytes);
            }
        },
        ChunkFor(message), message.Size());
    ReadAgain(message, parts, done, [&](Octets bytes) {
        digesting.Add(bytes);
        if (!copied) {
            out.Write(bytes);
        }
    });
    digesting.Finish();
    if (check.Final() != *expected) {
        ChangedWhile(done, Tr("its document no longer matches the signature that was verified"));
    }
}

// A signer-info's encoding apart: all it signs and is signed with (up to its
// unsigned attributes), and each unsigned attribute's encoding.
struct SignerInfoParts {
    Octets signedPart;
    std::vector<Octets> unsignedAttributes;
};
std::optional<SignerInfoParts> PartsOf(Octets info) {
    constexpr std::uint8_t kUnsignedAttributes = 0xA1;
    der::Cursor outer(info);
    std::optional<der::Element> sequence = outer.Next(der::kSequence);
    if (!sequence) {
        return std::nullopt;
    }
    der::Cursor fields(sequence->contents);
    SignerInfoParts parts{sequence->contents, {}};
    while (std::optional<der::Element> field = fields.Next()) {
        if (field->header.Is(kUnsignedAttributes)) {
            parts.signedPart = sequence->contents.first(
                static_cast<std::size_t>(field->encoding.data() - sequence->contents.data()));
            der::Cursor attributes(field->contents);
            while (std::optional<der::Element> attribute = attributes.Next()) {
                parts.unsignedAttributes.push_back(attribute->encoding);
            }
        }
    }
    return parts;
}

bool Same(Octets a, Octets b) {
    return std::ranges::equal(a, b);
}

// The time-stamped message `stamped` checked before anything of it is
// written: every signer-info `read` is in it as it was, signed part and
// earlier unsigned attributes byte for byte, and, decoded as others will read
// it, every signature holds over the document's `digests`. (Where a signer
// signed the whole document, which is not at hand, the first part alone.)
void CheckStamped(const MessageParts& stamped, const std::vector<Octets>& read, BIO* digests,
                  const std::string& what) {
    const std::vector<Octets> written = ossl::SignerInfosIn(stamped.rest);
    const auto kept = [&](Octets before) {
        const std::optional<SignerInfoParts> old = PartsOf(before);
        return old && std::ranges::any_of(written, [&](Octets candidate) {
                   const std::optional<SignerInfoParts> now = PartsOf(candidate);
                   return now && Same(now->signedPart, old->signedPart) &&
                          std::ranges::all_of(old->unsignedAttributes, [&](Octets attribute) {
                              return std::ranges::any_of(now->unsignedAttributes, [&](Octets each) {
                                  return Same(each, attribute);
                              });
                          });
               });
    };
    if (written.size() != read.size() || !std::ranges::all_of(read, kept)) {
        Fail(status::Failed, Format(Tr("%1: a signature would not have stayed as it was."), what));
    }
    ossl::CmsPtr copy = Rebuild(stamped);
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(copy.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        if (SignsWholeDocument(sk_CMS_SignerInfo_value(infos, i))) {
            return;
        }
    }
    CheckSignatures(copy.get(), digests, WholeDocument());
}

}  // namespace

void SignedData::CoSign(ContentSource& message, ContentSink& out, const Signer& signer) {
    ossl::ErrorMark mark;
    if (!impl_->parts) {
        Fail(status::Failed, Tr("There is no verified signed message to add a signature to."));
    }
    const auto [signingTime, x509, key, md, what, issuers] = Signing(signer);
    impl_->keyHolders.push_back(signer.Certificate().impl().keys);
    const MessageParts& parts = *impl_->parts;

    if (parts.detached) {
        Fail(status::Failed,
             Format(Tr("%1: the signature is detached, and its document was not given."), what));
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
            Fail(status::Failed,
                 Format(Tr("%1: the signed message names no digest this key signs."), what));
        }
    }
    out.Write(written);

    // The digest the document is held to once more: the new signer's when the
    // verifying pass took it, else the first the message names. Only then
    // does every signature, the new one too, hold over what is written.
    Digest digest(md, what);
    DocumentAgain(
        message, out, parts, impl_->digests.get(), value ? md : FirstDigest(impl_->digests.get()),
        QUILVANE_N_("co-signed"),
        value ? std::function<void(Octets)>() : [&](Octets bytes) { digest.Update(bytes); }, what);
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
        Fail(status::Failed, Tr("There is no verified detached signature to add a signature to."));
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
        NotSigned(Tr("it names no digest algorithm"));
    }
    Digest check(checkMd, what);
    Digest digest(md, what);
    Pump(document, [&](Octets bytes) {
        check.Update(bytes);
        digest.Update(bytes);
    });
    if (check.Final() != *expected) {
        Fail(status::Failed, Tr("The document changed while it was being co-signed: it no longer "
                                "matches the signature that was verified."));
    }
    CMS_SignerInfo* info =
        AddSignerInfo(cms.get(), x509, issuers.get(), key, md, signingTime, digest.Final(), what);
    Seal(cms.get(), info, key, what);
    Buffer der = EncodeDetached(cms.get(), what);
    MessageParts written = streaming::Split(der, what);
    ossl::RequireKeptAsRead(cms.get(), read, ossl::SignerInfosIn(written.rest));

    ReadAgain(message, parts, QUILVANE_N_("co-signed"), {});
    out.Write(der);

    // The co-signed message, as written, is the one this object now holds.
    written.detached = true;
    written.messageSize = der.size();
    impl_->cms = std::move(cms);
    impl_->parts = std::move(written);
}

std::size_t SignedData::AddTimeStamps(ContentSource& message, ContentSink& out) {
    ossl::ErrorMark mark;
    if (!impl_->parts) {
        Fail(status::Failed, Tr("There is no verified signed message to time-stamp."));
    }
    const MessageParts& parts = *impl_->parts;
    const std::string what = Tr("Could not time-stamp the signatures");
    // Written back, the mail would lose the document beside its signature.
    if (impl_->wrapping == MessageWrapping::MultipartSigned) {
        Fail(status::Failed, Format(Tr("%1: they are part of a multipart/signed mail."), what));
    }
    auto [cms, read] = CopyToCoSign(parts, what);
    std::size_t added = 0;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
        if (!HasSignatureTimeStamp(info)) {
            AddSignatureTimeStamp(info);
            ++added;
        }
    }
    if (added == 0) {
        return 0;
    }

    // Only the signer-infos change: the document stays as it was, and only
    // the lengths around it grow.
    MessageParts written;
    if (parts.detached) {
        const Buffer der = EncodeDetached(cms.get(), what);
        written = streaming::Split(der, what);
        CheckStamped(written, read, impl_->digests.get(), what);
        ReadAgain(message, parts, QUILVANE_N_("time-stamped"), {});
        out.Write(der);
        written.detached = true;
        written.messageSize = der.size();
    } else {
        Layout layout = LayOut(cms.get(), parts.contentSize, what);
        CheckStamped(layout.parts, read, impl_->digests.get(), what);
        out.Write(layout.before);
        DocumentAgain(message, out, parts, impl_->digests.get(), FirstDigest(impl_->digests.get()),
                      QUILVANE_N_("time-stamped"), {}, what);
        out.Write(layout.parts.rest);
        written = std::move(layout.parts);
        written.contentOffset = layout.before.size();
        written.messageSize = layout.before.size() + parts.contentSize + written.rest.size();
    }

    // The time-stamped message, as written, is the one this object now holds.
    impl_->cms = std::move(cms);
    impl_->parts = std::move(written);
    return added;
}

}  // namespace quilvane
