// The validation each verdict and each refusal earns in the report.

#include <gtest/gtest.h>

#include "operations/VerifyReport.h"

namespace quilvane::test {

TEST(VerifyReport, EachVerdictAndRefusalHasItsIndication) {
    using enum SubIndication;
    const std::string none;
    const std::tuple<Verdict, std::string, std::string> verdicts[] = {
        {Verdict::Trusted, "TOTAL_PASSED", none},
        {Verdict::BrokenDigest, "INDETERMINATE", "CRYPTO_CONSTRAINTS_FAILURE"},
        {Verdict::NotForSigning, "INDETERMINATE", "CHAIN_CONSTRAINTS_FAILURE"},
        {Verdict::Expired, "INDETERMINATE", "OUT_OF_BOUNDS_NO_POE"},
        {Verdict::NotYetValid, "INDETERMINATE", "NOT_YET_VALID"},
        {Verdict::SigningTimeOutside, "INDETERMINATE", "SIG_CONSTRAINTS_FAILURE"},
        {Verdict::SelfSigned, "INDETERMINATE", "NO_CERTIFICATE_CHAIN_FOUND"},
        {Verdict::UntrustedRoot, "INDETERMINATE", "NO_CERTIFICATE_CHAIN_FOUND"},
        {Verdict::ChainRefused, "INDETERMINATE", "CHAIN_CONSTRAINTS_FAILURE"},
    };
    for (const auto& [verdict, indication, subIndication] : verdicts) {
        const Validation validation = ValidationOf(verdict);
        EXPECT_EQ(
            NameOf(validation.indication) + ("|" + std::string(NameOf(validation.subIndication))),
            indication + "|" + subIndication)
            << static_cast<int>(verdict);
    }
    const std::pair<Error, SubIndication> refusals[] = {
        {Error(status::SignatureMismatch, "The document was changed after it was signed."),
         HashFailure},
        {Error(status::SignatureMismatch, "The signature of A does not match the document."),
         SigCryptoFailure},
        {Error(status::BadMessage, "The file is not a signed message."), FormatFailure},
        {Error(ENOENT, "Cannot open \"x.sig\": No such file or directory"), FormatFailure},
    };
    for (const auto& [error, subIndication] : refusals) {
        EXPECT_EQ(ValidationOf(error), (Validation{Indication::TotalFailed, subIndication}))
            << error.description();
    }
}

}  // namespace quilvane::test
