// Signing a document as it passes, in one pass when the message's layout is
// known ahead.

#include "crypto/SignedData.h"

#include "crypto/Text.h"
#include "internal/CertificateImpl.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignedDataStreams.h"

namespace quilvane {
namespace {

using namespace signed_data;

[[noreturn]] void DocumentChanged(const std::string& what) {
    Fail(status::Failed, Format(Tr("%1: the file changed while it was read."), what));
}

}  // namespace

void SignedData::Sign(ContentSource& document, ContentSink& out, const Signer& signer) {
    ossl::ErrorMark mark;
    impl_ = std::make_unique<Impl>();
    const auto [signingTime, x509, key, md, what, issuers] = Signing(signer);
    impl_->keyHolders.push_back(signer.Certificate().impl().keys);

    ossl::CmsPtr cms(
        ossl::Check(CMS_ContentInfo_new(), status::Failed, Tr("Could not make a signed message")));
    ossl::Check(CMS_SignedData_init(cms.get()), status::Failed,
                Tr("Could not make a signed message"));
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
    const auto write = [&](Octets bytes) { out.Write(bytes); };
    std::uint64_t read = Pump(
        document, [&](Octets bytes) { digest.Update(bytes); },
        onePass ? std::function<void(Octets)>(write) : nullptr);
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
            Fail(status::Failed,
                 Format(Tr("%1: the document cannot be read a second time."), what));
        }
        rewindable->Rewind();
        out.Write(layout.before);
        Digest again(md, what);
        std::uint64_t copied = Pump(
            document, [&](Octets bytes) { again.Update(bytes); }, write);
        if (copied != read || again.Final() != value) {
            DocumentChanged(what);
        }
    }
    out.Write(layout.parts.rest);
    impl_->cms = std::move(cms);
}

}  // namespace quilvane
