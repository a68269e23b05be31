#include <openssl/objects.h>

#include <cstdlib>

#include "CryptoTest.h"
#include "internal/NssBuiltinRoots.h"
#include "support/Forge.h"

namespace quilvane::test {

// A root, an intermediate and a SHA-1-signed intermediate under it, and
// leaves of each kind the trust policy tells apart, made with openssl.
class TrustTest : public CryptoTest {
  protected:
    TrustTest() {
        WriteFile(dir / "ext.cnf",
                  "[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign,cRLSign\n"
                  "[signer]\nkeyUsage=digitalSignature\nextendedKeyUsage=emailProtection\n"
                  "[server]\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n"
                  "[encipher]\nkeyUsage=keyEncipherment\n");
        Openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30",
                "-subj '/CN=Trust Test Root' -addext basicConstraints=critical,CA:TRUE", "-keyout",
                dir / "root.key", "-out", dir / "root.pem");
        root = {dir / "root.pem", dir / "root.key"};
        authority = issue("authority", "Trust Test CA", root, "ca");
        weak = issue("weak", "Weak Test CA", root, "ca", "-sha1");
    }

    Identity issue(const std::string& stem, const std::string& name, const Identity& issuer,
                   const std::string& extensions, const std::string& digest = "-sha256") {
        const Identity id{dir / (stem + ".pem"), dir / (stem + ".key")};
        Openssl("req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj",
                Quote("/CN=" + name), "-keyout", id.key, "-out", dir / "request.csr");
        Openssl("x509 -req -days 30", digest, "-in", dir / "request.csr", "-CA", issuer.cert,
                "-CAkey", issuer.key, "-extfile", dir / "ext.cnf", "-extensions", extensions,
                "-out", id.cert);
        return id;
    }

    // The verdict on the one signer of `message`.
    CertificateTrust judge(const std::string& message) {
        SignedData data;
        MemorySource source(message);
        data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
        return data.Trust().at(0);
    }

    Identity root, authority, weak;
};

