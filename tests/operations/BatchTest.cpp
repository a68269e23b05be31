#include <algorithm>
#include <csignal>

#include "OperationsTest.h"
#include "operations/Batch.h"

namespace quilvane::test {

class BatchTest : public OperationsTest {
  protected:
    BatchTest() {
        // Alice's key is protected: one passphrase must serve the whole batch.
        home.add({pki.alice.cert});
        Openssl("pkey -aes256 -passout pass:pw -in", pki.alice.key, "-out",
                home.my() / "alice.key");
    }
    const std::string a = file("a.txt", "a.txt"), b = file("b.txt", "b.txt");
};

TEST_F(BatchTest, OneChoiceAndOneSecretForAllFilesAndOneSummary) {
    ui.picks = {0};
    ui.passphrases = {"pw"};
    const std::vector<std::string> files = {a, (dir / "missing.txt").string(), b};
    EXPECT_EQ(RunBatch(ui, BatchAction::Sign, files, BatchMessages::Each), Outcome::Failed);
    EXPECT_EQ(ui.pickLists.size(), 1u);
    EXPECT_EQ(ui.passphrasePrompts.size(), 1u);
    EXPECT_EQ(openedByOpenssl(files[2] + ".sig"), "b.txt");
    // Each file's own message, then the summary.
    ASSERT_EQ(ui.messages.size(), 4u);
    EXPECT_PRED2(StartsWith, ui.messages[1].text, "VB Error found:Cannot open");
    EXPECT_EQ(ui.messages[3].text, "2 signed, 1 failed: " + files[1] + ".");
    EXPECT_EQ(ui.messages[3].icon, Icon::Exclamation);

    // Verifying writes each document back and asks nothing; the window shows
    // the summary alone, every file's signers or reason in its details.
    fs::remove(files[0]);
    ScriptedUserInterface window;
    EXPECT_EQ(RunBatch(window, BatchAction::Verify, {files[0] + ".sig", files[1]},
                       BatchMessages::SummaryOnly),
              Outcome::Failed);
    EXPECT_EQ(ReadFile(files[0]), "a.txt");
    EXPECT_TRUE(window.questions.empty());
    expectOneMessage(window, "1 verified, 1 failed: " + files[1] + ".", Icon::Exclamation);
    EXPECT_PRED2(Like, window.messages[0].notes.details,
                 files[0] + ".sig:\r\nCertificate of Alice Example: *\r\n" + files[1] +
                     ":\r\nVB Error found: Cannot open*");
    EXPECT_EQ(window.progressLabels.size(), 2u);
}

TEST_F(BatchTest, ACancelStopsTheRestAndWritesNothingMore) {
    const std::vector<std::string> files = {a, b};
    EXPECT_EQ(RunBatch(ui, BatchAction::Sign, files, BatchMessages::Each), Outcome::Cancelled);
    expectOneMessage(ui, "0 signed, 2 not signed: cancelled.", Icon::Exclamation);

    // Cancel pressed as the second file is announced, the first still
    // running or just done: the second never starts.
    ScriptedUserInterface stop;
    stop.picks = {0};
    stop.passphrases = {"pw"};
    stop.stopAfter = 1;
    EXPECT_EQ(RunBatch(stop, BatchAction::Sign, files, BatchMessages::SummaryOnly),
              Outcome::Cancelled);
    EXPECT_FALSE(fs::exists(files[1] + ".sig"));
    const int made = fs::exists(files[0] + ".sig") ? 1 : 0;
    expectOneMessage(
        stop,
        std::to_string(made) + " signed, " + std::to_string(2 - made) + " not signed: cancelled.",
        Icon::Exclamation);
}

TEST_F(BatchTest, AStopSignalEndsTheWholeBatchAndTheSummarySaysWhere) {
    // SIGTERM arrives as the third file is announced, while the workers run.
    struct Terminating : ScriptedUserInterface {
        bool progress(const Progress& now) override {
            if (!now.bytes && progressLabels.size() == 2) {
                std::raise(SIGTERM);
            }
            return ScriptedUserInterface::progress(now);
        }
    };
    std::vector<std::string> files;
    for (int i = 0; i < 10; ++i) {
        files.push_back(file("f" + std::to_string(i), "f"));
    }
    Terminating person;
    person.picks = {0};
    person.passphrases = {"pw"};
    EXPECT_NE(RunBatch(person, BatchAction::Sign, files, BatchMessages::Each), Outcome::Completed);
    const auto made = std::ranges::count_if(files, [](auto& f) { return fs::exists(f + ".sig"); });
    EXPECT_FALSE(fs::exists(files.back() + ".sig"));
    EXPECT_PRED2(Like, person.messages.back().text,
                 std::to_string(made) + " signed, " + std::to_string(10 - made) +
                     " not signed: stopped after \"" + (dir / "f*").string() + "\".");
    // The next streamed work starts afresh.
    EXPECT_EQ(VerifySig(person, opensslSigned("g", "g", {pki.alice}), false), Outcome::Completed);
}

// More files than the workers take at once: each file's messages come in the
// order of the files, and verifying them in a batch says what single runs say.
TEST_F(BatchTest, WorkersTellTheFilesInOrderAndJudgeAsSingleRuns) {
    std::vector<std::string> files;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "f" + std::to_string(i);
        files.push_back(i % 5 == 3 ? (dir / name).string() : file(name, name));
    }
    files[7] = DropLastFourCharacters(opensslSigned("f7", "f7", {pki.bob}));
    ui.picks = {0};
    ui.passphrases = {"pw"};
    EXPECT_EQ(RunBatch(ui, BatchAction::Sign, files, BatchMessages::Each), Outcome::Failed);
    ASSERT_EQ(ui.messages.size(), files.size() + 1);
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_NE(ui.messages[i].text.find(files[i]), std::string::npos) << i;
    }

    std::vector<std::string> sigs;
    ScriptedUserInterface singles, batch;
    for (const std::string& path : files) {
        sigs.push_back(path + ".sig");
        VerifySig(singles, sigs.back(), false);
    }
    EXPECT_EQ(RunBatch(batch, BatchAction::Verify, sigs, BatchMessages::Each), Outcome::Failed);
    ASSERT_EQ(batch.messages.size(), sigs.size() + 1);
    for (std::size_t i = 0; i < sigs.size(); ++i) {
        EXPECT_EQ(batch.messages[i].text, singles.messages[i].text) << i;
        EXPECT_EQ(batch.messages[i].notes.informative, singles.messages[i].notes.informative);
    }
}

}  // namespace quilvane::test
