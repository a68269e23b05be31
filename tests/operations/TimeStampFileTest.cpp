// Time-stamping signed files in place, and signing with a time-stamping
// service that fails, against real services on the loopback interface.

#include <sys/statvfs.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>

#include "OperationsTest.h"
#include "crypto/Network.h"
#include "operations/Batch.h"
#include "support/LoopbackServices.h"
#include "support/TimeStampAuthority.h"

namespace quilvane::test {
namespace {

const std::string kTimeStampFailed =
    "An error occured while time stamping the file. Either you are not connected to internet or "
    "the time-stamp server is not functioning.";

// Each signature-time-stamp attribute's value (its SET) in a DER file, where
// openssl's own parser finds it.
std::vector<std::string> TokensIn(const fs::path& file) {
    const std::string bytes = ReadFile(file);
    std::istringstream lines(Openssl("asn1parse -inform DER -in", file));
    static const std::regex kHeader(R"(^\s*(\d+):d=\d+\s+hl=(\d+)\s+l=\s*(\d+))");
    std::vector<std::string> tokens;
    bool next = false;
    for (std::string line; std::getline(lines, line);) {
        std::smatch at;
        if (next && std::regex_search(line, at, kHeader)) {
            tokens.push_back(
                bytes.substr(std::stoul(at[1]), std::stoul(at[2]) + std::stoul(at[3])));
        }
        next = line.ends_with(":id-smime-aa-timeStampToken");
    }
    return tokens;
}

// A kilobyte count from /proc/self/status.
std::uint64_t StatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":")) {
            return std::stoull(line.substr(field.size() + 1));
        }
    }
    return 0;
}

class TimeStampFileTest : public OperationsTest {
  protected:
    void SetUp() override {
        SKIP_WITHOUT(services);
        fs::copy_file(pki.pki.folder() / "root.pem", home.root() / "root.pem");
        use(tsa.url());
    }
    void TearDown() override { UseNetworkSettings({}); }

    static void use(const std::string& url, int timeout = 2) {
        NetworkSettings settings;
        settings.timestampUrl = url;
        settings.timeoutSeconds = timeout;
        UseNetworkSettings(settings);
    }

    LoopbackServices services{dir / "www"};
    TimeStampAuthority tsa{services, pki.pki};
};

TEST_F(TimeStampFileTest, EverySignatureGetsATokenAndOpensslStillReadsTheSameDocument) {
    const std::string content = "terms\r\n\0\xff"s;
    const std::string sig = opensslSigned("contract.txt", content, {pki.alice, pki.bob});
    const std::string before = ReadFile(sig);

    EXPECT_EQ(RunBatch(ui, BatchAction::TimeStamp, {sig}, BatchMessages::Each), Outcome::Completed);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].text,
              "Time-stamps added to 2 signatures.\r\nFile saved to location:" + sig);
    EXPECT_EQ(ui.messages[0].notes.informative, "The earlier file was kept as \"" + sig + "~\".");
    EXPECT_EQ(ui.messages[1].text, "1 time-stamped.");
    EXPECT_EQ(ReadFile(sig + "~"), before);
    EXPECT_EQ(TokensIn(sig).size(), 2u);
    EXPECT_EQ(openedByOpenssl(sig), content);

    // Once more: nothing to add, so nothing is asked or written.
    const std::string stamped = ReadFile(sig);
    ScriptedUserInterface again;
    EXPECT_EQ(TimeStampFile(again, sig), Outcome::Completed);
    expectOneMessage(again, "Every signature in \"" + sig + "\" has a time-stamp already",
                     Icon::Information);
    EXPECT_EQ(ReadFile(sig), stamped);
    EXPECT_EQ(services.requests("/run/tsa"), 2);
}

TEST_F(TimeStampFileTest, AnEarlierTokenIsKeptByteForByteAndADetachedSignatureStaysDetached) {
    const std::string document = file("a.txt", "the document");
    const fs::path sig = dir / "a.txt.sig";
    Openssl("cms -sign -binary -outform DER -md sha256 -in", fs::path(document), "-out", sig,
            "-signer", pki.alice.cert, "-inkey", pki.alice.key);
    ASSERT_EQ(TimeStampFile(ui, sig.string()), Outcome::Completed);
    const std::vector<std::string> first = TokensIn(sig);
    ASSERT_EQ(first.size(), 1u);

    Openssl("cms -resign -binary -inform DER -outform DER -in", sig, "-out", dir / "two.sig",
            "-signer", pki.bob.cert, "-inkey", pki.bob.key);
    fs::rename(dir / "two.sig", sig);
    ASSERT_EQ(TimeStampFile(ui, sig.string()), Outcome::Completed);
    EXPECT_PRED2(StartsWith, ui.messages.back().text, "Time-stamp added to 1 signature.");
    const std::vector<std::string> both = TokensIn(sig);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_TRUE(both[0] == first[0] || both[1] == first[0]);
    Openssl("cms -verify -noverify -binary -inform DER -in", sig, "-content", fs::path(document),
            "-out /dev/null");
}

