#include "OperationsTest.h"

namespace quilvane::test {

class EnvelopeTest : public OperationsTest {
  protected:
    EnvelopeTest() { install(pki.alice); }

    std::string opensslEnvelope(const std::string& name, const std::string& content,
                                const Identity& recipient, const std::string& cipher) {
        fs::path plain = dir / name;
        WriteFile(plain, content);
        std::string out = plain.string() + ".sig";
        test::Run("openssl cms -encrypt -binary -outform DER -provider legacy -provider default " +
            cipher + " -in " + Quote(plain.string()) + " -out " + Quote(out) + " " +
            Quote(recipient.cert.string()));
        fs::remove(plain);
        return out;
    }
};

TEST_F(EnvelopeTest, EncryptsWithAesForThePickedCertificateAndOpensAgain) {
    const auto& alice = pki.alice;
    std::string content = "secret\r\n\0\x80\xff"s;
    std::string input = (dir / "report.pdf").string();
    WriteFile(input, content);
    ui.picks.push_back(0);

    EXPECT_EQ(Envelope(ui, input, input + ".sig"), Outcome::Completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Signature successfully applied.");
    EXPECT_EQ(ui.messages[0].icon, Icon::Information);

    // openssl opens it with Alice's key, and sees AES-256.
    std::string printed =
        test::Run("openssl cms -cmsout -print -inform DER -in " + Quote(input + ".sig"));
    EXPECT_NE(printed.find("aes-256-cbc"), std::string::npos);
    test::Run("openssl cms -decrypt -binary -inform DER -in " + Quote(input + ".sig") + " -recip " +
        Quote(alice.cert.string()) + " -inkey " + Quote(alice.key.string()) + " -out " +
        Quote((dir / "by-openssl").string()));
    EXPECT_EQ(ReadFile(dir / "by-openssl"), content);

    // And so do we, into the name less ".sig".
    fs::remove(input);
    ScriptedUserInterface receiver;
    EXPECT_EQ(ReceiveMessage(receiver, input + ".sig"), Outcome::Completed);
    ASSERT_EQ(receiver.messages.size(), 1u);
    EXPECT_EQ(receiver.messages[0].text,
              "Signature Decryption Succeeded.\r\nDecrypted file is stored at the following "
              "location:\r\n" +
                  input);
    EXPECT_EQ(receiver.messages[0].icon, Icon::Information);
    EXPECT_EQ(ReadFile(input), content);
}

TEST_F(EnvelopeTest, WhatCannotBeOpenedOrNamedIsRefusedAndNothingWritten) {
    fs::copy_file(opensslEnvelope("x.txt", "short", pki.alice, "-aes256"), dir / "abc");
    WriteFile(dir / "empty.sig", "");
    const std::pair<std::string, std::string> cases[] = {
        // For Bob, whose key this user does not hold.
        {opensslEnvelope("for-bob.txt", "not yours", pki.bob, "-aes256"),
         "CAPICOM error found : None of your certificates can open this message"},
        {(dir / "empty.sig").string(),
         "Signature Decryption Succeeded.\r\nNo message was available in the file."},
        // Opened, but no name is left for the output.
        {"abc", "VB Error found:Cannot name the document"}};

    std::string cwd = fs::current_path();
    fs::current_path(dir.path());
    for (const auto& [path, prefix] : cases) {
        ScriptedUserInterface fresh;
        EXPECT_EQ(ReceiveMessage(fresh, path), Outcome::Failed) << path;
        ASSERT_EQ(fresh.messages.size(), 1u) << path;
        EXPECT_EQ(fresh.messages[0].icon, Icon::Critical);
        EXPECT_EQ(fresh.messages[0].text.rfind(prefix, 0), 0u) << fresh.messages[0].text;
        if (path.size() > 4) {
            EXPECT_FALSE(fs::exists(path.substr(0, path.size() - 4))) << path;
        }
    }
    fs::current_path(cwd);
}

TEST_F(EnvelopeTest, EncryptionFailuresShowOneBoxWithoutIcon) {
    // A missing file is reported before any pick list.
    std::string missing = (dir / "missing.pdf").string();
    EXPECT_EQ(Envelope(ui, missing, missing + ".sig"), Outcome::Failed);
    EXPECT_TRUE(ui.pickLists.empty());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text.rfind("VB Error found:", 0), 0u);
    EXPECT_EQ(ui.messages[0].icon, Icon::None);

    // Cancelling the pick list is reported, unlike when signing.
    std::string input = (dir / "a.txt").string();
    WriteFile(input, "a");
    ScriptedUserInterface cancel;
    EXPECT_EQ(Envelope(cancel, input, input + ".sig"), Outcome::Cancelled);
    ASSERT_EQ(cancel.messages.size(), 1u);
    EXPECT_EQ(cancel.messages[0].text.rfind("CAPICOM error found : ", 0), 0u);
    EXPECT_EQ(cancel.messages[0].icon, Icon::None);
    EXPECT_FALSE(fs::exists(input + ".sig"));
}

}  // namespace quilvane::test
