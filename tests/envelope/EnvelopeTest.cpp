#include <gtest/gtest.h>

#include <string>

#include "envelope/Envelope.h"
#include "support/ScriptedUserInterface.h"
#include "support/SharedPki.h"

using namespace std::string_literals;

namespace quilvane {
namespace {

using test::Identity;
using test::Quote;
using test::ReadFile;
using test::ScriptedUserInterface;
using test::SharedPki;
using test::StoreHome;
using test::TempDir;
using test::WriteFile;

class EnvelopeTest : public ::testing::Test {
  protected:
    EnvelopeTest() : home(dir / "data") {
        const auto& alice = SharedPki::get().alice;
        home.add({alice.cert, alice.key});
    }

    std::string opensslEnvelope(const std::string& name, const std::string& content,
                                const Identity& recipient, const std::string& cipher) {
        std::filesystem::path plain = dir / name;
        WriteFile(plain, content);
        std::string out = plain.string() + ".sig";
        test::Run("openssl cms -encrypt -binary -outform DER -provider legacy -provider default " +
                  cipher + " -in " + Quote(plain.string()) + " -out " + Quote(out) + " " +
                  Quote(recipient.cert.string()));
        std::filesystem::remove(plain);
        return out;
    }

    TempDir dir;
    StoreHome home;
    ScriptedUserInterface ui;
};

TEST_F(EnvelopeTest, EncryptsWithAesForThePickedCertificateAndOpensAgain) {
    const auto& alice = SharedPki::get().alice;
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
    std::filesystem::remove(input);
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

TEST_F(EnvelopeTest, OpensEnvelopesOpensslMadeWithAesAndRc4) {
    const auto& alice = SharedPki::get().alice;
    for (const std::string& cipher : {"-aes256"s, "-rc4"s}) {
        std::string sig = opensslEnvelope("from-openssl.txt", "made by " + cipher, alice, cipher);
        ScriptedUserInterface fresh;
        EXPECT_EQ(ReceiveMessage(fresh, sig), Outcome::Completed) << cipher;
        EXPECT_EQ(ReadFile(dir / "from-openssl.txt"), "made by " + cipher);
    }
}

TEST_F(EnvelopeTest, WhatCannotBeOpenedOrNamedIsRefusedAndNothingWritten) {
    const auto& pki = SharedPki::get();
    std::string mine = opensslEnvelope("x.txt", "short", pki.alice, "-aes256");
    std::filesystem::copy_file(mine, dir / "abc");
    std::filesystem::copy_file(mine, dir / "abcd");
    std::filesystem::path signedDoc = dir / "signed.txt";
    WriteFile(signedDoc, "signed");
    test::OpensslSign(signedDoc, signedDoc.string() + ".sig", {pki.alice});
    std::filesystem::remove(signedDoc);
    WriteFile(dir / "noise.bin.sig", "\x30\x82\x01\x00 not really DER at all");
    WriteFile(dir / "empty.sig", "");
    const std::string service = "CAPICOM error found : ", program = "VB Error found:";
    const std::pair<std::string, std::string> cases[] = {
        // For Bob, whose key this user does not hold.
        {opensslEnvelope("for-bob.txt", "not yours", pki.bob, "-aes256"), service},
        {signedDoc.string() + ".sig", service},
        {(dir / "noise.bin.sig").string(), service},
        {(dir / "missing.sig").string(), program},
        {(dir / "empty.sig").string(),
         "Signature Decryption Succeeded.\r\nNo message was available in the file."},
        // Opened, but no name is left for the output.
        {"abc", program},
        {"abcd", program}};

    std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    for (const auto& [path, prefix] : cases) {
        ScriptedUserInterface fresh;
        EXPECT_EQ(ReceiveMessage(fresh, path), Outcome::Failed) << path;
        ASSERT_EQ(fresh.messages.size(), 1u) << path;
        EXPECT_EQ(fresh.messages[0].icon, Icon::Critical);
        EXPECT_EQ(fresh.messages[0].text.rfind(prefix, 0), 0u) << fresh.messages[0].text;
        if (path.size() > 4) {
            EXPECT_FALSE(std::filesystem::exists(path.substr(0, path.size() - 4))) << path;
        }
    }
    std::filesystem::current_path(cwd);
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
    EXPECT_FALSE(std::filesystem::exists(input + ".sig"));
}

}  // namespace
}  // namespace quilvane