TEST_F(TimeStampFileTest, WithoutAServiceOrWithOneThatRefusesNothingChanges) {
    const std::string sig = opensslSigned("contract.txt", "terms", {pki.alice});
    const std::string before = ReadFile(sig);
    const std::string noService =
        "No time-stamp service is set, so \"" + sig + "\" was not changed.";
    SilentPort silent;
    const std::pair<std::string, std::string> cases[] = {
        {"", noService},
        {tsa.url("refuse"), kTimeStampFailed},
        {"http://127.0.0.1:" + std::to_string(silent.port()) + "/", kTimeStampFailed},
    };
    for (const auto& [url, text] : cases) {
        SCOPED_TRACE(url);
        use(url);
        ScriptedUserInterface shown;
        EXPECT_EQ(TimeStampFile(shown, sig), Outcome::Failed);
        ASSERT_EQ(shown.messages.size(), 1u);
        EXPECT_PRED2(StartsWith, shown.messages[0].text, text);
        EXPECT_EQ(ReadFile(sig), before);
        EXPECT_FALSE(fs::exists(sig + "~"));
    }
}

TEST_F(TimeStampFileTest, AThreeGibibyteFileIsTimeStampedInConstantMemory) {
    constexpr std::uintmax_t kSize = std::uintmax_t{3} << 30;
    struct statvfs space {};
    if (statvfs(dir.path().c_str(), &space) != 0 ||
        std::uintmax_t{space.f_bavail} * space.f_frsize < 3 * kSize) {
        GTEST_SKIP() << "the temporary folder cannot hold two copies of a 3 GiB signed file";
    }
    const std::string document = (dir / "big.bin").string();
    WriteFile(document, "");
    fs::resize_file(document, kSize);  // sparse
    install(pki.alice);
    ui.picks.push_back(0);
    use("");  // signed without a token, to get one afterwards
    ASSERT_EQ(SignFile(ui, document, document + ".sig"), Outcome::Completed);
    use(tsa.url());
    fs::remove(document);
    const std::string sig = document + ".sig";
    const std::uintmax_t signedSize = fs::file_size(sig);

    // The peak of this process's memory starts again from what it holds now.
    std::ofstream("/proc/self/clear_refs") << "5";
    const std::uint64_t now = StatusKiB("VmRSS");
    ASSERT_EQ(TimeStampFile(ui, sig), Outcome::Completed);
    EXPECT_LT(StatusKiB("VmHWM"), now + 32 * 1024);
    EXPECT_GT(fs::file_size(sig), signedSize);
    EXPECT_LT(fs::file_size(sig), signedSize + 16384);
}

// Whatever goes wrong with the service, signing and co-signing show the one
// message and write nothing; a service that never answers ends at the timeout.
TEST_F(TimeStampFileTest, AServiceThatFailsLeavesEveryFileAsItWasWhenSigning) {
    install(pki.alice);
    const std::string input = file("report.pdf", "report");
    const std::string earlier = input + ".earlier.sig";
    ui.picks = {0};
    use("");
    ASSERT_EQ(SignFile(ui, input, earlier), Outcome::Completed);
    const std::string signedBytes = ReadFile(earlier);
    SilentPort silent;
    for (const std::string& url :
         {tsa.url("other"), tsa.url("unfit"), tsa.url("refuse"), tsa.url("broken"),
          "http://127.0.0.1:" + std::to_string(silent.port()) + "/tsa"}) {
        SCOPED_TRACE(url);
        use(url, 1);
        ScriptedUserInterface person;
        person.picks = {0, 0};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(SignFile(person, input, input + ".sig"), Outcome::Failed);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(CoSignContent(person, earlier, earlier), Outcome::Failed);
        // (The co-sign shows the verification first.)
        ASSERT_EQ(person.messages.size(), 3u);
        EXPECT_EQ(person.messages.front().text, kTimeStampFailed);
        EXPECT_EQ(person.messages.back().text, kTimeStampFailed);
        EXPECT_FALSE(fs::exists(input + ".sig"));
        EXPECT_EQ(ReadFile(earlier), signedBytes);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 4)
        << "no temporary file is left";
}

}  // namespace
}  // namespace quilvane::test
