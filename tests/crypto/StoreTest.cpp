#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

#include "crypto/Certificate.h"
#include "crypto/CertificateImpl.h"
#include "crypto/Error.h"
#include "support/ScriptedUserInterface.h"
#include "support/SharedPki.h"

namespace quilvane {
namespace {

using test::Identity;
using test::Quote;
using test::ReadFile;
using test::ScriptedUserInterface;
using test::SharedPki;
using test::StoreHome;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

// Runs `action`; returns the number of the Error it raised (0 for none) and
// keeps its description.
int Raised(const std::function<void()>& action, std::string* description = nullptr) {
    try {
        action();
    } catch (const Error& error) {
        if (description != nullptr) {
            *description = error.description();
        }
        return error.number();
    }
    return 0;
}

class StoreTest : public ::testing::Test {
  protected:
    StoreTest() : home(dir / "data") {}

    Certificates Open() {
        Store store;
        store.Open(ui, StoreLocation::CurrentUser, "My", StoreOpenMode::ReadOnly);
        return store.Certificates();
    }

    // The private key of a listed certificate, through the store's key source.
    static EVP_PKEY* KeyOf(const Certificate& certificate) {
        return certificate.impl().keys->KeyFor(certificate.impl().x509.get());
    }

    fs::path inStore(const std::string& name) const { return home.my() / name; }

    // Writes a file of the store from the shell: `command` gets the target path appended.
    fs::path make(const std::string& name, const std::string& command) {
        test::Run(command + " " + Quote(inStore(name).string()));
        return inStore(name);
    }

    static std::string Names(const Certificates& certificates) {
        std::string names;
        for (std::size_t i = 1; i <= certificates.Count(); ++i) {
            const Certificate& c = certificates.Item(i);
            names += c.GetInfo(CertInfo::SubjectSimpleName) + " @" +
                     fs::path(c.File()).filename().string() + "; ";
        }
        return names;
    }

    const Identity& alice = SharedPki::get().alice;
    const Identity& bob = SharedPki::get().bob;
    const Identity& carol = SharedPki::get().carol;
    TempDir dir;
    StoreHome home;
    ScriptedUserInterface ui;
};

TEST(StoreFolderTest, FollowsXdgDataHomeAndFallsBackToHome) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    TempDir dir;
    StoreHome data(dir / "data");  // puts XDG_DATA_HOME back afterwards
    EXPECT_EQ(Store::Folder("Root"), (dir / "data" / "quilvane" / "Root").string());
    const std::string fallback = std::string(home) + "/.local/share/quilvane/My";
    setenv("XDG_DATA_HOME", "", 1);
    EXPECT_EQ(Store::Folder("My"), fallback);
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(Store::Folder("My"), fallback);
}

TEST_F(StoreTest, ListsEveryReadableCertificateInFileOrderAndPassesOverTheRest) {
    // Certificate and key in one PEM file, with text around them.
    WriteFile(inStore("c-alice.pem"), "Alice's certificate\n" + ReadFile(alice.cert) +
                                          "and her key\n" + ReadFile(alice.key));
    // Two certificates in one file keep their order.
    WriteFile(inStore("b-pair.pem"), ReadFile(carol.cert) + ReadFile(bob.cert));
    make("a-bob.cer", "openssl x509 -outform DER -in " + Quote(bob.cert.string()) + " -out");
    // What cannot be read is passed over.
    std::string damaged = ReadFile(alice.cert);
    damaged.replace(damaged.size() / 2, 20, "!!!!not base64!!!!!!");
    WriteFile(inStore("d-damaged.pem"), damaged + ReadFile(carol.cert));
    WriteFile(inStore("e-random.der"), std::string("\x30\x82\x01\x00"
                                                   "garbage",
                                                   11));
    WriteFile(inStore("f-empty.pem"), "");
    WriteFile(inStore("README"), "certificates go here\n");
    fs::create_directory(inStore("g-folder.pem"));
    WriteFile(inStore("h-truncated.p12"), ReadFile(alice.cert).substr(0, 40));

    const Certificates all = Open();
    EXPECT_EQ(Names(all),
              "Bob Example @a-bob.cer; carol@example.org @b-pair.pem; Bob Example @b-pair.pem; "
              "Alice Example @c-alice.pem; carol@example.org @d-damaged.pem; ");
    EXPECT_EQ(all.Item(1).File(), inStore("a-bob.cer").string());
    EXPECT_TRUE(ui.passphrasePrompts.empty());

    // Read afresh each time: a file taken away is gone from the next list.
    fs::remove(inStore("b-pair.pem"));
    EXPECT_EQ(Open().Count(), 3u);
}

TEST_F(StoreTest, SelectShowsOneRowPerCertificateAndReturnsTheChosenOne) {
    home.add({alice.cert, carol.cert});
    const Certificates all = Open();
    ui.picks.push_back(1);

    const Certificates chosen = all.Select(ui, "Certificates", "ZARAN Certificates", false);

    ASSERT_EQ(chosen.Count(), 1u);
    EXPECT_EQ(chosen.Item(1).GetInfo(CertInfo::SubjectSimpleName), "carol@example.org");
    EXPECT_EQ(ui.pickTitles, std::vector<std::string>{"Certificates"});
    EXPECT_EQ(ui.pickPrompts, std::vector<std::string>{"ZARAN Certificates"});
    ASSERT_EQ(ui.pickLists.size(), 1u);
    const auto& rows = ui.pickLists[0];
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].issuedTo, "Alice Example");
    EXPECT_EQ(rows[0].issuedBy, "Quilvane Test Root");
    EXPECT_EQ(rows[0].file, "alice.pem");
    EXPECT_EQ(rows[1].issuedTo, "carol@example.org");
    EXPECT_EQ(rows[1].file, "carol.pem");

    // The expiry is the certificate's end of validity as a local date.
    std::string notAfter = test::Run("openssl x509 -noout -enddate -dateopt iso_8601 -in " +
                                     Quote(alice.cert.string()));
    std::tm utc{};
    ASSERT_NE(strptime(notAfter.c_str(), "notAfter=%Y-%m-%d %H:%M:%S", &utc), nullptr);
    const std::time_t end = timegm(&utc);
    std::tm local{};
    localtime_r(&end, &local);
    char expected[64];
    std::strftime(expected, sizeof expected, "%x", &local);
    EXPECT_EQ(rows[0].expires, expected);

    // Nothing is remembered: the next list is shown again, and can be cancelled.
    std::string description;
    EXPECT_EQ(
        Raised([&] { all.Select(ui, "Certificates", "ZARAN Certificates", false); }, &description),
        status::Cancelled);
    EXPECT_EQ(description, "The operation was cancelled by the user.");

    // A missing folder is an empty store, whose empty list is still shown.
    fs::remove_all(home.my());
    const Certificates none = Open();
    EXPECT_EQ(none.Count(), 0u);
    EXPECT_EQ(Raised([&] { none.Select(ui, "Certificates", "ZARAN Certificates", false); }),
              status::Cancelled);
    ASSERT_EQ(ui.pickLists.size(), 3u);
    EXPECT_TRUE(ui.pickLists[2].empty());
}

