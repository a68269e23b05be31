#include <openssl/objects.h>

#include "CryptoTest.h"
#include "support/Forge.h"

namespace quilvane::test {

class SignerChecksTest : public CryptoTest {
  protected:
    // Verifies `message`, then has Bob co-sign it: what was raised first.
    Raise verifyAndCoSign(const std::string& message) {
        return Raised([&] {
            SignedData data;
            MemorySource source(message);
            data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
            Signer bob;
            bob.Certificate(mine(pki.bob));
            bob.AuthenticatedAttributes().Add({AttributeName::SigningTime, DateTime{1000000000}});
            source.Rewind();
            MemorySink out;
            data.CoSign(source, out, bob);
        });
    }
};

// Puts a signing time of `type` with each of `values` in place of the one
// signed, and signs again as `id`.
Change SigningTime(const Identity& id, int type, std::vector<std::string> values) {
    return [=](CMS_ContentInfo*, CMS_SignerInfo* info) {
        X509_ATTRIBUTE_free(CMS_signed_delete_attr(
            info, CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1)));
        for (const std::string& value : values) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
            const int size = static_cast<int>(value.size());
            const int at = CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1);
            ASSERT_EQ(
                at < 0 ? CMS_signed_add1_attr_by_NID(info, NID_pkcs9_signingTime, type, bytes, size)
                       : X509_ATTRIBUTE_set1_data(CMS_signed_get_attr(info, at), type, bytes, size),
                1);
        }
        SignAgain(info, id);
    };
}

TEST_F(SignerChecksTest, RefusesSignedAttributesThatContradictTheMessageOrCannotBeKept) {
    const std::string wrongType =
        "The signature of Alice Example does not match the document: it was made over content of "
        "another type.";
    const std::string badTime = "The signing time in the signature of Alice Example is damaged.";
    using Case = std::pair<std::string, Raise>;
    for (const auto& [message, expected] : {
             Case{Forge(pki.alice, "doc"), {}},
             // The content relabelled after signing: the signed type says plain data.
             Case{Forge(pki.alice, "doc",
                        [](CMS_ContentInfo*cms, CMS_SignerInfo*) {
                            ASSERT_EQ(CMS_set1_eContentType(cms, OBJ_nid2obj(NID_pkcs7_signed)), 1);
                        }),
                  {SignatureMismatch, wrongType}},
             Case{
                 Forge(pki.alice, "doc", SigningTime(pki.alice, V_ASN1_UTCTIME, {"ZZZZZZZZZZZZZ"})),
                 {BadMessage, badTime}},
             Case{Forge(pki.alice, "doc",
                        SigningTime(pki.alice, V_ASN1_UTCTIME, {"240506070809Z", "250506070809Z"})),
                  {BadMessage, badTime}},
             // Valid, but OpenSSL would write the attributes sorted and break the signature.
             Case{Unsorted(Forge(pki.alice, "doc"), pki.alice),
                  {Failed,
                   "The signature of Alice Example is not written in DER form and would change if "
                   "the file were written again, so no signature can be added to it."}},
         }) {
        EXPECT_EQ(verifyAndCoSign(message), expected);
    }
}

TEST_F(SignerChecksTest, JudgesHowFarEachSignersCertificateCanBeTrusted) {
    fs::copy_file(pki.pki.root().cert, home.root() / "root.pem");
    const Identity expired = pki.pki.issue("sc-expired", "/CN=Erin Expired", KeyType::Ec,
                                           "20200101000000Z", "20210101000000Z");
    const Identity future = pki.pki.issue("sc-future", "/CN=Frank Future", KeyType::Ec,
                                          "20500101000000Z", "20600101000000Z");
    const Identity selfMade = NamedIdentity(dir.path(), "sc-self", "Alice Example");
    const fs::path document = save("document.txt", "judged");
    const auto signedBy = [&](const Identity& id, const std::string& digest) {
        OpensslSign(document, dir / "signed.sig", {id}, "-md " + digest);
        SignedData data;
        MemorySource source(ReadFile(dir / "signed.sig"));
        data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
        return data.Trust().at(0);
    };
    using Case = std::tuple<const Identity*, const char*, Verdict, std::time_t, std::string>;
    for (const auto& [id, digest, verdict, when, detail] : {
             Case{&pki.alice, "sha256", Verdict::Trusted, 0, ""},
             Case{&pki.alice, "md5", Verdict::BrokenDigest, 0, "MD5"},
             Case{&pki.alice, "sha1", Verdict::BrokenDigest, 0, "SHA-1"},
             Case{&expired, "sha256", Verdict::Expired, 1609459200, ""},
             Case{&future, "sha256", Verdict::NotYetValid, 2524608000, ""},
             Case{&selfMade, "sha256", Verdict::SelfSigned, 0, ""},
         }) {
        const CertificateTrust trust = signedBy(*id, digest);
        EXPECT_EQ(trust.verdict, verdict) << id->cert << digest;
        EXPECT_EQ(trust.when, when) << id->cert;
        EXPECT_EQ(trust.detail, detail) << id->cert;
    }
}

}  // namespace quilvane::test
