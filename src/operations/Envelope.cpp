// Encrypting a file for one recipient and decrypting it again.

#include "operations/Envelope.h"

#include "crypto/EnvelopedData.h"
#include "crypto/Text.h"
#include "operations/Files.h"
#include "operations/Signing.h"

namespace quilvane {

Outcome Envelope(UserInterface& ui, std::string inputPath, std::string outputPath) {
    return RunGuarded(ui, ReportPolicy{.reporter = Reporter::Envelope, .icon = Icon::None}, [&] {
        Bytes document = LoadBinFile(inputPath);
        EnvelopedData envelope;
        envelope.Content(Utilities::ByteArrayToBinaryString(std::move(document)));
        envelope.Recipients().Add(SelectCertificate(ui));
        // AES with a 256-bit key: RC4 has been broken for years, and every
        // CMS reader opens AES envelopes.
        envelope.Algorithm().Name(AlgorithmName::AES);
        envelope.Algorithm().KeyLength(KeyLength::Bits256);
        BinaryString message = envelope.Encrypt(Encoding::Binary);
        if (message.empty()) {
            ui.message(Tr("Data encryption failed"), Icon::Critical);
            return Outcome::Failed;
        }
        Bytes out = Utilities::BinaryStringToByteArray(std::move(message));
        const std::string kept = SaveBinFile(out.view(), outputPath, Backup::Keep);
        ui.message(Tr("Signature successfully applied."), Icon::Information, {kept, {}});
        return Outcome::Completed;
    });
}

Outcome ReceiveMessage(UserInterface& ui, std::string inputPath) {
    return RunGuarded(ui, ReportPolicy{.reporter = Reporter::ReceiveMessage}, [&] {
        BinaryString message = Utilities::ByteArrayToBinaryString(LoadBinFile(inputPath));
        if (message.empty()) {
            ui.message(
                CrLf(Tr("Signature Decryption Succeeded.\nNo message was available in the file.")),
                Icon::Critical);
            return Outcome::Failed;
        }
        EnvelopedData envelope;
        envelope.Decrypt(PromptThrough(ui), message);
        std::string output = DropLastFourCharacters(inputPath);
        const std::string kept = SaveBinFile(envelope.Content().view(), output, Backup::Keep);
        ui.message(
            Format(CrLf(Tr("Signature Decryption Succeeded.\nDecrypted file is stored at the "
                           "following location:\n%1")),
                   ShownPath(output)),
            Icon::Information, {kept, {}});
        return Outcome::Completed;
    });
}

}  // namespace quilvane
