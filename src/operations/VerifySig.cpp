// Verifying a signed-message file, the signer report, and giving the
// document back.

#include <cerrno>
#include <ctime>
#include <functional>
#include <variant>

#include "crypto/SafeText.h"
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

}  // namespace

std::string ListSigners(const std::vector<Signer>& signers) {
    std::string text = "\r\nDocument is signed by following persons:\r\n";
    for (const Signer& signer : signers) {
        std::string name = signer.Certificate().GetInfo(CertInfo::SubjectSimpleName);
        const Attribute& first = signer.AuthenticatedAttributes().Item(1);
        text += "Name: " + SafeText(name) +
                " ==> Signed On: " + SafeText(ValueText(first.Value())) + "\r\n";
    }
    return text;
}

std::string TrustLine(const CertificateTrust& trust) {
    std::string verdict;
    switch (trust.verdict) {
        case Verdict::Trusted:
            verdict = "trusted";
            break;
        case Verdict::BrokenDigest:
            verdict = "signed with the broken digest " + trust.detail;
            break;
        case Verdict::Expired:
            verdict = "expired on " + LocalDate(trust.when);
            break;
        case Verdict::NotYetValid:
            verdict = "not valid until " + LocalDate(trust.when);
            break;
        case Verdict::NotForSigning:
            verdict = "not meant for signing (" + SafeText(trust.detail) + ")";
            break;
        case Verdict::SigningTimeOutside:
            verdict = "signing time outside the certificate's validity";
            break;
        case Verdict::SelfSigned:
            verdict = "self-signed";
            break;
        case Verdict::UntrustedRoot:
            verdict = "not issued by a trusted root";
            break;
        case Verdict::ChainRefused:
            verdict = SafeText(trust.detail, 512);
            break;
    }
    if (trust.verdict != Verdict::Trusted) {
        verdict = "not trusted (" + verdict + ")";
    }
    return "Certificate of " + SafeText(trust.subject) + ": issued by " + SafeText(trust.issuer) +
           ", valid until " + LocalDate(trust.validTo) + ", SHA-256 " + trust.sha256 + ": " +
           verdict;
}

std::string TrustLines(const std::vector<CertificateTrust>& trust, const std::string&) {
    std::string lines;
    for (const CertificateTrust& one : trust) {
        lines += (lines.empty() ? "" : "\r\n") + TrustLine(one);
    }
    return lines;
}

std::string ChainDetails(const std::vector<CertificateTrust>&) {
    return {};
}

void ShowVerified(UserInterface& ui, const SignedData& signedData, const std::string& signedPath) {
    // The trust lines come after the report, whose text stays as it always was.
    std::string report = ListSigners(signedData.Signers());
    ui.message(
        "Verification complete. Document is untampered.\r\n" + report, Icon::Information,
        MessageNotes{.informative = {}, .details = TrustLines(signedData.Trust(), signedPath)});
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

void SaveAndShowFile(UserInterface& ui, const std::string& kept, const std::string& documentPath,
                     bool offerToOpen) {
    if (!offerToOpen ||
        !ui.ask("The file is decoded and stored at the following location:\r\n" +
                    ShownPath(documentPath) + "\r\nDo you want to view this file now?",
                {kept, {}})) {
        return;
    }
    std::int32_t result = ui.openDocument(documentPath);
    if (result <= 32) {
        ui.message(OpenFailureText(result), Icon::None);
    }
}

Outcome VerifySig(UserInterface& ui, std::string signedPath, bool offerToOpen) {
    return RunGuarded(ui, ReportPolicy{.reporter = Reporter::VerifySig}, [&] {
        if (signedPath.empty()) {
            return Outcome::Cancelled;
        }
        FileSource message(signedPath);
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
                        throw Error(EINVAL,
                                    "Cannot name the document to write from \"" +
                                        ShownPath(signedPath) +
                                        "\": nothing is left of the name once its last four "
                                        "characters are dropped.");
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
            StreamedWork work(ui, "Verifying \"" + ShownPath(signedPath) + "\"");
            message.OnProgress(work.Callback());
            signedData.Verify(message, &content, VerifyFlag::SignatureOnly);
        }
        // A multipart/signed mail's document is the mail itself: nothing to extract.
        if (signedData.Wrapping() == MessageWrapping::MultipartSigned) {
            ShowVerified(ui, signedData, signedPath);
            return Outcome::Completed;
        }
        open();
        ShowVerified(ui, signedData, signedPath);
        if (unwritable) {
            throw *unwritable;
        }
        kept = CommitUnlessStopped(*document);
        document.reset();
        stops.reset();
        SaveAndShowFile(ui, kept, documentPath, offerToOpen);
        return Outcome::Completed;
    });
}

}  // namespace quilvane
