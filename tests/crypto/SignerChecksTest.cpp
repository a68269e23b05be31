#include <openssl/ess.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include "CryptoTest.h"
#include "internal/Handles.h"
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

// Adds a signing-certificate-v2 attribute that names `named`'s certificate,
// and signs again as `id`.
Change BoundTo(const Identity& id, const Identity& named) {
    return [=](CMS_ContentInfo*, CMS_SignerInfo* info) {
        const ossl::BioPtr file(BIO_new_file(named.cert.c_str(), "r"));
        const ossl::X509Ptr certificate(PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr));
        const ossl::EssCertV2Ptr binding(
            OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), certificate.get(), nullptr, 0));
        unsigned char* der = nullptr;
        const int size = i2d_ESS_SIGNING_CERT_V2(binding.get(), &der);
        const ossl::MemPtr<unsigned char> owner(der);
        ASSERT_EQ(CMS_signed_add1_attr_by_NID(info, NID_id_smime_aa_signingCertificateV2,
                                              V_ASN1_SEQUENCE, der, size),
                  1);
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
             Case{Forge(pki.alice, "doc", BoundTo(pki.alice, pki.alice)), {}},
             Case{Forge(pki.alice, "doc", BoundTo(pki.alice, pki.carol)),
                  {SignatureMismatch,
                   "The signature of Alice Example is bound to another "
                   "certificate than the one it came with."}},
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

// (How far a signer's certificate is trusted: TrustTest. CAdES told from plain
// CMS: SignedDataTest's Ed25519 test and the JSON report.)

}  // namespace quilvane::test
