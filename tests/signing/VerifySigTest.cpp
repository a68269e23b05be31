#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "signing/Operations.h"
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

const std::string kReportStart =
    "Verification complete. Document is untampered.\r\n\r\nDocument is signed by following "
    "persons:\r\n";

// The text a date-time shows as in the time zone `zone`.
std::string ShownIn(const char* zone, std::time_t instant) {
    std::string old = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
    setenv("TZ", zone, 1);
    tzset();
    std::string shown = ValueText(DateTime{instant});
    old.empty() ? unsetenv("TZ") : setenv("TZ", old.c_str(), 1);
    tzset();
    return shown;
}

class VerifySigTest : public ::testing::Test {
  protected:
    VerifySigTest() : home(dir / "data") {}

    // Signs `content` with openssl into "<name>.sig"; the document itself is removed.
    std::string opensslSigned(const std::string& name, const std::string& content,
                              const std::vector<Identity>& signers, const std::string& extra = {}) {
        std::string document = (dir / name).string();
        WriteFile(document, content);
        std::string command = "openssl cms -sign -binary -nodetach -outform DER -md sha256 " +
                              extra + " -in " + Quote(document) + " -out " +
                              Quote(document + ".sig");
        for (const Identity& signer : signers) {
            command +=
                " -signer " + Quote(signer.cert.string()) + " -inkey " + Quote(signer.key.string());
        }
        test::Run(command);
        std::filesystem::remove(document);
        return document + ".sig";
    }

    TempDir dir;
    StoreHome home;
    ScriptedUserInterface ui;
};

TEST_F(VerifySigTest, ReportsTheSignerExtractsTheDocumentAndOffersToOpenIt) {
    const auto& pki = SharedPki::get();
    home.add({pki.alice.cert, pki.alice.key});
    std::string document = "line one\r\nline two\0\xff"s;
    std::string input = (dir / "report.pdf").string();
    WriteFile(input, document);
    ScriptedUserInterface signer;
    signer.picks.push_back(0);
    std::time_t before = std::time(nullptr);
    ASSERT_EQ(SignFile(signer, input, input + ".sig"), Outcome::Completed);
    std::time_t after = std::time(nullptr);
    std::filesystem::remove(input);

    ui.answers.push_back(false);
    EXPECT_EQ(VerifySig(ui, input + ".sig"), Outcome::Completed);

    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].icon, Icon::Information);
    std::string expected = kReportStart + "Name: Alice Example ==> Signed On: ";
    EXPECT_TRUE(ui.messages[0].text == expected + ValueText(DateTime{before}) + "\r\n" ||
                ui.messages[0].text == expected + ValueText(DateTime{after}) + "\r\n")
        << ui.messages[0].text;
    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_EQ(ui.questions[0], "The file is decoded and stored at the following location:\r\n" +
                                   input + "\r\nDo you want to view this file now?");
    // No: the document stays, nothing is opened.
    EXPECT_EQ(ReadFile(input), document);
    EXPECT_TRUE(ui.opened.empty());
}