TEST_F(StoreTest, PlainKeysAreFoundByTheirPublicKeyWhereverTheyAre) {
    // Certificate and key in two files, the key in DER under another name.
    home.add({alice.cert});
    make("private.bin", "openssl pkey -outform DER -in " + Quote(alice.key.string()) + " -out");
    // Bob's key in a combined file; Carol's certificate alone.
    WriteFile(inStore("bob.pem"), ReadFile(bob.key) + ReadFile(bob.cert));
    home.add({carol.cert});

    const Certificates all = Open();
    ASSERT_EQ(all.Count(), 3u);
    EXPECT_NE(KeyOf(all.Item(1)), nullptr);  // alice.pem
    EXPECT_NE(KeyOf(all.Item(2)), nullptr);  // bob.pem
    EXPECT_NE(KeyOf(all.Item(1)), KeyOf(all.Item(2)));

    std::string description;
    EXPECT_EQ(Raised([&] { KeyOf(all.Item(3)); }, &description), status::NoPrivateKey);
    EXPECT_EQ(description,
              "There is no private key in the store for the certificate of carol@example.org.");
    EXPECT_TRUE(ui.passphrasePrompts.empty());
}

TEST_F(StoreTest, EncryptedKeyIsUnlockedOnlyWhenItIsNeeded) {
    home.add({alice.cert, carol.cert});
    make("alice.key", "openssl pkcs8 -topk8 -v2 aes-256-cbc -passout pass:open-sesame -in " +
                          Quote(alice.key.string()) + " -out");

    const Certificates all = Open();
    ASSERT_EQ(all.Count(), 2u);
    EXPECT_TRUE(ui.passphrasePrompts.empty());

    // Cancel, then a wrong passphrase, then the right one.
    const std::string prompt = "Enter the passphrase for the private key in \"alice.key\":";
    std::string description;
    EXPECT_EQ(Raised([&] { KeyOf(all.Item(1)); }, &description), status::Cancelled);
    EXPECT_EQ(description, "The operation was cancelled by the user.");
    ui.passphrases.push_back("open sesame");
    EXPECT_EQ(Raised([&] { KeyOf(all.Item(1)); }, &description), status::WrongPassphrase);
    EXPECT_EQ(description, "The passphrase for the private key in \"alice.key\" is wrong.");
    ui.passphrases.push_back("open-sesame");
    EXPECT_NE(KeyOf(all.Item(1)), nullptr);
    EXPECT_EQ(ui.passphrasePrompts, std::vector<std::string>(3, prompt));

    // Kept once unlocked; a key that does not match Carol's certificate is not hers.
    EXPECT_NE(KeyOf(all.Item(1)), nullptr);
    EXPECT_EQ(Raised([&] { KeyOf(all.Item(2)); }), status::NoPrivateKey);
    EXPECT_EQ(ui.passphrasePrompts.size(), 3u);
}

