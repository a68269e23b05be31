// Adding one more signature to a signed-message file.

#include "operations/Files.h"
#include "operations/Signing.h"

namespace quilvane {

Outcome CoSignContent(UserInterface& ui, std::string inputPath, std::string outputPath,
                      const CertificateChooser& choose) {
    Handler handler;
    handler.silentCancel = true;
    return RunGuarded(ui, handler, [&] {
        SignedData signedData;
        signedData.Verify(Utilities::ByteArrayToBinaryString(LoadBinFile(inputPath)), false,
                          VerifyFlag::SignatureAndCertificate);
        ShowVerified(ui, signedData);

        Signer signer;
        signer.Certificate(choose(ui));
        signer.AuthenticatedAttributes().Add(SigningTimeNow());

        ByteBuffer message =
            Utilities::BinaryStringToByteArray(signedData.CoSign(signer, Encoding::Binary));
        // Written through a temporary file renamed over the target, so the
        // original stays whole if anything fails up to here. No backup: the
        // file only gains a signer.
        SaveBinFile(message.view(), outputPath);
        ui.message("Co-Signature applied successfully.\r\nFile saved to location:" + outputPath,
                   Icon::Information);
        return Outcome::Completed;
    });
}

}  // namespace quilvane
