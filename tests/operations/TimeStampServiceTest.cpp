// Signing and co-signing with a time-stamping service on the loopback
// interface that fails. (One that answers: TokenTest and the crypto tests.)

#include <chrono>
#include <optional>

#include "OperationsTest.h"
#include "crypto/Network.h"
#include "support/LoopbackServices.h"
#include "support/TimeStampAuthority.h"

namespace quilvane::test {
namespace {

const std::string kTimeStampFailed =
    "An error occured while time stamping the file. Either you are not connected to internet or "
    "the time-stamp server is not functioning.";

class TimeStampServiceTest : public OperationsTest {
  protected:
    void SetUp() override {
        if (!services.running()) {
            GTEST_SKIP() << "python3 is needed for the loopback services";
        }
        fs::create_directories(home.root());
        fs::copy_file(pki.pki.root().cert, home.root() / "root.pem");
        install(pki.alice);
        tsa.emplace(services, pki.pki);
    }
    void TearDown() override { UseNetworkSettings({}); }

    void use(const std::string& url, int timeout = 10) {
        NetworkSettings settings;
        settings.timestampUrl = url;
        settings.timeoutSeconds = timeout;
        UseNetworkSettings(settings);
    }
    // `document` signed by Alice into NAME.sig; its path.
    std::string signedFile(const std::string& name, const std::string& document) {
        const std::string input = file(name, document);
        ScriptedUserInterface person;
        person.picks = {0};
        EXPECT_EQ(SignFile(person, input, input + ".sig"), Outcome::Completed);
        return input + ".sig";
    }

    LoopbackServices services{dir / "www"};
    std::optional<TimeStampAuthority> tsa;
};

// Whatever goes wrong with the service, signing and co-signing show the one
// message and write nothing; a service that never answers ends at the timeout.
TEST_F(TimeStampServiceTest, AServiceThatFailsLeavesEveryFileAsItWas) {
    const std::string earlier = signedFile("earlier.pdf", "earlier");
    const std::string signedBytes = ReadFile(earlier);
    const std::string input = file("report.pdf", "report");
    SilentPort silent;
    for (const std::string& url :
         {tsa->url("other"), tsa->url("unfit"), tsa->url("refuse"), tsa->url("broken"),
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
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 5)
        << "no temporary file is left";
}

}  // namespace
}  // namespace quilvane::test
