// Signature time-stamps from a real time-stamping authority on the loopback
// interface: asked for when signing, checked when verifying.

#include <openssl/cms.h>
#include <openssl/evp.h>

#include <chrono>
#include <optional>
#include <thread>

#include "CryptoTest.h"
#include "crypto/Network.h"
#include "internal/Handles.h"
#include "support/LoopbackServices.h"
#include "support/TimeStampAuthority.h"

namespace quilvane::test {
namespace {

ossl::CmsPtr Parse(const std::string& message) {
    const auto* next = reinterpret_cast<const unsigned char*>(message.data());
    return ossl::CmsPtr(d2i_CMS_ContentInfo(nullptr, &next, static_cast<long>(message.size())));
}

CMS_SignerInfo* InfoOf(CMS_ContentInfo* cms, int index) {
    return sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), index);
}

// The DER of the signature time-stamp token of signer `index`; "" for none.
std::string TokenOf(const std::string& message, int index) {
    ossl::CmsPtr cms = Parse(message);
    const int at =
        CMS_unsigned_get_attr_by_NID(InfoOf(cms.get(), index), NID_id_smime_aa_timeStampToken, -1);
    if (at < 0) {
        return {};
    }
    const ASN1_TYPE* value =
        X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(InfoOf(cms.get(), index), at), 0);
    const auto* data = ASN1_STRING_get0_data(value->value.sequence);
    return {reinterpret_cast<const char*>(data),
            static_cast<std::size_t>(ASN1_STRING_length(value->value.sequence))};
}

// The SHA-256 of the signature value of the first signer, in hex.
std::string SignatureDigest(const std::string& message) {
    ossl::CmsPtr cms = Parse(message);
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(InfoOf(cms.get(), 0));
    unsigned char digest[32];
    EVP_Digest(ASN1_STRING_get0_data(value), static_cast<std::size_t>(ASN1_STRING_length(value)),
               digest, nullptr, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned char byte : digest) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

// `message` with the first signer's time-stamp replaced by `token`.
std::string WithToken(const std::string& message, const std::string& token) {
    ossl::CmsPtr cms = Parse(message);
    CMS_SignerInfo* info = InfoOf(cms.get(), 0);
    X509_ATTRIBUTE_free(CMS_unsigned_delete_attr(
        info, CMS_unsigned_get_attr_by_NID(info, NID_id_smime_aa_timeStampToken, -1)));
    ossl::AsnStringPtr value(ASN1_STRING_type_new(V_ASN1_SEQUENCE));
    ASN1_STRING_set(value.get(), token.data(), static_cast<int>(token.size()));
    CMS_unsigned_add1_attr_by_NID(info, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE,
                                  value.get(), -1);
    const Bytes der = ossl::EncodeDer(cms.get(), "encode");
    return {reinterpret_cast<const char*>(der.data()), der.size()};
}

class TimeStampTest : public CryptoTest {
  protected:
    void SetUp() override {
        if (!services.running()) {
            GTEST_SKIP() << "python3 is needed for the loopback services";
        }
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
    std::string sign(const Identity& id, const std::string& document, bool patchable = true) {
        Signer signer;
        signer.Certificate(mine(id));
        MemorySource source(document);
        MemorySink patch;
        AppendSink append;
        SignedData().Sign(source, patchable ? patch : append, signer);
        return patchable ? patch.text : append.text;
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

TEST_F(TimeStampTest, SignsWithATokenOverTheSignatureThatOpensslAndVerifyingHoldTo) {
    // Large enough for a layout made ahead: the token's room is kept in it.
    const std::string document(200000, 'x');
    for (const auto& [id, patchable] :
         {std::pair{pki.alice, true}, std::pair{pki.bob, true}, std::pair{pki.alice, false}}) {
        SCOPED_TRACE(id.cert.filename().string() + (patchable ? " patched" : " read twice"));
        const std::time_t before = std::time(nullptr);
        const std::string message = sign(id, document, patchable);
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
    EXPECT_EQ(services.requests("/run/tsa"), 3);
}

TEST_F(TimeStampTest, CoSigningKeepsTheFirstTokenAsItWas) {
    const std::string first = sign(pki.alice, "document");
    Signer bob;
    bob.Certificate(mine(pki.bob));
    SignedData data;
    MemorySource source(first);
    data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
    MemorySource again(first);
    MemorySink out;
    data.CoSign(again, out, bob);

    const std::vector<std::string> tokens = {TokenOf(out.text, 0), TokenOf(out.text, 1)};
    EXPECT_TRUE(tokens[0] == TokenOf(first, 0) || tokens[1] == TokenOf(first, 0));
    for (const CertificateTrust& trust : judge(out.text)) {
        ASSERT_EQ(trust.timeStamps.size(), 1u);
        EXPECT_TRUE(trust.timeStamps[0].valid) << trust.subject;
    }
}

// A token over another signature breaks the signer; one from an authority
// not meant for time-stamping proves nothing, and the signer is judged now.
TEST_F(TimeStampTest, ATokenThatDoesNotHoldBreaksOrProvesNothing) {
    const std::string message = sign(pki.alice, "document");
    const std::string other = sign(pki.alice, "another document");
    Openssl("ts -query -sha256 -cert -digest", SignatureDigest(message), "-out",
            services.folder() / "query.der");
    test::Run("cd " + Quote(services.folder().string()) + " && sh unfit.sh <query.der >reply.der");
    Openssl("ts -reply -in", services.folder() / "reply.der", "-token_out -out",
            services.folder() / "unfit.der");

    const CertificateTrust swapped = judge(WithToken(message, TokenOf(other, 0))).at(0);
    EXPECT_EQ(swapped.verdict, Verdict::TimeStampBroken);
    EXPECT_EQ(swapped.detail, "it was made for another signature");
    EXPECT_EQ(Raised([&] {
                  judge(WithToken(message, TokenOf(other, 0)), VerifyFlag::SignatureAndCertificate);
              }).first,
              SignatureMismatch);

    const CertificateTrust unfit =
        judge(WithToken(message, ReadFile(services.folder() / "unfit.der"))).at(0);
    EXPECT_EQ(unfit.verdict, Verdict::Trusted);
    ASSERT_EQ(unfit.timeStamps.size(), 1u);
    EXPECT_FALSE(unfit.timeStamps[0].valid);
    EXPECT_EQ(unfit.timeStamps[0].problem,
              "the time-stamping authority Unfit TSA is not trusted (unsuitable certificate "
              "purpose)");
}

TEST_F(TimeStampTest, AnExpiredSignerStandsByItsTimeStamp) {
    const std::time_t end = std::time(nullptr) + 3;
    std::tm utc{};
    gmtime_r(&end, &utc);
    char notAfter[16];
    std::strftime(notAfter, sizeof notAfter, "%Y%m%d%H%M%SZ", &utc);
    const Identity erin = pki.pki.issue("erin", "/CN=Erin Ending", KeyType::Ec, "", notAfter);
    const std::string stamped = sign(erin, "document");
    use("");
    const std::string plain = sign(erin, "document");
    std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(end + 1));

    EXPECT_EQ(judge(stamped, VerifyFlag::SignatureAndCertificate).at(0).verdict, Verdict::Trusted);
    EXPECT_EQ(judge(plain).at(0).verdict, Verdict::Expired);
    EXPECT_EQ(Raised([&] { judge(plain, VerifyFlag::SignatureAndCertificate); }).first,
              CertificateExpired);
}

}  // namespace
}  // namespace quilvane::test
