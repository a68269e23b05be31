// Signing a document, and picking the certificate to sign with.

#include "signing/Handler.h"
#include "signing/Operations.h"

namespace quilvane {

Certificate SelectCertificate(UserInterface& ui) {
    Store store;
    store.Open(ui, StoreLocation::CurrentUser, "My", StoreOpenMode::ReadOnly);
    Certificates chosen =
        store.Certificates().Select(ui, "Certificates", "ZARAN Certificates", false);
    return chosen.Item(1);
}

Outcome SignFile(UserInterface& ui, std::string InputFileName, std::string OutputFileName) {
    Handler handler;
    handler.silentCancel = true;
    handler.timeStampText = true;
    return RunGuarded(ui, handler, [&] {
        // The document is read before anything is asked, so a bad path is
        // reported at once.
        ByteBuffer document = LoadBinFile(InputFileName);
        SignedData signedData;
        signedData.Content(Utilities::ByteArrayToBinaryString(std::move(document)));

        Signer signer;
        signer.Certificate(SelectCertificate(ui));
        signer.AuthenticatedAttributes().Add(SigningTimeNow());

        ByteBuffer message =
            Utilities::BinaryStringToByteArray(signedData.Sign(signer, false, Encoding::Binary));
        SaveBinFile(message.view(), OutputFileName);
        ui.message("Signature applied successfully.\r\nFile saved to location:" + OutputFileName,
                   Icon::Information);
        return Outcome::Completed;
    });
}

}  // namespace quilvane
