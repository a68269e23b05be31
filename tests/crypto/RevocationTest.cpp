// Revocation of signers' chains, asked of a real OCSP responder (openssl ocsp)
// and real CRLs (openssl ca -gencrl) served on the loopback interface.

#include <openssl/objects.h>

#include "CryptoTest.h"
#include "crypto/Network.h"
#include "support/LoopbackServices.h"

namespace quilvane::test {
namespace {

enum Services { None = 0, Ocsp = 1, Crl = 2 };

class RevocationTest : public CryptoTest {
  protected:
    void SetUp() override {
        SKIP_WITHOUT(services);
        fs::copy_file(authorities.root().cert, home.root() / "root.pem");
        const Pki::Extensions rootCrl{
            {NID_crl_distribution_points, "URI:" + services.url("/files/root.crl")}};
        ca = authorities.issueBy(authorities.root(), "ca", "/CN=Revocation Test CA", KeyType::Ec,
                                 rootCrl, true);
        revokedCa = authorities.issueBy(authorities.root(), "revoked-ca", "/CN=Revoked Test CA",
                                        KeyType::Ec, rootCrl, true);
        const Identity responder =
            authorities.issueBy(ca, "ocsp", "/CN=Revocation Test Responder", KeyType::Ec,
                                {{NID_ext_key_usage, "OCSPSigning"}});
        list(ca, "root", false);
        list(revokedCa, "root", true, "cACompromise");
        WriteFile(www() / "ocsp.type", "application/ocsp-response");
        WriteFile(www() / "ocsp.sh", "exec openssl ocsp -index ca.txt -CA " + Quote(ca.cert) +
                                         " -rsigner " + Quote(responder.cert) + " -rkey " +
                                         Quote(responder.key) +
                                         " -reqin /dev/stdin -respout /dev/stdout -nmin 5"
                                         " 2>/dev/null\n");
    }
    void TearDown() override { UseNetworkSettings({}); }

    fs::path www() const { return services.folder(); }

    // Lists `id` in the database of `authority` ("ca" or "root"), revoked or
    // not, and publishes that authority's CRL anew.
    void list(const Identity& id, const std::string& authority, bool revoked,
              const std::string& reason = "keyCompromise") {
        const std::string serial =
            Openssl("x509 -noout -serial -in", id.cert).substr(std::string("serial=").size());
        const fs::path index = www() / (authority + ".txt");
        std::string entry = std::string(revoked ? "R" : "V") + "\t301231000000Z\t" +
                            (revoked ? "261201000000Z," + reason : "") + "\t" +
                            serial.substr(0, serial.find('\n')) +
                            "\tunknown\t/CN=" + serial.substr(0, 8) + "\n";
        WriteFile(index, (fs::exists(index) ? ReadFile(index) : "") + entry);
        const Identity& issuer = authority == "ca" ? ca : authorities.root();
        WriteFile(dir / "gencrl.cnf",
                  "[ca]\ndefault_ca=d\n[d]\ndefault_md=sha256\n"
                  "default_crl_days=1\ndatabase=" +
                      index.string() + "\n");
        Openssl("ca -batch -gencrl -config", dir / "gencrl.cnf", "-keyfile", issuer.key, "-cert",
                issuer.cert, "-out", dir / "crl.pem", "2>&1");
        Openssl("crl -in", dir / "crl.pem", "-outform DER -out", www() / (authority + ".crl"));
    }

    // A signer issued by `issuer` that publishes `published`, listed with the CA.
    Identity person(const std::string& stem, int published, bool revoked = false,
                    const std::string& reason = "keyCompromise", const Identity* issuer = nullptr) {
        Pki::Extensions services_;
        if ((published & Ocsp) != 0) {
            services_.push_back({NID_info_access, "OCSP;URI:" + services.url("/run/ocsp")});
        }
        if ((published & Crl) != 0) {
            services_.push_back(
                {NID_crl_distribution_points, "URI:" + services.url("/files/ca.crl")});
        }
        Identity id = authorities.issueBy(issuer != nullptr ? *issuer : ca, stem,
                                          "/CN=" + stem + " Example", KeyType::Ec, services_);
        if (issuer == nullptr) {
            list(id, "ca", revoked, reason);
        }
        return id;
    }

    // Signed by `id`, with the certificate of `issuer` (the CA's when null) beside.
    fs::path signedBy(const Identity& id, const std::string& name = "doc",
                      const Identity* issuer = nullptr) {
        const fs::path out = dir / (name + ".sig");
        OpensslSign(save(name + ".txt", "revocation test\n"), out, {id},
                    "-certfile " + Quote((issuer != nullptr ? *issuer : ca).cert.string()));
        return out;
    }

    // The verdict on the one signer of `message`, and what checking its chain
    // as co-signing does raised.
    std::pair<CertificateTrust, Raise> judge(const fs::path& message) {
        SignedData data;
        MemorySource source(ReadFile(message));
        data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
        MemorySource again(ReadFile(message));
        return {data.Trust().at(0), Raised([&] {
                    SignedData().Verify(again, nullptr, VerifyFlag::SignatureAndCertificate);
                })};
    }

