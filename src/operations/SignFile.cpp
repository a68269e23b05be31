// Signing a document.

#include <ctime>

#include "operations/Files.h"
#include "operations/Signing.h"

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
        // The document is read before anything is asked, so a bad path is
        // reported at once.
        ByteBuffer document = LoadBinFile(inputPath);
        SignedData signedData;
        signedData.Content(Utilities::ByteArrayToBinaryString(std::move(document)));

        Signer signer;
        signer.Certificate(choose(ui));
        signer.AuthenticatedAttributes().Add(SigningTimeNow());

        ByteBuffer message =
            Utilities::BinaryStringToByteArray(signedData.Sign(signer, false, Encoding::Binary));
        const std::string kept = SaveBinFile(message.view(), outputPath, Backup::Keep);
        ui.message("Signature applied successfully.\r\nFile saved to location:" + outputPath,
                   Icon::Information, {KeptNote(kept), {}});
        return Outcome::Completed;
    });
}

}  // namespace quilvane