TEST_F(StoreTest, EncryptedKeysAreTriedOwnFileFirstAndAForeignOneIsNotUsed) {
    // Bob's encrypted key (DER) comes first by name, but Alice's own files are tried first.
    home.add({alice.cert});
    make("alice.key", "openssl rsa -traditional -aes256 -passout pass:alice-pw -in " +
                          Quote(alice.key.string()) + " -out");
    make("a-bob.key",
         "openssl pkcs8 -topk8 -v2 aes-128-cbc -outform DER -passout pass:bob-pw -in " +
             Quote(bob.key.string()) + " -out");
    ASSERT_NE(ReadFile(inStore("alice.key")).find("Proc-Type: 4,ENCRYPTED"), std::string::npos);

    {
        const Certificates all = Open();
        ASSERT_EQ(all.Count(), 1u);
        ui.passphrases.push_back("alice-pw");
        EXPECT_NE(KeyOf(all.Item(1)), nullptr);
        EXPECT_EQ(
            ui.passphrasePrompts,
            std::vector<std::string>{"Enter the passphrase for the private key in \"alice.key\":"});
    }

    // Without her own key, Bob's is unlocked, found not to match, and not used.
    fs::remove(inStore("alice.key"));
    ui.passphrasePrompts.clear();
    const Certificates all = Open();
    ui.passphrases.push_back("bob-pw");
    EXPECT_EQ(Raised([&] { KeyOf(all.Item(1)); }), status::NoPrivateKey);
    EXPECT_EQ(
        ui.passphrasePrompts,
        std::vector<std::string>{"Enter the passphrase for the private key in \"a-bob.key\":"});
}

TEST_F(StoreTest, Pkcs12FilesWithoutPassphraseAreReadSilently) {
    const std::string export_ = "openssl pkcs12 -export -in " + Quote(alice.cert.string()) +
                                " -inkey " + Quote(alice.key.string()) + " -certfile " +
                                Quote((SharedPki::get().pki.folder() / "root.pem").string());
    make("alice.p12", export_ + " -passout pass: -out");
    // Older form, certificates under RC2: needs the legacy provider.
    make("legacy.pfx", "openssl pkcs12 -export -legacy -in " + Quote(carol.cert.string()) +
                           " -inkey " + Quote(carol.key.string()) + " -passout pass: -out");
    // Named like PEM, but PKCS #12 inside.
    test::Run("cp " + Quote(inStore("alice.p12").string()) + " " +
              Quote(inStore("misnamed.pem").string()));

    const Certificates all = Open();
    // The root that came along is not a personal certificate.
    EXPECT_EQ(
        Names(all),
        "Alice Example @alice.p12; carol@example.org @legacy.pfx; Alice Example @misnamed.pem; ");
    EXPECT_NE(KeyOf(all.Item(1)), nullptr);
    EXPECT_NE(KeyOf(all.Item(2)), nullptr);
    EXPECT_TRUE(ui.passphrasePrompts.empty());
}

TEST_F(StoreTest, ProtectedPkcs12AsksWhenTheStoreIsOpened) {
    make("alice.p12", "openssl pkcs12 -export -in " + Quote(alice.cert.string()) + " -inkey " +
                          Quote(alice.key.string()) + " -passout pass:p12-secret -out");
    home.add({carol.cert});

    // Right passphrase: listed with its key.
    ui.passphrases.push_back("p12-secret");
    Certificates all = Open();
    EXPECT_EQ(Names(all), "Alice Example @alice.p12; carol@example.org @carol.pem; ");
    EXPECT_EQ(ui.passphrasePrompts,
              std::vector<std::string>{"Enter the passphrase for \"alice.p12\":"});
    EXPECT_NE(KeyOf(all.Item(1)), nullptr);
    EXPECT_EQ(ui.passphrasePrompts.size(), 1u);

    // Cancel: the file is passed over, the rest still listed.
    EXPECT_EQ(Names(Open()), "carol@example.org @carol.pem; ");

    // Wrong passphrase: told, naming the file.
    ui.passphrases.push_back("guess");
    std::string description;
    EXPECT_EQ(Raised([&] { Open(); }, &description), status::WrongPassphrase);
    EXPECT_EQ(description, "The passphrase for \"alice.p12\" is wrong.");
}

}  // namespace
}  // namespace quilvane
