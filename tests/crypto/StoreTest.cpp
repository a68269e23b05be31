#include <array>
#include <ctime>

#include "CryptoTest.h"

namespace quilvane::test {

class StoreTest : public CryptoTest {
  protected:
    static std::string Names(const Certificates& certificates) {
        std::string names;
        for (std::size_t i = 1; i <= certificates.Count(); ++i) {
            names += certificates.Item(i).GetInfo(CertInfo::SubjectSimpleName) + " @" +
                     certificates.Item(i).Location() + "; ";
        }
        return names;
    }

    const Identity &alice = pki.alice, &bob = pki.bob, &carol = pki.carol;
};

TEST_F(StoreTest, CertificateSimpleNameFallsBackFromCommonNameToEmailOrganisationAndWholeName) {
    using Case = std::array<std::string, 3>;  // subject, more options, simple name
    for (const auto& [subject, more, name] :
         {Case{"/CN=Jürgen Größe/O=Ünïcode GmbH", "", "Jürgen Größe"},
          Case{"/emailAddress=carol@example.org/O=Carol Ltd", "", "carol@example.org"},
          Case{"/O=Alt Org", "-addext subjectAltName=email:alt@example.net", "alt@example.net"},
          Case{"/C=DE/O=Only Org Ltd", "", "Only Org Ltd"},
          Case{"/C=DE/L=Springfield", "", "L=Springfield,C=DE"}}) {
        Openssl("req -x509 -utf8 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout",
                dir / "key.pem", "-out", home.my() / "c.pem", "-subj", Quote(subject), more);
        // Self-signed: the issuer's name falls back the same way, but for the alternative name.
        const Certificate certificate = open().Item(1);
        EXPECT_EQ(certificate.GetInfo(CertInfo::SubjectSimpleName), name);
        EXPECT_EQ(certificate.GetInfo(CertInfo::IssuerSimpleName), more.empty() ? name : "Alt Org");
    }
}

TEST_F(StoreTest, ListsEveryReadableCertificateInFileOrderAndPassesOverTheRest) {
    // Certificate and key in one PEM file with text around them; two
    // certificates in one file; a DER certificate. A certificate in two files
    // is listed once, from the first.
    WriteFile(home.my() / "c-alice.pem",
              "Alice's certificate\n" + ReadFile(alice.cert) + "her key\n" + ReadFile(alice.key));
    WriteFile(home.my() / "b-pair.pem", ReadFile(carol.cert) + ReadFile(bob.cert));
    Openssl("x509 -outform DER -in", bob.cert, "-out", home.my() / "a-bob.cer");
    // What cannot be read is passed over; the good part of a damaged file is still listed.
    WriteFile(home.my() / "d-damaged.pem",
              ReadFile(alice.cert).replace(500, 20, "!!!!not base64!!!!!!") +
                  ReadFile(pki.pki.root().cert));
    WriteFile(home.my() / "f-truncated.p12", ReadFile(alice.cert).substr(0, 40));
    fs::create_directory(home.my() / "g-folder.pem");
    // A write under way, or cut short, is not read.
    WriteFile(home.my() / ".quilvane-h7", ReadFile(carol.cert) + ReadFile(carol.key));

    const Certificates all = open();
    EXPECT_EQ(Names(all),
              "Bob Example @a-bob.cer; carol@example.org @b-pair.pem; Alice Example @c-alice.pem; "
              "Quilvane Test Root @d-damaged.pem; ");
    EXPECT_EQ(Raised([&] { Signed(all.Item(3), "x"); }), Raise{});
    EXPECT_EQ(Raised([&] { Signed(all.Item(2), "x"); }).first, NoPrivateKey);

    fs::remove_all(home.my());
    EXPECT_EQ(open().Count(), 0u);
}

TEST_F(StoreTest, EncryptedKeysAreUnlockedOnlyWhenNeededAndOnlyAMatchingOneIsUsed) {
    home.add({alice.cert, bob.cert, carol.cert});
    // Alice's key in the legacy PEM form, Bob's as PKCS #8 under a name that sorts first.
    Openssl("rsa -traditional -aes256 -passout pass:alice-pw -in", alice.key, "-out",
            home.my() / "alice.key");
    Openssl("pkcs8 -topk8 -v2 aes-128-cbc -passout pass:bob-pw -in", bob.key, "-out",
            home.my() / "a-bob.key");
    const Certificates all = open();  // alice.pem, bob.pem, carol.pem; nothing asked yet

    // Alice's own file first: cancelled, then right. (A wrong answer, and
    // three: the terminal's end-to-end test.)
    EXPECT_EQ(Raised([&] { Signed(all.Item(1), "x"); }),
              (Raise{Cancelled, "The operation was cancelled by the user."}));
    ui.passphrases = {"alice-pw"};
    EXPECT_EQ(Raised([&] { Signed(all.Item(1), "x"); }), Raise{});
    const std::string prompt = "Enter the passphrase for the private key in \"";
    EXPECT_EQ(ui.passphrasePrompts, std::vector<std::string>(2, prompt + "alice.key\":"));

    // Bob's key is unlocked for Carol, does not match, and is kept for Bob: keys once unlocked
    // are not asked for again.
    ui.passphrases = {"bob-pw"};
    EXPECT_EQ(Raised([&] { Signed(all.Item(3), "x"); }).first, NoPrivateKey);
    EXPECT_EQ(Raised([&] { Signed(all.Item(2), "x"); }), Raise{});
    EXPECT_EQ(ui.passphrasePrompts.back(), prompt + "a-bob.key\":");
}

TEST_F(StoreTest, Pkcs12FilesAreReadAndAProtectedOneAsksWhenTheStoreIsOpened) {
    // Alice's with the root, which is not listed; Carol's in the legacy RC2 form; Bob's protected.
    const auto p12 = [&](const Identity& id, const std::string& options, const char* name) {
        Openssl("pkcs12 -export -in", id.cert, "-inkey", id.key, options, "-out", home.my() / name);
    };
    p12(alice, "-passout pass: -certfile " + Word(pki.pki.root().cert), "alice.p12");
    p12(carol, "-passout pass: -legacy", "carol.pfx");
    p12(bob, "-passout pass:p12-secret", "z-bob.p12");
    ui.passphrases = {"p12-secret"};
    const Certificates all = open();
    EXPECT_EQ(Names(all),
              "Alice Example @alice.p12; carol@example.org @carol.pfx; Bob Example @z-bob.p12; ");
    for (std::size_t i = 1; i <= all.Count(); ++i) {
        EXPECT_EQ(Raised([&] { Signed(all.Item(i), "x"); }), Raise{}) << i;
    }
    EXPECT_EQ(ui.passphrasePrompts.at(0), "Enter the passphrase for \"z-bob.p12\":");

    // Cancelled, the file is passed over; right at the second try, it is
    // listed. (Wrong three times, it is passed over with a warning: the
    // terminal's end-to-end test.)
    EXPECT_EQ(Names(open()), "Alice Example @alice.p12; carol@example.org @carol.pfx; ");
    ui.passphrases = {"guess", "p12-secret"};
    EXPECT_EQ(open().Count(), 3u);
}

}  // namespace quilvane::test