    TempDir pkiDir;
    Pki authorities{pkiDir.path()};
    LoopbackServices services{pkiDir / "www"};
    Identity ca, revokedCa;
};

TEST_F(RevocationTest, AsksOcspFirstThenTheCrlAndNamesWhatIsRevoked) {
    struct Case {
        const char* stem;
        int published;
        bool revoked;
        RevocationState state;
        const char* source;
        const char* detail;
    };
    using enum RevocationState;
    const Case cases[] = {
        {"Ocsp", Ocsp, false, Good, "OCSP", ""},
        {"OcspRevoked", Ocsp | Crl, true, Revoked, "OCSP", "key compromise"},
        {"Crl", Crl, false, Good, "CRL", ""},
        {"CrlRevoked", Crl, true, Revoked, "CRL", "superseded"},
        {"Unpublished", None, false, NotPublished, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stem);
        // With no service anywhere: issued by the root, which is not asked about.
        const Identity id =
            person(c.stem, c.published, c.revoked,
                   c.revoked && c.source == std::string("CRL") ? "superseded" : "keyCompromise",
                   c.published == None ? &authorities.root() : nullptr);
        const auto [trust, cosigning] = judge(signedBy(id, c.stem));
        EXPECT_EQ(trust.revocation.state, c.state);
        EXPECT_EQ(trust.revocation.source, c.source);
        EXPECT_EQ(trust.detail, c.detail);
        if (c.revoked) {
            EXPECT_EQ(trust.verdict, Verdict::Revoked);
            EXPECT_EQ(trust.when, 1796083200);  // 2026-12-01
            EXPECT_EQ(cosigning,
                      Raise(CertificateUnsuitable, "The certificate of " + std::string(c.stem) +
                                                       " Example has been revoked."));
        } else {
            EXPECT_EQ(trust.verdict, Verdict::Trusted);
            EXPECT_EQ(cosigning, Raise());
        }
    }
    // The revocation of an authority of the chain revokes what it issued.
    const Identity below = person("Below", None, false, {}, &revokedCa);
    const auto [trust, cosigning] = judge(signedBy(below, "doc", &revokedCa));
    EXPECT_EQ(trust.verdict, Verdict::Revoked);
    EXPECT_EQ(trust.detail, "CA compromise, in the certificate of Revoked Test CA");
    EXPECT_EQ(trust.revocation.subject, "Revoked Test CA");
    EXPECT_EQ(cosigning.second, "The certificate of Revoked Test CA has been revoked.");
}

TEST_F(RevocationTest, WithoutAnAnswerOrTheNetworkRevocationIsUnknownOrNotChecked) {
    const fs::path message = signedBy(person("Alone", Ocsp));
    for (const bool offline : {true, false}) {
        NetworkSettings settings;
        settings.offline = offline;
        settings.checkRevocation = offline;
        UseNetworkSettings(settings);
        const auto [trust, cosigning] = judge(message);
        EXPECT_EQ(trust.revocation.state, RevocationState::NotChecked);
        EXPECT_EQ(trust.verdict, Verdict::Trusted);
        EXPECT_EQ(cosigning, Raise());
    }
    EXPECT_EQ(services.requests("/"), 0);

    NetworkSettings quick;  // a stopped service is retried until the timeout
    quick.timeoutSeconds = 1;
    UseNetworkSettings(quick);
    services.stop();
    const auto [trust, cosigning] = judge(message);
    EXPECT_EQ(trust.revocation.state, RevocationState::Unknown);
    EXPECT_EQ(trust.revocation.why, "the OCSP responder did not answer");
    EXPECT_EQ(trust.verdict, Verdict::Trusted);
    EXPECT_EQ(cosigning, Raise());
}

TEST_F(RevocationTest, ABatchAsksEachServiceOncePerCertificate) {
    const Identity id = person("Batch", Ocsp);
    for (const char* name : {"one", "two", "three"}) {
        EXPECT_EQ(judge(signedBy(id, name)).first.revocation.state, RevocationState::Good);
    }
    EXPECT_EQ(services.requests("/run/ocsp"), 1);
    EXPECT_EQ(services.requests("/files/root.crl"), 1);
}

TEST_F(RevocationTest, EmbeddedRevocationDataVerifiesWithTheServicesStopped) {
    const Identity id = person("Archived", Ocsp | Crl);
    NetworkSettings settings;
    settings.embedValidationData = true;
    UseNetworkSettings(settings);
    const Certificate signer = mine(id);
    fs::copy_file(ca.cert, home.my() / "ca.pem");  // where signing finds the issuer
    const fs::path message = save("archived.sig", Signed(signer, "kept for years\n"));
    services.stop();

    const auto [trust, cosigning] = judge(message);
    EXPECT_EQ(trust.revocation.state, RevocationState::Good);
    EXPECT_EQ(trust.revocation.source, "embedded OCSP");
    EXPECT_EQ(cosigning, Raise());
    Openssl("cms -verify -inform DER -in", message, "-CAfile", authorities.root().cert, "-certfile",
            ca.cert, "-out /dev/null 2>&1");
}

}  // namespace
}  // namespace quilvane::test
