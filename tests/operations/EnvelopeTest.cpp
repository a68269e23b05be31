#include "OperationsTest.h"

namespace quilvane::test {

class EnvelopeTest : public OperationsTest {
  protected:
    EnvelopeTest() { install(pki.alice); }

    // `content` encrypted by openssl for `recipient` into "<name>.sig"; the document removed.
    std::string opensslEnvelope(const std::string& name, const std::string& content,
                                const Identity& recipient) {
        const std::string plain = file(name, content);
        Openssl("cms -encrypt -binary -outform DER -aes256 -in", fs::path(plain), "-out",
                fs::path(plain + ".sig"), recipient.cert);
        fs::remove(plain);
        return plain + ".sig";
    }
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

TEST_F(EnvelopeTest, WhatCannotBeOpenedIsRefusedAndNothingWritten) {
    const std::pair<std::string, std::string> cases[] = {
        // For Bob, whose key this user does not hold.
        {opensslEnvelope("for-bob.txt", "not yours", pki.bob),
         "CAPICOM error found : None of your certificates can open this message"},
        {file("empty.sig", ""),
         "Signature Decryption Succeeded.\r\nNo message was available in the file."}};
    for (const auto& [path, prefix] : cases) {
        ScriptedUserInterface fresh;
        EXPECT_EQ(ReceiveMessage(fresh, path), Outcome::Failed) << path;
        expectOneMessage(fresh, prefix);
        EXPECT_FALSE(fs::exists(path.substr(0, path.size() - 4))) << path;
    }
}

TEST_F(EnvelopeTest, EncryptionFailuresShowOneBoxWithoutIcon) {
    // A missing file is reported before any pick list.
    std::string missing = (dir / "missing.pdf").string();
    EXPECT_EQ(Envelope(ui, missing, missing + ".sig"), Outcome::Failed);
    EXPECT_TRUE(ui.pickLists.empty());
    expectOneMessage(ui, "VB Error found:", Icon::None);

    // Cancelling the pick list is reported, unlike when signing.
    const std::string input = file("a.txt", "a");
    ScriptedUserInterface cancel;
    EXPECT_EQ(Envelope(cancel, input, input + ".sig"), Outcome::Cancelled);
    expectOneMessage(cancel, "CAPICOM error found : ", Icon::None);
    EXPECT_FALSE(fs::exists(input + ".sig"));
}

}  // namespace quilvane::test
