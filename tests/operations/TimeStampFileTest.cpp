// Time-stamping signed files in place, against a real time-stamping service
// on the loopback interface (openssl ts -reply behind the loopback server).

#include <openssl/objects.h>

#include "OperationsTest.h"
#include "crypto/Network.h"
#include "support/LoopbackServices.h"

namespace quilvane::test {
namespace {

const std::string kTimeStampFailed =
    "An error occured while time stamping the file. Either you are not connected to internet or "
    "the time-stamp server is not functioning.";

class TimeStampFileTest : public OperationsTest {
  protected:
    void SetUp() override {
        if (!services.running()) {
            GTEST_SKIP() << "python3 is needed for the loopback services";
        }
        const Identity tsa =
            pki.pki.issueBy(pki.pki.root(), "tsa", "/CN=Quilvane Test TSA", KeyType::Ec,
                            {{NID_ext_key_usage, "critical,timeStamping"},
                             {NID_key_usage, "critical,digitalSignature"}});
        fs::copy_file(pki.pki.folder() / "root.pem", home.root() / "root.pem");
        const fs::path& www = services.folder();
        WriteFile(www / "tsa.cnf",
                  "[tsa]\ndefault_tsa = here\n[here]\nserial = ./serial\n"
                  "crypto_device = builtin\nsigner_cert = " +
                      tsa.cert.string() + "\nsigner_key = " + tsa.key.string() +
                      "\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                      "digests = sha256\naccuracy = secs:1\ntsa_name = yes\n"
                      "ess_cert_id_alg = sha256\n");
        WriteFile(www / "tsa.sh",
                  "exec openssl ts -reply -config tsa.cnf -queryfile /dev/stdin -out /dev/stdout "
                  "2>/dev/null\n");
        WriteFile(www / "tsa.type", "application/timestamp-reply");
        // A granted status would be 0: this one is a rejection.
        WriteFile(www / "refuse.sh", "printf '\\060\\005\\060\\003\\002\\001\\002'\n");
        WriteFile(www / "refuse.type", "application/timestamp-reply");
        use(services.url("/run/tsa"));
    }
    void TearDown() override { UseNetworkSettings({}); }

    static void use(const std::string& url) {
        NetworkSettings settings;
        settings.timestampUrl = url;
        settings.timeoutSeconds = 2;
        UseNetworkSettings(settings);
    }

    LoopbackServices services{dir / "www"};
};

TEST_F(TimeStampFileTest, WithoutAServiceOrWithOneThatRefusesNothingChanges) {
    const std::string sig = opensslSigned("contract.txt", "terms", {pki.alice});
    const std::string before = ReadFile(sig);
    const std::string noService =
        "No time-stamp service is set, so \"" + sig + "\" was not changed.";
    SilentPort silent;
    const std::pair<std::string, std::string> cases[] = {
        {"", noService},
        {services.url("/run/refuse"), kTimeStampFailed},
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

}  // namespace
}  // namespace quilvane::test
