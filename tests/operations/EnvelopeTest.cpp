#include "OperationsTest.h"

namespace quilvane::test {

class EnvelopeTest : public OperationsTest {
  protected:
    EnvelopeTest() { install(pki.alice); }
};

TEST_F(EnvelopeTest, EncryptsWithAesForThePickedCertificateAndOpensAgain) {
    const std::string content = "secret\r\n\0\x80\xff"s;
    const std::string input = file("report.pdf", content);
    ui.picks.push_back(0);
    EXPECT_EQ(Envelope(ui, input, input + ".sig"), Outcome::Completed);
    expectOneMessage(ui, "Signature successfully applied.", Icon::Information);
    // With AES-256 (that openssl opens those is EnvelopedDataTest's).
    EXPECT_NE(
        Openssl("cms -cmsout -print -inform DER -in", fs::path(input + ".sig")).find("aes-256"),
        std::string::npos);

    // Opened into the name less ".sig".
    fs::remove(input);
    ScriptedUserInterface receiver;
    EXPECT_EQ(ReceiveMessage(receiver, input + ".sig"), Outcome::Completed);
    expectOneMessage(receiver,
                     "Signature Decryption Succeeded.\r\nDecrypted file is stored at the "
                     "following location:\r\n" +
                         input,
                     Icon::Information);
    EXPECT_EQ(ReadFile(input), content);
}

// Failures show one box, without icon when encrypting, and write nothing.
TEST_F(EnvelopeTest, WhatCannotBeDoneIsRefusedAndNothingWritten) {
    const std::string missing = (dir / "missing.pdf").string(), input = file("a.txt", "a");
    Openssl("cms -encrypt -binary -outform DER -aes256 -in", fs::path(input), "-out",
            dir / "for-bob.sig", pki.bob.cert);  // whose key this user does not hold
    const std::string forBob = (dir / "for-bob.sig").string();
    using Case = std::tuple<std::string, bool, Outcome, std::string, Icon>;  // open, or encrypt
    for (const auto& [path, open, outcome, prefix, icon] : {
             Case{forBob, true, Outcome::Failed,
                  "CAPICOM error found : None of your certificates can open this message",
                  Icon::Critical},
             Case{file("empty.sig", ""), true, Outcome::Failed,
                  "Signature Decryption Succeeded.\r\nNo message was available in the file.",
                  Icon::Critical},
             // A missing file is reported before any pick list.
             Case{missing, false, Outcome::Failed, "VB Error found:", Icon::None},
             // Cancelling the pick list is reported, unlike when signing.
             Case{input, false, Outcome::Cancelled, "CAPICOM error found : ", Icon::None},
         }) {
        SCOPED_TRACE(path);
        ScriptedUserInterface fresh;
        const std::string out = open ? path.substr(0, path.size() - 4) : path + ".sig";
        EXPECT_EQ(open ? ReceiveMessage(fresh, path) : Envelope(fresh, path, out), outcome);
        EXPECT_EQ(fresh.pickLists.size(), outcome == Outcome::Cancelled ? 1u : 0u);
        expectOneMessage(fresh, prefix, icon);
        EXPECT_FALSE(fs::exists(out));
    }
}

}  // namespace quilvane::test
