// Signature time-stamps from a real time-stamping authority on the loopback
// interface: asked for when signing, checked when verifying.

#include <chrono>
#include <optional>
#include <thread>

#include "CryptoTest.h"
#include "crypto/Network.h"
#include "support/LoopbackServices.h"
#include "support/TimeStampAuthority.h"

namespace quilvane::test {
namespace {

class TimeStampTest : public CryptoTest {
  protected:
    void SetUp() override {
        SKIP_WITHOUT(services);
        fs::create_directories(home.root());
        fs::copy_file(pki.pki.root().cert, home.root() / "root.pem");
        tsa.emplace(services, pki.pki);
        use("tsa");
    }
    void TearDown() override { UseNetworkSettings({}); }

    void use(const std::string& service) {
        NetworkSettings settings;
        settings.timestampUrl = service.empty() ? "" : tsa->url(service);
        UseNetworkSettings(settings);
    }
    // The trust in each signer of `message`, verified with `flag`.
    std::vector<CertificateTrust> judge(const std::string& message,
                                        VerifyFlag flag = VerifyFlag::SignatureOnly) {
        SignedData data;
        MemorySource source(message);
        data.Verify(source, nullptr, flag);
        return data.Trust();
    }

    LoopbackServices services{dir / "www"};
    std::optional<TimeStampAuthority> tsa;
};

TEST_F(TimeStampTest, SignsAndCoSignsWithATokenThatOpensslAndVerifyingHoldTo) {
    // Large enough for a layout made ahead: the token's room is kept in it.
    const std::string document(200000, 'x');
    std::string message;
    for (const auto& [id, patchable] :
         {std::pair{pki.alice, true}, std::pair{pki.bob, true}, std::pair{pki.alice, false}}) {
        SCOPED_TRACE(id.cert.filename().string() + (patchable ? " patched" : " read twice"));
        const std::time_t before = std::time(nullptr);
        message = Signed(mine(id), document, patchable);
        const std::string token = TokenOf(message, 0);
        ASSERT_FALSE(token.empty());
        const std::string checked =
            Openssl("ts -verify -digest", SignatureDigest(message), "-in", save("token", token),
                    "-token_in -CAfile", pki.pki.root().cert, "-untrusted", tsa->identity().cert);
        EXPECT_NE(checked.find("Verification: OK"), std::string::npos) << checked;

        const CertificateTrust trust = judge(message, VerifyFlag::SignatureAndCertificate).at(0);
        EXPECT_EQ(trust.verdict, Verdict::Trusted);
        ASSERT_EQ(trust.timeStamps.size(), 1u);
        EXPECT_TRUE(trust.timeStamps[0].valid) << trust.timeStamps[0].problem;
        EXPECT_EQ(trust.timeStamps[0].authority, "Quilvane Test TSA");
        EXPECT_GE(trust.timeStamps[0].time, before - 1);
        EXPECT_LE(trust.timeStamps[0].time, std::time(nullptr) + 1);
    }

    // A co-signature gets a token of its own; the first one's stays as it was.
    Signer bob;
    bob.Certificate(mine(pki.bob));
    SignedData data;
    MemorySource source(message);
    MemorySource again(message);
    data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
    MemorySink out;
    data.CoSign(again, out, bob);
    EXPECT_TRUE(TokenOf(out.text, 0) == TokenOf(message, 0) ||
                TokenOf(out.text, 1) == TokenOf(message, 0));
    for (const CertificateTrust& trust : judge(out.text)) {
        ASSERT_EQ(trust.timeStamps.size(), 1u);
        EXPECT_TRUE(trust.timeStamps[0].valid) << trust.subject;
    }
    EXPECT_EQ(services.requests("/run/tsa"), 4);
}

// A token over another signature breaks the signer; one from an authority
// not meant for time-stamping, or without its certificate, proves nothing,
// and the signer is judged now.
TEST_F(TimeStampTest, ATokenThatDoesNotHoldBreaksOrProvesNothing) {
    const std::string message = Signed(mine(pki.alice), "document");
    const fs::path folder = services.folder();
    // Tokens over this signature, by `script` for a request with `options`.
    const auto token = [&](const std::string& script, const std::string& options) {
        Openssl("ts -query -sha256", options, "-digest", SignatureDigest(message), "-out",
                folder / "query.der");
        test::Run("cd " + Quote(folder.string()) + " && sh " + script + " <query.der >reply.der");
        Openssl("ts -reply -in", folder / "reply.der", "-token_out -out", folder / "token.der");
        return ReadFile(folder / "token.der");
    };
    using Case = std::tuple<std::string, Verdict, std::string, std::string>;
    for (const auto& [stamp, verdict, detail, problem] : {
             Case{TokenOf(Signed(mine(pki.alice), "another document"), 0), Verdict::TimeStampBroken,
                  "it was made for another signature", "it was made for another signature"},
             Case{token("unfit.sh", "-cert"), Verdict::Trusted, "",
                  "the time-stamping authority Unfit TSA is not trusted (unsuitable certificate "
                  "purpose)"},
             Case{token("tsa.sh", "-no_nonce"), Verdict::Trusted, "",
                  "the certificate of its time-stamping authority is not in the file"},
         }) {
        SCOPED_TRACE(problem);
        const CertificateTrust trust = judge(WithToken(message, stamp)).at(0);
        EXPECT_EQ(trust.verdict, verdict);
        EXPECT_EQ(trust.detail, detail);
        ASSERT_EQ(trust.timeStamps.size(), 1u);
        EXPECT_FALSE(trust.timeStamps[0].valid);
        EXPECT_EQ(trust.timeStamps[0].problem, problem);
        EXPECT_EQ(Raised([&] {
                      judge(WithToken(message, stamp), VerifyFlag::SignatureAndCertificate);
                  }).first,
                  verdict == Verdict::Trusted ? 0 : SignatureMismatch);
    }
}

TEST_F(TimeStampTest, AnExpiredSignerStandsByItsTimeStamp) {
    const std::time_t end = std::time(nullptr) + 3;
    std::tm utc{};
    gmtime_r(&end, &utc);
    char notAfter[16];
    std::strftime(notAfter, sizeof notAfter, "%Y%m%d%H%M%SZ", &utc);
    const Identity erin = pki.pki.issue("erin", "/CN=Erin Ending", KeyType::Ec, "", notAfter);
    const std::string stamped = Signed(mine(erin), "document");
    use("");
    const std::string plain = Signed(mine(erin), "document");
    std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(end + 1));

    EXPECT_EQ(judge(stamped, VerifyFlag::SignatureAndCertificate).at(0).verdict, Verdict::Trusted);
    EXPECT_EQ(judge(plain).at(0).verdict, Verdict::Expired);
    EXPECT_EQ(Raised([&] { judge(plain, VerifyFlag::SignatureAndCertificate); }).first,
              CertificateExpired);
}

}  // namespace
}  // namespace quilvane::test
