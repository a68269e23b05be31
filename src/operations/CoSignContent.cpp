// Adding one more signature to a signed-message file.

#include <optional>

#include "crypto/Text.h"
#include "operations/Files.h"
#include "operations/Signing.h"
#include "operations/Streaming.h"

namespace quilvane {

Outcome CoSignContent(UserInterface& ui, std::string inputPath, std::string outputPath,
                      const CertificateChooser& choose) {
    const ReportPolicy policy{
        .reporter = Reporter::CoSignContent, .silentCancel = true, .timeStampText = true};
    return RunGuarded(ui, policy, [&] {
        FileSource message(inputPath);
        // Held until the new file is in place, so that two co-signs of one
        // file cannot both read it and one lose the other's signature.
        message.LockForChange(Tr("co-sign"));
        // A detached signature stays detached; its document is read from beside it.
        std::optional<FileSource> document;
        if (SignedData::IsDetached(message)) {
            document.emplace(DetachedDocumentPath(inputPath));
        }
        message.Rewind();
        SignedData signedData;
        {
            StreamedWork work(ui, Format(Tr("Verifying \"%1\""), ShownPath(inputPath)));
            message.OnProgress(work.Callback());
            if (document) {
                document->OnProgress(work.Callback());
                signedData.VerifyDetached(message, *document, VerifyFlag::SignatureAndCertificate);
            } else {
                signedData.Verify(message, nullptr, VerifyFlag::SignatureAndCertificate);
            }
        }
        ShowVerified(ui, signedData, inputPath);

        const Certificate certificate = choose(ui);
        certificate.UnlockKey();
        Signer signer;
        signer.Certificate(certificate);
        signer.AuthenticatedAttributes().Add(SigningTimeNow());

        // The original stays whole if anything fails up to the commit. No
        // backup: the file only gains a signer. The signed file the person
        // named is the one link that is followed.
        {
            StreamedWork work(ui, Format(Tr("Co-signing \"%1\""), ShownPath(inputPath)));
            FileSink out(outputPath, Backup::None, Links::Follow);
            if (outputPath == inputPath) {
                out.RequireUnchanged(message.Identity());
            }
            message.Rewind();
            message.OnProgress(work.Callback());
            out.OnProgress(work.Callback());
            if (document) {
                document->Rewind();
                document->OnProgress(work.Callback());
                signedData.CoSignDetached(message, *document, out, signer);
            } else {
                signedData.CoSign(message, out, signer);
            }
            CommitUnlessStopped(out);
        }
        ui.message(Format(CrLf(Tr("Co-Signature applied successfully.\nFile saved to location:%1")),
                          ShownPath(outputPath)),
                   Icon::Information);
        return Outcome::Completed;
    });
}

}  // namespace quilvane
