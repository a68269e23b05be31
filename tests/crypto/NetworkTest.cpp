// Requests to real servers on the loopback interface, under the run's settings.

#include <gtest/gtest.h>

#include <chrono>

#include "crypto/Network.h"
#include "internal/Http.h"
#include "support/LoopbackServices.h"
#include "support/Raised.h"
#include "support/TestPki.h"

namespace quilvane::test {
namespace {

class NetworkTest : public ::testing::Test {
  protected:
    void TearDown() override { UseNetworkSettings({}); }
    TempDir dir;
};

TEST_F(NetworkTest, GetsAFileAndRefusesWhatIsNotThere) {
    LoopbackServices services(dir.path() / "www");
    if (!services.running()) {
        GTEST_SKIP() << "python3 is needed for the loopback services";
    }
    WriteFile(services.folder() / "ca.crl", std::string("\x30\x03\x02\x01\x05", 5));
    const auto got = HttpGet(services.url("/files/ca.crl"), 1024);
    EXPECT_EQ(got.size(), 5u);
    EXPECT_EQ(Raised([&] { HttpGet(services.url("/files/none.crl"), 1024); }).first,
              status::NetworkFailed);
    EXPECT_EQ(services.requests("/files/"), 2);
}

TEST_F(NetworkTest, OfflineAsksNothingAndASilentServerEndsAtTheTimeout) {
    LoopbackServices services(dir.path() / "www");
    if (!services.running()) {
        GTEST_SKIP() << "python3 is needed for the loopback services";
    }
    NetworkSettings offline;
    offline.offline = true;
    UseNetworkSettings(offline);
    EXPECT_EQ(Raised([&] { HttpGet(services.url("/files/x"), 1024); }).first,
              status::NetworkFailed);
    EXPECT_EQ(services.requests("/"), 0);

    NetworkSettings quick;
    quick.timeoutSeconds = 1;
    UseNetworkSettings(quick);
    SilentPort silent;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Raised([&] {
                  HttpGet("http://127.0.0.1:" + std::to_string(silent.port()) + "/x", 1024);
              }).first,
              status::NetworkFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
}  // namespace quilvane::test
