#include <cstdlib>
#include <ctime>

#include "OperationsTest.h"
#include "operations/VerifyReport.h"

namespace quilvane::test {

using VerifySigTest = OperationsTest;

TEST_F(VerifySigTest, ReportsTheSignerExtractsTheDocumentAndOpensItOnYes) {
    const std::string document = "line one\r\nline two\0\xff"s;
    const std::time_t before = std::time(nullptr);
    const std::string sig = opensslSigned("report.pdf", document, {pki.alice});
    const std::time_t after = std::time(nullptr);
    const std::string input = (dir / "report.pdf").string();

    ui.answers.push_back(false);
    EXPECT_EQ(VerifySig(ui, sig), Outcome::Completed);

    const std::string expected = kReportStart + "Name: Alice Example ==> Signed On: ";
    expectOneMessage(ui, expected, Icon::Information);
    EXPECT_TRUE(ui.messages[0].text == expected + ValueText(DateTime{before}) + "\r\n" ||
                ui.messages[0].text == expected + ValueText(DateTime{after}) + "\r\n")
        << ui.messages[0].text;
    EXPECT_EQ(ui.questions.at(0), "The file is decoded and stored at the following location:\r\n" +
                                      input + "\r\nDo you want to view this file now?");
    // No: the document stays, nothing is opened.
    EXPECT_EQ(ReadFile(input), document);
    EXPECT_TRUE(ui.opened.empty());

    // A document edited since is kept as report.pdf~ before it is written
    // again, and the question's note says so; the same bytes are not kept.
    // (Several signers listed: SignedElsewhere's detached co-sign.)
    WriteFile(input, "edited");
    EXPECT_EQ(VerifySig(ui, sig), Outcome::Completed);
    ui.answers = {true};
    EXPECT_EQ(VerifySig(ui, sig), Outcome::Completed);
    EXPECT_EQ(ui.opened, std::vector<std::string>{input});
    ASSERT_EQ(ui.questionNotes.size(), 3u);
    EXPECT_EQ(ui.questionNotes[0].informative + "|" + ui.questionNotes[1].informative + "|" +
                  ui.questionNotes[2].informative,
              "|The earlier file was kept as \"" + input + "~\".|");
    EXPECT_EQ(ReadFile(input + "~"), "edited");
}

// (Every refusal's message: the bad-input catalogue.)
TEST_F(VerifySigTest, ARefusalGivesTheLibrarysOwnWordsInItsDetails) {
    const std::string sig =
        opensslSigned("old.txt", "x", {pki.alice}, "-md md4 -provider legacy -provider default");
    EXPECT_EQ(VerifySig(ui, sig), Outcome::Failed);
    expectOneMessage(ui, "CAPICOM error found: The file is not a signed message");
    EXPECT_NE(ui.messages[0].notes.details, "");
    // An empty path does nothing at all.
    ScriptedUserInterface none;
    EXPECT_EQ(VerifySig(none, ""), Outcome::Cancelled);
    EXPECT_TRUE(none.messages.empty());
}

TEST(SignerReport, ShowsTimesInTheLocalZone) {
    // 2026-05-28 20:26:40 UTC, in the C locale's %x %X nine hours east.
    setenv("TZ", "JST-9", 1);
    tzset();
    EXPECT_EQ(ValueText(DateTime{1780000000}), "05/29/26 05:26:40");
    unsetenv("TZ");
    tzset();
}

TEST(SignerReport, RevocationDecidesTheVerdictAndTheValidation) {
    using enum RevocationState;
    constexpr std::time_t kRevoked = 1796083200;  // 2026-12-01
    using I = Indication;
    using S = SubIndication;
    // The verdict, the state, a valid time-stamp's time (0 for none), the
    // validation, and what the trust line shows ("" for not checked).
    using Case = std::tuple<Verdict, RevocationState, std::time_t, I, S, std::string>;
    const Case cases[] = {
        {Verdict::Trusted, Good, 0, I::TotalPassed, S::None, "trusted"},
        {Verdict::Trusted, NotPublished, 0, I::TotalPassed, S::None, "trusted"},
        {Verdict::Trusted, Unknown, 0, I::Indeterminate, S::TryLater,
         "trusted, revocation unknown (the OCSP responder did not answer)"},
        {Verdict::Trusted, NotChecked, 0, I::Indeterminate, S::TryLater,
         "trusted, revocation not checked"},
        {Verdict::Trusted, Good, kRevoked, I::TotalPassed, S::None,
         "trusted, time-stamped 2026-1[12]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] "
         "[+-][0-9][0-9]:[0-9][0-9] by TSA"},
        {Verdict::Revoked, Revoked, 0, I::TotalFailed, S::Revoked,
         "not trusted (revoked on 2026-12-01 (key compromise))"},
        {Verdict::Revoked, Revoked, kRevoked + 1, I::TotalFailed, S::Revoked, ""},
        {Verdict::Revoked, Revoked, kRevoked - 1, I::Indeterminate, S::RevokedNoPoe, ""},
    };
    for (const auto& [verdict, state, stamped, indication, sub, shown] : cases) {
        CertificateTrust trust;
        trust.subject = "Alice";
        trust.issuer = "CA";
        trust.verdict = verdict;
        trust.revocation.state = state;
        trust.revocation.why = "the OCSP responder did not answer";
        if (verdict == Verdict::Revoked) {
            trust.when = trust.revocation.revokedAt = kRevoked;
            trust.detail = "key compromise";
        }
        if (stamped != 0) {
            trust.timeStamps.emplace_back().time = stamped;
            trust.timeStamps.back().valid = true;
            trust.timeStamps.back().authority = "TSA";
        }
        EXPECT_EQ(ValidationOf(trust), (Validation{indication, sub})) << shown << " " << stamped;
        if (!shown.empty()) {
            EXPECT_PRED2(Like, TrustLine(trust),
                         "Certificate of Alice: " + shown + " \u2014 issued by CA*");
        }
    }
}

}  // namespace quilvane::test
