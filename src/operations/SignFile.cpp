// Signing a document.

#include <ctime>

#include "crypto/Text.h"
#include "operations/Files.h"
#include "operations/Signing.h"
#include "operations/Streaming.h"

namespace quilvane {

Attribute SigningTimeNow() {
    return {AttributeName::SigningTime, DateTime{std::time(nullptr)}};
}

Outcome SignFile(UserInterface& ui, std::string inputPath, std::string outputPath,
                 const CertificateChooser& choose) {
    const ReportPolicy policy{
        .reporter = Reporter::SignFile, .silentCancel = true, .timeStampText = true};
    return RunGuarded(ui, policy, [&] {
        // The document is opened before anything is asked, so a bad path is
        // reported at once; the passphrase or PIN is asked before the long
        // work starts.
        FileSource document(inputPath);
        const Certificate certificate = choose(ui);
        certificate.UnlockKey();
        Signer signer;
        signer.Certificate(certificate);
        signer.AuthenticatedAttributes().Add(SigningTimeNow());

        std::string kept;
        {
            StreamedWork work(ui, Format(Tr("Signing \"%1\""), ShownPath(inputPath)));
            FileSink out(outputPath, Backup::Keep);
            document.OnProgress(work.Callback());
            SignedData().Sign(document, out, signer);
            kept = CommitUnlessStopped(out);
        }
        ui.message(Format(CrLf(Tr("Signature applied successfully.\nFile saved to location:%1")),
                          ShownPath(outputPath)),
                   Icon::Information, {kept, {}});
        return Outcome::Completed;
    });
}

}  // namespace quilvane
