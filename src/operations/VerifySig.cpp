// Verifying a signed-message file, the signer report, and giving the
// document back.

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>
#include <variant>

#include "VerifyFile.h"
#include "crypto/SafeText.h"
#include "crypto/Text.h"
#include "operations/Certificates.h"
#include "operations/Files.h"
#include "operations/LocalTime.h"
#include "operations/Signing.h"
#include "operations/Streaming.h"

namespace quilvane {
namespace {

// A sink that comes to be at the first bytes written to it.
class OnFirstWrite final : public ContentSink {
  public:
    explicit OnFirstWrite(std::function<ContentSink&()> open) : open_(std::move(open)) {}
    void Write(std::span<const std::uint8_t> bytes) override {
        if (sink_ == nullptr) {
            sink_ = &open_();
        }
        sink_->Write(bytes);
    }

  private:
    std::function<ContentSink&()> open_;
    ContentSink* sink_ = nullptr;
};

// Judging the signers may ask their revocation services: a wait the person
// sees and may stop.
std::vector<CertificateTrust> TrustOf(UserInterface& ui, const SignedData& signedData) {
    NetworkWait wait(ui);
    return signedData.Trust();
}

}  // namespace

namespace fs = std::filesystem;

std::string ListSigners(const std::vector<Signer>& signers) {
    std::string text =
        "\r\n" + std::string(Tr("Document is signed by following persons:")) + "\r\n";
    for (const Signer& signer : signers) {
        std::string name = signer.Certificate().GetInfo(CertInfo::SubjectSimpleName);
        const Attributes& attributes = signer.AuthenticatedAttributes();
        const std::string on = attributes.Count() == 0
                                   ? std::string(Tr("(no signing time)"))
                                   : SafeText(ValueText(attributes.Item(1).Value()));
        text += Format(Tr("Name: %1 ==> Signed On: %2"), SafeText(name), on) + "\r\n";
    }
    return text;
}

void ShowVerified(UserInterface& ui, const SignedData& signedData, const std::string& signedPath) {
    ShowVerified(ui, signedData, signedPath, TrustOf(ui, signedData));
}

void ShowVerified(UserInterface& ui, const SignedData& signedData, const std::string& signedPath,
                  const std::vector<CertificateTrust>& trust) {
    // The trust lines come after the report, whose text stays as it always was.
    std::string report = ListSigners(signedData.Signers());
    MessageNotes notes{.informative = TrustLines(trust, signedPath),
                       .details = ChainDetails(trust)};
    if (std::ranges::any_of(trust,
                            [](const auto& one) { return one.verdict != Verdict::Trusted; })) {
        notes.action = MessageNotes::Action{
            Tr("Trust…"), [&ui, signedPath] { TrustCertificate(ui, signedPath); }};
    }
    ui.message(Tr("Verification complete. Document is untampered.") + std::string("\r\n") + report,
               Icon::Information, notes);
}

std::string ValueText(const AttributeValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    return LocalDateTime(std::get<DateTime>(value).seconds);
}

std::string OpenFailureText(std::int32_t code) {
    switch (code) {
        case 2:
            return Tr("File not found");
        case 3:
            return Tr("Path not found");
        case 5:
            return Tr("Access denied");
        case 8:
            return Tr("Out of memory");
        case 32:
            return Tr("DLL not found");
        case 26:
            return Tr("A sharing violation occurred");
        case 27:
            return Tr("Incomplete or invalid file association");
        case 28:
            return Tr("DDE Time out");
        case 29:
            return Tr("DDE transaction failed");
        case 30:
            return Tr("DDE busy");
        case 31:
            return Tr("No association for file extension");
        case 11:
            return Tr("Invalid EXE file or error in EXE image");
        default:
            return Tr("Unknown error");
    }
}

void SaveAndShowFile(UserInterface& ui, const std::string& kept, const std::string& documentPath,
                     bool offerToOpen) {
    if (!offerToOpen ||
        !ui.ask(Format(CrLf(Tr("The file is decoded and stored at the following location:\n%1\nDo "
                               "you want to view this file now?")),
                       ShownPath(documentPath)),
                {kept, {}})) {
        return;
    }
    std::int32_t result = ui.openDocument(documentPath);
    if (result <= 32) {
        ui.message(OpenFailureText(result), Icon::None);
    }
}

std::string DetachedDocumentPath(const std::string& signaturePath) {
    const std::string path = DropLastFourCharacters(signaturePath);
    if (path.empty() || !fs::exists(fs::symlink_status(path))) {
        throw Error(ENOENT,
                    Format(Tr("The signature in \"%1\" is kept apart from its document, which "
                              "was looked for as \"%2\" and is not there."),
                           ShownPath(signaturePath), ShownPath(path)));
    }
    return path;
}

namespace {

// A detached signature is checked against the document beside it, which
// stays as it is: nothing is written.
Outcome VerifyDetachedFile(UserInterface& ui, FileSource& message, const std::string& signedPath,
                           bool offerToOpen, std::vector<SignerReport>* signers) {
    const std::string documentPath = DetachedDocumentPath(signedPath);
    FileSource document(documentPath);
    SignedData signedData;
    {
        StreamedWork work(ui, Format(Tr("Verifying \"%1\""), ShownPath(signedPath)));
        document.OnProgress(work.Callback());
        signedData.VerifyDetached(message, document, VerifyFlag::SignatureOnly);
    }
    // Judged once: the report and the verdicts in the message share it.
    const std::vector<CertificateTrust> trust = TrustOf(ui, signedData);
    if (signers != nullptr) {
        *signers = SignerReportsOf(signedData, trust);
    }
    ShowVerified(ui, signedData, signedPath, trust);
    SaveAndShowFile(ui, {}, documentPath, offerToOpen);
    return Outcome::Completed;
}

}  // namespace

Outcome VerifyAndWrite(UserInterface& ui, const std::string& signedPath, bool offerToOpen,
                       std::vector<SignerReport>* signers) {
    if (signedPath.empty()) {
        return Outcome::Cancelled;
    }
    FileSource message(signedPath);
    const bool detached = SignedData::IsDetached(message);
    message.Rewind();
    if (detached) {
        return VerifyDetachedFile(ui, message, signedPath, offerToOpen, signers);
    }
    // The document streams into its file as it is checked, and takes its
    // place only after the report. A name that gives no document name, or
    // a place that takes no file, is told after the report too. A stop
    // asked for up to the commit leaves nothing written. The file is
    // opened at the document's first bytes, when the message has told how
    // it came: a mail's document is a MIME entity, named so that the mail
    // client opens it.
    SignedData signedData;
    std::string documentPath, kept;
    std::optional<StopSignals> stops(std::in_place);
    std::optional<FileSink> document;
    std::optional<Error> unwritable;
    CountingSink nowhere;
    auto open = [&]() -> ContentSink& {
        if (!document && !unwritable) {
            try {
                documentPath = DropLastFourCharacters(signedPath);
                if (documentPath.empty()) {
                    throw Error(EINVAL, Format(Tr("Cannot name the document to write from \"%1\": "
                                                  "nothing is left of the name once its last four "
                                                  "characters are dropped."),
                                               ShownPath(signedPath)));
                }
                // A mail saved as NAME.eml would name its own file: it
                // keeps the name every other signed file's document gets.
                if (signedData.Wrapping() == MessageWrapping::Mime &&
                    documentPath + ".eml" != signedPath) {
                    documentPath += ".eml";
                }
                document.emplace(documentPath, Backup::Keep);
            } catch (const Error& error) {
                unwritable = error;
            }
        }
        return document ? static_cast<ContentSink&>(*document) : nowhere;
    };
    OnFirstWrite content(open);
    {
        StreamedWork work(ui, Format(Tr("Verifying \"%1\""), ShownPath(signedPath)));
        message.OnProgress(work.Callback());
        signedData.Verify(message, &content, VerifyFlag::SignatureOnly);
    }
    // Judged once: the report and the verdicts in the message share it.
    const std::vector<CertificateTrust> trust = TrustOf(ui, signedData);
    if (signers != nullptr) {
        *signers = SignerReportsOf(signedData, trust);
    }
    // A multipart/signed mail's document is the mail itself: nothing to extract.
    if (signedData.Wrapping() == MessageWrapping::MultipartSigned) {
        ShowVerified(ui, signedData, signedPath, trust);
        return Outcome::Completed;
    }
    open();
    ShowVerified(ui, signedData, signedPath, trust);
    if (unwritable) {
        throw *unwritable;
    }
    kept = CommitUnlessStopped(*document);
    document.reset();
    stops.reset();
    SaveAndShowFile(ui, kept, documentPath, offerToOpen);
    return Outcome::Completed;
}

Outcome VerifySig(UserInterface& ui, std::string signedPath, bool offerToOpen) {
    return RunGuarded(ui, ReportPolicy{.reporter = Reporter::VerifySig},
                      [&] { return VerifyAndWrite(ui, signedPath, offerToOpen, nullptr); });
}

}  // namespace quilvane
