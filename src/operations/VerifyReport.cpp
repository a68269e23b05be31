// The validation vocabulary of the machine-readable report, and a file's
// report made by verifying it without anyone to ask.

#include "operations/VerifyReport.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "VerifyFile.h"
#include "crypto/Text.h"

namespace quilvane {
namespace {

// Says nothing and answers every question with no: the report is all there is.
class QuietInterface final : public UserInterface {
  public:
    void message(const std::string& text, Icon, const MessageNotes&) override { said = text; }
    bool ask(const std::string&, const MessageNotes&) override { return false; }
    std::optional<std::size_t> pickCertificate(const std::string&, const std::string&,
                                               const std::vector<CertificateRow>&) override {
        return std::nullopt;
    }
    EmptyStoreChoice emptyStore(const std::string&) override { return {}; }
    std::optional<CertificateRequest> newCertificate() override { return std::nullopt; }
    std::optional<Secret> secret(const SecretRequest&) override { return std::nullopt; }
    bool progress(const Progress&) override { return true; }
    void progressDone() override {}
    std::int32_t openDocument(const std::string&) override { return 0; }

    std::string said;
};

int Severity(Indication indication) {
    return indication == Indication::TotalPassed     ? 0
           : indication == Indication::Indeterminate ? 1
                                                     : 2;
}

}  // namespace

Validation ValidationOf(const CertificateTrust& trust) {
    using enum SubIndication;
    const auto indeterminate = [](SubIndication why) {
        return Validation{Indication::Indeterminate, why};
    };
    switch (trust.verdict) {
        case Verdict::Trusted:
            return trust.revocation.state == RevocationState::Unknown ||
                           trust.revocation.state == RevocationState::NotChecked
                       ? indeterminate(TryLater)
                       : Validation{};
        case Verdict::BrokenDigest:
            return indeterminate(CryptoConstraintsFailure);
        case Verdict::NotForSigning:
        case Verdict::ChainRefused:
            return indeterminate(ChainConstraintsFailure);
        case Verdict::Expired:
            return indeterminate(OutOfBoundsNoPoe);
        case Verdict::NotYetValid:
            return indeterminate(NotYetValid);
        case Verdict::SigningTimeOutside:
            return indeterminate(SigConstraintsFailure);
        case Verdict::SelfSigned:
        case Verdict::UntrustedRoot:
            return indeterminate(NoCertificateChainFound);
        case Verdict::Revoked: {
            // Only a proof that the signature existed before the revocation saves it.
            std::time_t existed = std::time(nullptr);
            for (const TimeStampProof& proof : trust.timeStamps) {
                if (proof.valid) {
                    existed = proof.time;
                    break;
                }
            }
            return trust.when < existed ? Validation{Indication::TotalFailed, Revoked}
                                        : indeterminate(RevokedNoPoe);
        }
        case Verdict::TimeStampBroken:
            return {Indication::TotalFailed, HashFailure};
    }
    return indeterminate(ChainConstraintsFailure);
}

Validation ValidationOf(const Error& refusal) {
    using enum SubIndication;
    if (refusal.number() != status::SignatureMismatch) {
        return {Indication::TotalFailed, FormatFailure};
    }
    // The crypto layer tells a changed document from a failed signature only in words.
    const bool changed =
        refusal.description() == Tr("The document was changed after it was signed.");
    return {Indication::TotalFailed, changed ? HashFailure : SigCryptoFailure};
}

const char* NameOf(Indication indication) {
    switch (indication) {
        case Indication::TotalPassed:
            return "TOTAL_PASSED";
        case Indication::Indeterminate:
            return "INDETERMINATE";
        case Indication::TotalFailed:
            return "TOTAL_FAILED";
    }
    return "";
}

const char* NameOf(SubIndication subIndication) {
    static constexpr std::pair<SubIndication, const char*> kNames[] = {
        {SubIndication::HashFailure, "HASH_FAILURE"},
        {SubIndication::SigCryptoFailure, "SIG_CRYPTO_FAILURE"},
        {SubIndication::FormatFailure, "FORMAT_FAILURE"},
        {SubIndication::NoCertificateChainFound, "NO_CERTIFICATE_CHAIN_FOUND"},
        {SubIndication::OutOfBoundsNoPoe, "OUT_OF_BOUNDS_NO_POE"},
        {SubIndication::NotYetValid, "NOT_YET_VALID"},
        {SubIndication::CryptoConstraintsFailure, "CRYPTO_CONSTRAINTS_FAILURE"},
        {SubIndication::ChainConstraintsFailure, "CHAIN_CONSTRAINTS_FAILURE"},
        {SubIndication::SigConstraintsFailure, "SIG_CONSTRAINTS_FAILURE"},
        {SubIndication::Revoked, "REVOKED"},
        {SubIndication::RevokedNoPoe, "REVOKED_NO_POE"},
        {SubIndication::TryLater, "TRY_LATER"},
    };
    for (const auto& [value, name] : kNames) {
        if (value == subIndication) {
            return name;
        }
    }
    return "";
}

const char* NameOf(SignatureLevel level) {
    switch (level) {
        case SignatureLevel::Cms:
            return "CMS";
        case SignatureLevel::CadesBB:
            return "CAdES-B-B";
        case SignatureLevel::CadesBT:
            return "CAdES-B-T";
        case SignatureLevel::CadesBLT:
            return "CAdES-B-LT";
    }
    return "CMS";
}

const char* NameOf(FileReport::Outcome outcome) {
    switch (outcome) {
        case FileReport::Outcome::Verified:
            return "verified";
        case FileReport::Outcome::Refused:
            return "refused";
        case FileReport::Outcome::Failed:
            return "failed";
    }
    return "";
}

std::vector<SignerReport> SignerReportsOf(const SignedData& signedData,
                                          std::vector<CertificateTrust> trust) {
    const std::vector<Signer> signers = signedData.Signers();
    std::vector<SignerReport> reports;
    for (std::size_t i = 0; i < signers.size() && i < trust.size(); ++i) {
        const bool proven = std::ranges::any_of(
            trust[i].timeStamps, [](const TimeStampProof& stamp) { return stamp.valid; });
        // The file's structure names the level; a time-stamp that proves
        // nothing leaves it at B-B.
        SignatureLevel level = signers[i].Level();
        if ((level == SignatureLevel::CadesBT || level == SignatureLevel::CadesBLT) && !proven) {
            level = SignatureLevel::CadesBB;
        }
        SignerReport report{.certificate = std::move(trust[i]),
                            .signingTime = std::nullopt,
                            .level = level,
                            .validation = {}};
        report.validation = ValidationOf(report.certificate);
        const Attributes& attributes = signers[i].AuthenticatedAttributes();
        for (std::size_t a = 1; a <= attributes.Count() && !report.signingTime; ++a) {
            const Attribute& attribute = attributes.Item(a);
            if (const auto* time = std::get_if<DateTime>(&attribute.Value());
                time != nullptr && attribute.Name() == AttributeName::SigningTime) {
                report.signingTime = time->seconds;
            }
        }
        reports.push_back(std::move(report));
    }
    return reports;
}

FileReport VerifyForReport(const std::string& signedPath) {
    FileReport file{.path = signedPath,
                    .outcome = FileReport::Outcome::Verified,
                    .error = {},
                    .detail = {},
                    .validation = {},
                    .signers = {}};
    QuietInterface quiet;
    std::optional<Error> raised;
    const Outcome outcome = RunGuarded(quiet, ReportPolicy{.reporter = Reporter::VerifySig}, [&] {
        try {
            return VerifyAndWrite(quiet, signedPath, false, &file.signers);
        } catch (const Error& error) {
            raised = error;
            throw;
        }
    });
    for (const SignerReport& signer : file.signers) {
        if (Severity(signer.validation.indication) > Severity(file.validation.indication)) {
            file.validation = signer.validation;
        }
    }
    if (outcome != Outcome::Completed) {
        file.error = quiet.said;
        file.detail = raised ? raised->detail() : "";
        // Signers known means the signatures held and only the writing failed.
        if (file.signers.empty()) {
            file.outcome = FileReport::Outcome::Refused;
            file.validation =
                raised ? ValidationOf(*raised)
                       : Validation{Indication::TotalFailed, SubIndication::FormatFailure};
        } else {
            file.outcome = FileReport::Outcome::Failed;
        }
    }
    return file;
}

int ExitStatusOf(const std::vector<FileReport>& files) {
    int status = 0;
    for (const FileReport& file : files) {
        if (file.outcome != FileReport::Outcome::Verified) {
            return 1;
        }
        if (std::ranges::any_of(file.signers, [](const SignerReport& signer) {
                return signer.validation.indication != Indication::TotalPassed;
            })) {
            status = 3;
        }
    }
    return status;
}

std::string IsoDateTime(std::time_t instant) {
    std::tm parts{};
    char text[40] = {};
    const std::size_t length =
        ::localtime_r(&instant, &parts) == nullptr
            ? 0
            : std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &parts);
    if (length < 2) {
        return {};
    }
    // %z gives +hhmm; ISO 8601's extended form puts a colon in it.
    return std::string(text, length - 2) + ":" + std::string(text + length - 2, 2);
}

}  // namespace quilvane
