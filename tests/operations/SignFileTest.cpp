#include <csignal>

#include <numeric>

#include "OperationsTest.h"

namespace quilvane::test {

using SignFileTest = OperationsTest;

TEST_F(SignFileTest, SignsTheWholeDocumentAndSaysWhereItWent) {
    install(pki.alice);
    std::string document = "%PDF-1.4\r\n" + std::string(256, '\0') + "\0\0\r\n"s;
    std::iota(document.begin() + 10, document.begin() + 266, '\0');  // every byte
    const std::string input = file("report.pdf", document);
    ui.picks = {0};

    EXPECT_EQ(SignFile(ui, input, input + ".sig"), Outcome::Completed);

    const CertificateRow& row = ui.pickLists.at(0).at(0);
    EXPECT_EQ(row.issuedTo + "|" + row.issuedBy + "|" + row.location,
              "Alice Example|Quilvane Test Root|alice.pem");
    expectOneMessage(ui,
                     "Signature applied successfully.\r\nFile saved to location:" + input + ".sig",
                     Icon::Information);
    EXPECT_EQ(openedByOpenssl(input + ".sig"), document);
    EXPECT_EQ(ReadFile(input), document);
}

TEST_F(SignFileTest, FailuresAreReportedOnceAndWriteNothing) {
    // Bob's certificate is there without its key; Alice's output cannot be written.
    install(pki.alice);
    home.add({pki.bob.cert});
    const std::string input = file("report.pdf", "text");
    ScriptedUserInterface after;
    after.picks = {0, 1};  // alice.pem, then bob.pem: the list is in file-name order
    EXPECT_EQ(SignFile(after, input, (dir / "gone" / "report.pdf.sig").string()), Outcome::Failed);
    EXPECT_EQ(SignFile(after, input, input + ".sig"), Outcome::Failed);
    ASSERT_EQ(after.messages.size(), 2u);
    EXPECT_PRED2(StartsWith, after.messages[0].text, "VB Error found:");
    EXPECT_PRED2(StartsWith, after.messages[1].text,
                 "CAPICOM error found : There is no private key in the store for the certificate "
                 "of Bob Example.");
    EXPECT_FALSE(fs::exists(input + ".sig"));
}

// Cancel pressed in the middle of streamed work, or SIGTERM once the last
// chunk is read (while the file goes to the disk): the operation ends without
// a word, and no file appears or changes, temporary ones included. The files
// are of a few chunks, so that a second thread digests them.
TEST_F(SignFileTest, StoppedWorkEndsSilentlyAndChangesNothing) {
    install(pki.alice);
    install(pki.bob);
    fs::copy_file(pki.pki.folder() / "root.pem", home.root() / "root.pem");
    const std::string document = file("doc.txt", std::string((3 << 20) + 5, 'd'));
    const std::string sig = opensslSigned("signed.txt", std::string(3 << 20, 's'), {pki.alice});
    WriteFile(document + ".sig", "an older signature");
    const auto listing = [&] {
        std::string all;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            all += entry.path().filename().string() + ":" +
                   (entry.is_regular_file() ? ReadFile(entry.path()) : "") + "\n";
        }
        return all;
    };
    const std::string before = listing();
    using Run = std::function<Outcome(UserInterface&)>;
    for (const Run& run :
         {Run([&](UserInterface& u) { return SignFile(u, document, document + ".sig"); }),
          Run([&](UserInterface& u) { return VerifySig(u, sig); }),
          Run([&](UserInterface& u) { return CoSignContent(u, sig, sig); })}) {
        for (const bool signal : {false, true}) {
            ScriptedUserInterface stopped;
            stopped.picks = {0};
            stopped.stopOnBytes = !signal;
            stopped.onBytes = [&](const Progress& now) {
                if (signal && now.done == now.total) {
                    std::raise(SIGTERM);
                }
            };
            EXPECT_EQ(run(stopped), Outcome::Cancelled);
            EXPECT_TRUE(stopped.messages.size() <= 1 && stopped.questions.empty());
            EXPECT_EQ(listing(), before);
        }
    }
}

}  // namespace quilvane::test
