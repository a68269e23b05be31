#include <cstdlib>
#include <ctime>

#include "OperationsTest.h"

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
}

TEST_F(VerifySigTest, AnEmptyPathDoesNothingAtAll) {
    EXPECT_EQ(VerifySig(ui, ""), Outcome::Cancelled);
    EXPECT_TRUE(ui.messages.empty());
}

TEST(SignerReport, ShowsTimesInTheLocalZone) {
    // 2026-05-28 20:26:40 UTC, in the C locale's %x %X nine hours east.
    setenv("TZ", "JST-9", 1);
    tzset();
    EXPECT_EQ(ValueText(DateTime{1780000000}), "05/29/26 05:26:40");
    unsetenv("TZ");
    tzset();
}

}  // namespace quilvane::test
