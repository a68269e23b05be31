// Adding one more signature to a signed-message file.

#include "operations/Files.h"
#include "operations/Signing.h"
#include "operations/Streaming.h"

namespace quilvane {

Outcome CoSignContent(UserInterface& ui, std::string inputPath, std::string outputPath,
                      const CertificateChooser& choose) {
    Handler handler;
    handler.silentCancel = true;
    return RunGuarded(ui, handler, [&] {
        FileSource message(inputPath);
        SignedData signedData;
        {
            StreamedWork work(ui, "Verifying \"" + inputPath + "\"");
            message.OnProgress(work.Callback());
            signedData.Verify(message, nullptr, VerifyFlag::SignatureAndCertificate);
        }
        ShowVerified(ui, signedData);

        const Certificate certificate = choose(ui);
        certificate.UnlockKey();
        Signer signer;
        signer.Certificate(certificate);
        signer.AuthenticatedAttributes().Add(SigningTimeNow());

        // Written through a temporary file renamed over the target, so the
        // original stays whole if anything fails up to here. No backup: the
        // file only gains a signer.
        FileSink out(outputPath);
        {
            StreamedWork work(ui, "Co-signing \"" + inputPath + "\"");
            message.Rewind();
            message.OnProgress(work.Callback());
            out.OnProgress(work.Callback());
            signedData.CoSign(message, out, signer);
        }
        out.Commit();
        ui.message("Co-Signature applied successfully.\r\nFile saved to location:" + outputPath,
                   Icon::Information);
        return Outcome::Completed;
    });
}

}  // namespace quilvane
