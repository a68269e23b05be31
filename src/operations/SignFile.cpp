// Signing a document.

#include <ctime>

#include "operations/Files.h"
#include "operations/Signing.h"
#include "operations/Streaming.h"

namespace quilvane {

Attribute SigningTimeNow() {
    return {AttributeName::SigningTime, DateTime{std::time(nullptr)}};
}

Outcome SignFile(UserInterface& ui, std::string inputPath, std::string outputPath,
                 const CertificateChooser& choose) {
    Handler handler;
    handler.silentCancel = true;
    handler.timeStampText = true;
    return RunGuarded(ui, handler, [&] {
        // The document is opened before anything is asked, so a bad path is
        // reported at once; the passphrase or PIN is asked before the long
        // work starts.
        FileSource document(inputPath);
        const Certificate certificate = choose(ui);
        certificate.UnlockKey();
        Signer signer;
        signer.Certificate(certificate);
        signer.AuthenticatedAttributes().Add(SigningTimeNow());

        FileSink out(outputPath, Backup::Keep);
        {
            StreamedWork work(ui, "Signing \"" + inputPath + "\"");
            document.OnProgress(work.Callback());
            SignedData().Sign(document, out, signer);
        }
        const std::string kept = out.Commit();
        ui.message("Signature applied successfully.\r\nFile saved to location:" + outputPath,
                   Icon::Information, {KeptNote(kept), {}});
        return Outcome::Completed;
    });
}

}  // namespace quilvane
