// Verifying a signed-message file, the signer report, and giving the
// document back.

#include <cerrno>
#include <ctime>
#include <variant>

#include "signing/Handler.h"
#include "signing/Operations.h"

namespace quilvane {

std::string ListSigners(const std::vector<Signer>& signers) {
    std::string text = "\r\nDocument is signed by following persons:\r\n";
    for (const Signer& signer : signers) {
        std::string name = signer.Certificate().GetInfo(CertInfo::SubjectSimpleName);
        const Attribute& first = signer.AuthenticatedAttributes().Item(1);
        text += "Name: " + name + " ==> Signed On: " + ValueText(first.Value()) + "\r\n";
    }
    return text;
}

std::string ValueText(const AttributeValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    std::time_t seconds = std::get<DateTime>(value).seconds;
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::to_string(seconds);
    }
    char buffer[128];
    std::size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &local);
    return std::string(buffer, n);
}

std::string DropLastFourCharacters(const std::string& path) {
    std::size_t end = path.size();
    for (int dropped = 0; dropped < 4; ++dropped) {
        if (end == 0) {
            throw Error(EINVAL, "Cannot name the document to write from \"" + path +
                                    "\": the name is shorter than four characters.");
        }
        --end;
        // Step back over the continuation bytes of a UTF-8 character.
        std::size_t start = end;
        while (start > 0 && (static_cast<unsigned char>(path[start]) & 0xC0) == 0x80) {
            --start;
        }
        unsigned char lead = static_cast<unsigned char>(path[start]);
        std::size_t length = lead < 0x80    ? 1
                             : lead >= 0xF0 ? 4
                             : lead >= 0xE0 ? 3
                             : lead >= 0xC0 ? 2
                                            : 0;
        if (length == end - start + 1) {
            end = start;
        }
    }
    return path.substr(0, end);
}

std::string OpenFailureText(std::int32_t code) {
    switch (code) {
        case 2:
            return "File not found";
        case 3:
            return "Path not found";
        case 5:
            return "Access denied";
        case 8:
            return "Out of memory";
        case 32:
            return "DLL not found";
        case 26:
            return "A sharing violation occurred";
        case 27:
            return "Incomplete or invalid file association";
        case 28:
            return "DDE Time out";
        case 29:
            return "DDE transaction failed";
        case 30:
            return "DDE busy";
        case 31:
            return "No association for file extension";
        case 11:
            return "Invalid EXE file or error in EXE image";
        default:
            return "Unknown error";
    }
}

void SaveAndShowFile(UserInterface& ui, BinaryString Signature, std::string FileToVerify) {
    std::string document = DropLastFourCharacters(FileToVerify);
    // Written straight from the message that holds the document: a large
    // document is not copied once more on its way to the disk.
    SaveBinFile(Signature.view(), document);
    Signature = BinaryString();
    if (!ui.ask("The file is decoded and stored at the following location:\r\n" + document +
                "\r\nDo you want to view this file now?")) {
        return;
    }
    std::int32_t result = ui.OpenDocument(document);
    if (result <= 32) {
        ui.message(OpenFailureText(result), Icon::None);
    }
}

Outcome VerifySig(UserInterface& ui, std::string FileToVerify) {
    Handler handler;
    handler.servicePrefix = "CAPICOM error found: ";
    handler.programPrefix = "VB Error found: ";
    return RunGuarded(ui, handler, [&] {
        if (FileToVerify.empty()) {
            return Outcome::Cancelled;
        }
        BinaryString content;
        {
            SignedData signedData;
            signedData.Verify(Utilities::ByteArrayToBinaryString(LoadBinFile(FileToVerify)), false,
                              VerifyFlag::SignatureOnly);
            std::string report = ListSigners(signedData.Signers());
            ui.message("Verification complete. Document is untampered.\r\n" + report,
                       Icon::Information);
            content = signedData.Content();
        }
        SaveAndShowFile(ui, std::move(content), FileToVerify);
        return Outcome::Completed;
    });
}

}  // namespace quilvane
