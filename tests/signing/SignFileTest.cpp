#include <gtest/gtest.h>

#include <string>

#include "crypto/Error.h"
#include "signing/Handler.h"
#include "signing/Operations.h"
#include "support/ScriptedUserInterface.h"
#include "support/SharedPki.h"

namespace quilvane {
namespace {

using test::Quote;
using test::ReadFile;
using test::ScriptedUserInterface;
using test::SharedPki;
using test::StoreHome;
using test::TempDir;
using test::WriteFile;

class SignFileTest : public ::testing::Test {
  protected:
    SignFileTest() : home(dir / "data") {}

    void installAlice() {
        const auto& pki = SharedPki::get();
        home.add({pki.alice.cert, pki.alice.key});
    }

    // The document carried inside a signed-message file, according to openssl.
    std::string openedByOpenssl(const std::filesystem::path& sig) {
        std::filesystem::path out = dir / "openssl-out";
        test::Run("openssl cms -verify -inform DER -noverify -binary -in " + Quote(sig.string()) +
                  " -out " + Quote(out.string()));
        return ReadFile(out);
    }

    TempDir dir;
    StoreHome home;
    ScriptedUserInterface ui;
};

TEST_F(SignFileTest, SignsTheWholeDocumentAndSaysWhereItWent) {
    installAlice();
    std::string document = "%PDF-1.4\r\n";
    for (int i = 0; i < 256; ++i) {
        document.push_back(static_cast<char>(i));
    }
    document += std::string(3, '\0') + "\r\n";
    std::string input = (dir / "report.pdf").string();
    WriteFile(input, document);
    ui.picks.push_back(0);

    EXPECT_EQ(SignFile(ui, input, input + ".sig"), Outcome::Completed);

    ASSERT_EQ(ui.pickTitles.size(), 1u);
    EXPECT_EQ(ui.pickTitles[0], "Certificates");
    EXPECT_EQ(ui.pickPrompts[0], "ZARAN Certificates");
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              "Signature applied successfully.\r\nFile saved to location:" + input + ".sig");
    EXPECT_EQ(ui.messages[0].icon, Icon::Information);
    EXPECT_EQ(openedByOpenssl(input + ".sig"), document);
    // The document itself is untouched.
    EXPECT_EQ(ReadFile(input), document);

    // Signing again (an empty document now) replaces the earlier file.
    WriteFile(input, "");
    ui.picks.push_back(0);
    EXPECT_EQ(SignFile(ui, input, input + ".sig"), Outcome::Completed);
    EXPECT_EQ(openedByOpenssl(input + ".sig"), "");
}

TEST_F(SignFileTest, CancellingThePickListIsSilentAndKeepsAnOldSignature) {
    std::string input = (dir / "report.pdf").string();
    WriteFile(input, "text");
    WriteFile(input + ".sig", "an older signature");

    // An empty store shows an empty list, which can only be cancelled.
    EXPECT_EQ(SignFile(ui, input, input + ".sig"), Outcome::Cancelled);
    installAlice();
    EXPECT_EQ(SignFile(ui, input, input + ".sig"), Outcome::Cancelled);

    ASSERT_EQ(ui.pickLists.size(), 2u);
    EXPECT_TRUE(ui.pickLists[0].empty());
    EXPECT_EQ(ui.pickLists[1].size(), 1u);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(ReadFile(input + ".sig"), "an older signature");
}

TEST_F(SignFileTest, AnUnreadableDocumentIsReportedBeforeAnyPickList) {
    installAlice();
    for (const std::string& input :
         {(dir / "missing.pdf").string(), (dir / "no-folder" / "a.pdf").string(),
          dir.path().string(), std::string()}) {
        ScriptedUserInterface fresh;
        EXPECT_EQ(SignFile(fresh, input, input + ".sig"), Outcome::Failed) << input;
        EXPECT_TRUE(fresh.pickLists.empty());
        ASSERT_EQ(fresh.messages.size(), 1u);
        EXPECT_EQ(fresh.messages[0].icon, Icon::Critical);
        EXPECT_EQ(fresh.messages[0].text.rfind("VB Error found:", 0), 0u) << fresh.messages[0].text;
        EXPECT_NE(fresh.messages[0].text.find(input), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(input + ".sig"));
    }
}

TEST_F(SignFileTest, FailuresAfterThePickListAreReportedOnce) {
    // Bob's certificate is there without its key; Alice's output cannot be written.
    home.add({SharedPki::get().bob.cert});
    installAlice();
    std::string input = (dir / "report.pdf").string();
    WriteFile(input, "text");
    ui.picks = {0, 1};  // alice.pem, then bob.pem: the list is in file-name order

    EXPECT_EQ(SignFile(ui, input, (dir / "gone" / "report.pdf.sig").string()), Outcome::Failed);
    EXPECT_EQ(SignFile(ui, input, input + ".sig"), Outcome::Failed);

    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].text.rfind("VB Error found:", 0), 0u) << ui.messages[0].text;
    EXPECT_EQ(ui.messages[1].text.rfind("CAPICOM error found : ", 0), 0u) << ui.messages[1].text;
    EXPECT_NE(ui.messages[1].text.find("Bob Example"), std::string::npos) << ui.messages[1].text;
    EXPECT_EQ(ui.messages[1].icon, Icon::Critical);
    EXPECT_FALSE(std::filesystem::exists(input + ".sig"));
}

TEST(SigningHandler, TheTimeStampingStatusHasItsOwnText) {
    // No time stamps are asked for, but the handler still knows the status.
    ScriptedUserInterface ui;
    Handler handler;
    handler.timeStampText = true;
    EXPECT_EQ(Report(ui, handler, Error(status::TimeStampFailed, "unused")), Outcome::Failed);
    EXPECT_EQ(ui.messages.at(0).text,
              "An error occured while time stamping the file. Either you are not connected to "
              "internet or the time-stamp server is not functioning.");
}

}  // namespace
}  // namespace quilvane