TEST_F(TrustTest, TrustsOnlySignersMeantForSigningUnderAnAnchorWithSoundDigests) {
    const fs::path system = dir / "system";
    const fs::path bundle = dir / "bundle";
    fs::create_directories(bundle);
    fs::copy_file(root.cert, bundle / "root.pem");
    Openssl("rehash", bundle);
    // The TLS bundle holds the root: it must not count.
    setenv("SSL_CERT_FILE", (bundle / "root.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", bundle.c_str(), 1);
    setenv("XDG_DATA_DIRS", ("relative:" + system.string()).c_str(), 1);

    const Identity ivy = issue("ivy", "Ivy Issued", authority, "signer");
    const Identity walt = issue("walt", "Walt Weak", weak, "signer");
    const Identity sam = issue("sam", "Sam Server", root, "server");
    const Identity kim = issue("kim", "Kim Cipher", root, "encipher");
    const Identity self = NamedIdentity(dir.path(), "self", "Selma Self");
    const Identity expired = pki.pki.issue("tt-expired", "/CN=Erin Expired", KeyType::Ec,
                                           "20200101000000Z", "20210101000000Z");
    const Identity future = pki.pki.issue("tt-future", "/CN=Frank Future", KeyType::Ec,
                                          "20500101000000Z", "20600101000000Z");
    const fs::path document = save("document.txt", "judged");
    const auto signedBy = [&](const Identity& id, const std::string& extra = {}) {
        OpensslSign(document, dir / "signed.sig", {id}, extra);
        return ReadFile(dir / "signed.sig");
    };
    const std::string viaAuthority = "-certfile " + Quote(authority.cert.string());
    // A signing time long before the certificate, signed again as claimed.
    const std::string in1990 =
        Forge(ivy, "doc", SigningTime(ivy, V_ASN1_UTCTIME, {"900101000000Z"}));

    enum Anchor { None, UserRoot, SystemRoot, Authority };
    using Case = std::tuple<std::string, Anchor, Verdict, std::string, std::time_t>;
    for (const auto& [message, anchor, verdict, detail, when] : {
             Case{signedBy(ivy, viaAuthority), UserRoot, Verdict::Trusted, "", 0},
             Case{signedBy(ivy, viaAuthority), SystemRoot, Verdict::Trusted, "", 0},
             Case{signedBy(ivy), Authority, Verdict::Trusted, "", 0},
             Case{signedBy(ivy, viaAuthority), None, Verdict::UntrustedRoot, "", 0},
             Case{signedBy(walt, "-certfile " + Quote(weak.cert.string())), UserRoot,
                  Verdict::BrokenDigest, "SHA-1", 0},
             Case{signedBy(sam), UserRoot, Verdict::NotForSigning, "TLS web server authentication",
                  0},
             Case{signedBy(kim), UserRoot, Verdict::NotForSigning, "key encipherment", 0},
             Case{signedBy(self), UserRoot, Verdict::SelfSigned, "", 0},
             Case{in1990, Authority, Verdict::SigningTimeOutside, "", 0},
             Case{signedBy(pki.alice, "-md md5"), None, Verdict::BrokenDigest, "MD5", 0},
             Case{signedBy(expired), None, Verdict::Expired, "", 1609459200},
             Case{signedBy(future), None, Verdict::NotYetValid, "", 2524608000},
         }) {
        fs::remove_all(home.root());
        fs::remove_all(system);
        const fs::path systemRoot = system / "quilvane" / "Root";
        fs::create_directories(systemRoot);
        fs::create_directories(home.root());
        if (anchor != None) {
            fs::copy_file(anchor == Authority ? authority.cert : root.cert,
                          (anchor == SystemRoot ? systemRoot : home.root()) / "anchor.pem");
        }
        const CertificateTrust trust = judge(message);
        EXPECT_EQ(trust.verdict, verdict) << trust.subject << " " << anchor;
        EXPECT_EQ(trust.detail, detail) << trust.subject;
        EXPECT_EQ(trust.when, when) << trust.subject;
    }
    unsetenv("SSL_CERT_FILE");
    unsetenv("SSL_CERT_DIR");
    unsetenv("XDG_DATA_DIRS");

    // Every field is filled, the chain as far as it was built.
    fs::copy_file(root.cert, home.root() / "anchor.pem", fs::copy_options::overwrite_existing);
    const CertificateTrust trust = judge(signedBy(ivy, viaAuthority));
    ASSERT_EQ(trust.chain.size(), 3u);
    EXPECT_EQ(trust.chain[0].subject + "|" + trust.chain[1].subject + "|" + trust.chain[2].subject,
              "Ivy Issued|Trust Test CA|Trust Test Root");
    EXPECT_EQ(trust.chain[0].sha256, trust.sha256);
    EXPECT_EQ(trust.chain[1].issuer, "Trust Test Root");
    EXPECT_EQ("serial=" + trust.serial + "\n", Openssl("x509 -noout -serial -in", ivy.cert));
    EXPECT_LT(trust.validFrom, trust.validTo);
}

TEST(NssRootsTest, TheBuiltInRootsTrustedForEmailAreReadAndNoWebOnlyRoot) {
    std::string library;
    for (const char* path :
         {"/usr/lib/x86_64-linux-gnu/nss/libnssckbi.so", "/usr/lib/x86_64-linux-gnu/libnssckbi.so",
          "/usr/lib/aarch64-linux-gnu/libnssckbi.so"}) {
        library = fs::exists(path) ? path : library;
    }
    if (library.empty()) {
        GTEST_SKIP() << "NSS's built-in root module is not installed";
    }
    const std::vector<std::string>& roots = ossl::NssEmailRoots();
    EXPECT_GE(roots.size(), 50u);
    // Let's Encrypt's root is trusted for web sites only.
    for (const std::string& der : roots) {
        EXPECT_EQ(der.find("ISRG Root X1"), std::string::npos);
    }
}

}  // namespace quilvane::test
