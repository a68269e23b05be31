// Requests to real servers on the loopback interface, under the run's settings.

#include <gtest/gtest.h>

#include <openssl/objects.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "crypto/Network.h"
#include "internal/Http.h"
#include "support/LoopbackServices.h"
#include "support/Raised.h"
#include "support/TestPki.h"

namespace quilvane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class NetworkTest : public ::testing::Test {
  protected:
    void SetUp() override { SKIP_WITHOUT(services); }
    void TearDown() override {
        UseNetworkSettings({});
        UseNetworkWaitCheck({});
    }
    TempDir dir;
    LoopbackServices services{dir / "www"};
};

// An environment variable set for the life of the object.
class Variable {
  public:
    Variable(const char* name, const std::string& value) : name_(name) {
        setenv(name, value.c_str(), 1);
    }
    ~Variable() { unsetenv(name_); }

  private:
    const char* name_;
};

// (Offline asking nothing: RevocationTest; a silent service ending at the
// timeout: TimeStampFileTest.)
TEST_F(NetworkTest, AStopEndsAWaitAtOnce) {
    std::vector<std::string> hosts;
    const auto start = Clock::now();
    UseNetworkWaitCheck([&](const std::string& host) {
        hosts.push_back(host);
        if (Clock::now() - start > 300ms) {
            throw Error(status::Stopped, "Stopped.");
        }
    });
    EXPECT_EQ(Raised([&] { HttpGet(services.url("/silent/x"), 1024); }).first, status::Stopped);
    EXPECT_LT(Clock::now() - start, 500ms);
    ASSERT_GE(hosts.size(), 3u);
    EXPECT_EQ(hosts.front(), "127.0.0.1");
}

TEST_F(NetworkTest, OneServerIsAskedOneThingAtATime) {
    WriteFile(services.folder() / "slow.sh",
              "echo start >>slow.log; sleep 0.3; echo end >>slow.log; printf '\\060\\000'\n");
    const std::vector<std::uint8_t> body = {0x30, 0x00};
    const auto ask = [&] {
        EXPECT_EQ(Raised([&] {
                      HttpPost(services.url("/run/slow"), "application/octet-stream", body,
                               nullptr);
                  }).first,
                  0);
    };
    std::thread other(ask);
    ask();
    other.join();
    EXPECT_EQ(ReadFile(services.folder() / "slow.log"), "start\nend\nstart\nend\n");
}

TEST_F(NetworkTest, GetsFilesThroughTheProxyTheEnvironmentNamesUnlessToldNotTo) {
    WriteFile(services.folder() / "ca.crl", std::string("\x30\x00", 2));
    {
        const Variable proxy("http_proxy", services.url(""));
        EXPECT_EQ(HttpGet("http://crl.example.invalid/files/ca.crl", 1024).size(), 2u);
        EXPECT_EQ(services.requests("http://crl.example.invalid/files/ca.crl"), 1);
    }
    // A proxy that would never answer, passed by for the host no_proxy names.
    SilentPort silent;
    const Variable proxy("http_proxy", "http://127.0.0.1:" + std::to_string(silent.port()));
    const Variable direct("no_proxy", "127.0.0.1");
    EXPECT_EQ(HttpGet(services.url("/files/ca.crl"), 1024).size(), 2u);
    EXPECT_EQ(Raised([&] { HttpGet(services.url("/files/none.crl"), 1024); }).first,
              status::NetworkFailed);
    EXPECT_EQ(services.requests("/files/"), 2);
}

TEST_F(NetworkTest, HttpsTrustsAServerOnlyThroughTheSystemsRoots) {
    Pki pki(dir.path() / "pki");
    const Identity server = pki.issueBy(pki.root(), "server", "/CN=127.0.0.1", KeyType::Ec,
                                        {{NID_subject_alt_name, "IP:127.0.0.1"}});
    LoopbackServices tls(dir / "tls", server.cert, server.key);
    SKIP_WITHOUT(tls);
    WriteFile(tls.folder() / "ca.crl", std::string("\x30\x00", 2));
    {
        const Variable roots("SSL_CERT_FILE", pki.root().cert.string());
        EXPECT_EQ(HttpGet(tls.url("/files/ca.crl"), 1024).size(), 2u);
    }
    const Variable roots("SSL_CERT_FILE", SharedPki::get().pki.root().cert.string());
    EXPECT_EQ(Raised([&] { HttpGet(tls.url("/files/ca.crl"), 1024); }).first,
              status::NetworkFailed);
    EXPECT_EQ(tls.requests("/files/"), 1);
}

}  // namespace
}  // namespace quilvane::test
