#include <fstream>

#include "OperationsTest.h"
#include "support/Forge.h"

namespace quilvane::test {

class CoSignContentTest : public OperationsTest {
  protected:
    CoSignContentTest() {
        // Bob co-signs; the test root is trusted through the user's Root folder.
        install(pki.bob);
        fs::copy_file(pki.pki.folder() / "root.pem", home.root() / "root.pem");
    }
};

TEST_F(CoSignContentTest, AddsOneSignatureThatEveryReaderAccepts) {
    std::string sig = opensslSigned("contract.txt", "terms\r\n\0\xff"s, {pki.alice});
    ui.picks.push_back(0);

    EXPECT_EQ(CoSignContent(ui, sig, sig), Outcome::Completed);

    // The report first; Alice chains to the root in the Root folder.
    ASSERT_EQ(ui.messages.size(), 2u);
    const std::string& trust = ui.messages[0].notes.informative;
    EXPECT_PRED2(StartsWith, trust,
                 "Certificate of Alice Example: trusted \u2014 issued by Quilvane Test Root, ");
    EXPECT_EQ(ui.messages[1].text,
              "Co-Signature applied successfully.\r\nFile saved to location:" + sig);
    EXPECT_EQ(ui.messages[1].icon, Icon::Information);
    // In place, it only adds a signer: nothing is kept, nothing more is said.
    EXPECT_EQ(ui.messages[1].notes.informative, "");
    EXPECT_FALSE(fs::exists(sig + "~"));

    EXPECT_EQ(openedByOpenssl(sig), "terms\r\n\0\xff"s);
}

// (A signer no trusted root issued: HostileNamesTest.)
TEST_F(CoSignContentTest, AnExpiredSignerIsRefusedAndTheFileLeftButPassesPlainVerification) {
    const Identity expired = pki.pki.issue("expired", "/CN=Old Timer", KeyType::Ec,
                                           "20200101000000Z", "20210101000000Z");
    const std::string path = opensslSigned("old.txt", "document", {expired});
    const std::string before = ReadFile(path);
    ui.picks.push_back(0);
    EXPECT_EQ(CoSignContent(ui, path, path), Outcome::Failed);
    EXPECT_TRUE(ui.pickLists.empty());
    expectOneMessage(ui, "CAPICOM error found : ");
    EXPECT_PRED2(Like, ui.messages.at(0).text, "*Old Timer*");
    EXPECT_EQ(ReadFile(path), before);
    // Plain verification checks the signatures only.
    ScriptedUserInterface verifier;
    EXPECT_EQ(VerifySig(verifier, path), Outcome::Completed);
}

// A co-sign never reports success over a file whose document was changed
// while the pick list waited. (One another co-sign holds: ConcurrentTest.)
TEST_F(CoSignContentTest, AFileChangedByAnotherProgramIsRefusedAndLeftAsItIs) {
    const std::string sig = opensslSigned("contract.txt", "the terms of the contract", {pki.alice});
    std::string changed = ReadFile(sig);
    changed.replace(changed.find("terms"), 3, "TER");
    ui.picks.push_back(0);
    ui.whilePicking = [&] {
        std::fstream file(sig, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(changed.find("TER")));
        file.write("TER", 3);
    };
    EXPECT_EQ(CoSignContent(ui, sig, sig), Outcome::Failed);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_PRED2(Like, ui.messages[1].text, "*changed*");
    EXPECT_EQ(ReadFile(sig), changed);
}

}  // namespace quilvane::test