TEST_F(VerifySigTest, ListsEverySignerAndOpensOnYes) {
    const auto& pki = SharedPki::get();
    std::string sig = opensslSigned("two.txt", "both of us", {pki.bob, pki.carol});
    ui.answers = {true, true};
    ui.openResult = 42;
    EXPECT_EQ(VerifySig(ui, sig), Outcome::Completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    const std::string& text = ui.messages[0].text;
    EXPECT_NE(text.find("\r\nName: Bob Example ==> Signed On: "), std::string::npos) << text;
    // Carol's certificate has no common name: her e-mail address names her.
    EXPECT_NE(text.find("\r\nName: carol@example.org ==> Signed On: "), std::string::npos) << text;
    EXPECT_EQ(ReadFile(dir / "two.txt"), "both of us");
    EXPECT_EQ(ui.opened, std::vector<std::string>{(dir / "two.txt").string()});

    // A failure to open is explained in a box without icon.
    ui.openResult = 31;
    EXPECT_EQ(VerifySig(ui, sig), Outcome::Completed);
    ASSERT_EQ(ui.messages.size(), 3u);
    EXPECT_EQ(ui.messages[2].text, "No association for file extension");
    EXPECT_EQ(ui.messages[2].icon, Icon::None);
}

TEST_F(VerifySigTest, AnythingButAnIntactSignedMessageIsRefusedAndNothingWritten) {
    const auto& pki = SharedPki::get();
    std::string bare = opensslSigned("bare.txt", "no attributes", {pki.alice}, "-noattr");
    std::string sig = opensslSigned("doc.txt", "The quick brown fox", {pki.alice});
    std::string good = ReadFile(sig);
    std::string altered = good;
    altered[altered.find("quick")] = 'Q';
    std::string badSignature = good;
    badSignature[badSignature.size() - 10] ^= 0x01;

    for (const std::string& bytes : {altered, badSignature, good.substr(0, good.size() / 2),
                                     std::string(), std::string(3000, '\x5a'), ReadFile(bare)}) {
        WriteFile(sig, bytes);
        ScriptedUserInterface fresh;
        EXPECT_EQ(VerifySig(fresh, sig), Outcome::Failed);
        ASSERT_EQ(fresh.messages.size(), 1u);
        EXPECT_EQ(fresh.messages[0].icon, Icon::Critical);
        EXPECT_EQ(fresh.messages[0].text.rfind("CAPICOM error found: ", 0), 0u)
            << fresh.messages[0].text;
        EXPECT_TRUE(fresh.questions.empty());
        EXPECT_FALSE(std::filesystem::exists(dir / "doc.txt"));
    }
}

TEST_F(VerifySigTest, FileErrorsAndPathsTooShortForAName) {
    EXPECT_EQ(VerifySig(ui, ""), Outcome::Cancelled);
    EXPECT_TRUE(ui.messages.empty());

    EXPECT_EQ(VerifySig(ui, (dir / "missing.sig").string()), Outcome::Failed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text.rfind("VB Error found: ", 0), 0u) << ui.messages[0].text;

    // A three-character name: the report comes first, then the failure, and
    // nothing is written.
    std::string sig = opensslSigned("abc.txt", "short", {SharedPki::get().alice});
    std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::filesystem::rename(sig, "abc");
    ScriptedUserInterface shortName;
    Outcome outcome = VerifySig(shortName, "abc");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(outcome, Outcome::Failed);
    ASSERT_EQ(shortName.messages.size(), 2u);
    EXPECT_EQ(shortName.messages[0].text.rfind(kReportStart, 0), 0u);
    EXPECT_EQ(shortName.messages[1].text.rfind("VB Error found: ", 0), 0u);
    EXPECT_TRUE(shortName.questions.empty());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);  // abc, data
}

TEST(SignerReport, FormsTimeZonesAndOpenFailureTexts) {
    EXPECT_EQ(ListSigners({}), "\r\nDocument is signed by following persons:\r\n");
    EXPECT_EQ(ValueText(AttributeValue("plain text"s)), "plain text");
    // 2026-05-28 20:26:40 UTC, in the C locale's %x %X.
    EXPECT_EQ(ShownIn("UTC0", 1780000000), "05/28/26 20:26:40");
    EXPECT_EQ(ShownIn("JST-9", 1780000000), "05/29/26 05:26:40");

    const std::pair<int, const char*> table[] = {
        {2, "File not found"},
        {3, "Path not found"},
        {5, "Access denied"},
        {8, "Out of memory"},
        {32, "DLL not found"},
        {26, "A sharing violation occurred"},
        {27, "Incomplete or invalid file association"},
        {28, "DDE Time out"},
        {29, "DDE transaction failed"},
        {30, "DDE busy"},
        {31, "No association for file extension"},
        {11, "Invalid EXE file or error in EXE image"},
        {0, "Unknown error"},
        {1, "Unknown error"},
        {-5, "Unknown error"},
        {4, "Unknown error"},
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(OpenFailureText(code), text) << code;
    }
}

}  // namespace
}  // namespace quilvane
