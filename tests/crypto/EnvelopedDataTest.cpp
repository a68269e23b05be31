#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>

#include "crypto/Certificate.h"
#include "crypto/EnvelopedData.h"
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

const std::string kBadMessage =
    "The file is not an encrypted message, or it is damaged or incomplete.";
const std::string kNoRecipient =
    "None of your certificates can open this message: it was encrypted for someone else.";

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

BinaryString Binary(const std::string& text) {
    return BinaryString(Bytes(text.data(), text.size()));
}

std::string Text(const BinaryString& binary) {
    return std::string(reinterpret_cast<const char*>(binary.view().data()), binary.size());
}

// Every byte value, line ends and NULs: the content must come back exactly.
std::string Document() {
    std::string bytes = "report\r\n";
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 256; ++i) {
            bytes.push_back(static_cast<char>(i));
        }
    }
    return bytes + std::string(1, '\0') + "end\r";
}

const std::string kLegacy = " -provider default -provider legacy";

class EnvelopedDataTest : public ::testing::Test {
  protected:
    EnvelopedDataTest() : home(dir / "data") {}

    // The certificate of the store whose subject's simple name is `name`.
    Certificate listed(const std::string& name) {
        Store store;
        store.Open(ui, StoreLocation::CurrentUser, "My", StoreOpenMode::ReadOnly);
        const Certificates& all = store.Certificates();
        for (std::size_t i = 1; i <= all.Count(); ++i) {
            if (all.Item(i).GetInfo(CertInfo::SubjectSimpleName) == name) {
                return all.Item(i);
            }
        }
        throw std::runtime_error("not in the store: " + name);
    }

    BinaryString encrypt(const std::string& content, const std::vector<std::string>& to,
                         AlgorithmName cipher = AlgorithmName::RC4,
                         KeyLength length = KeyLength::Bits128) {
        EnvelopedData envelope;
        envelope.Content(Binary(content));
        for (const auto& name : to) {
            envelope.Recipients().Add(listed(name));
        }
        envelope.Algorithm().Name(cipher);
        envelope.Algorithm().KeyLength(length);
        return envelope.Encrypt(Encoding::Binary);
    }

    fs::path save(const std::string& name, const BinaryString& message) {
        WriteFile(dir / name, Text(message));
        return dir / name;
    }

    // Decrypts with the openssl command, as `who`.
    std::string opensslDecrypt(const fs::path& message, const Identity& who) {
        fs::path out = dir / "openssl-out";
        test::Run("openssl cms -decrypt -binary -inform DER -in " + Quote(message.string()) +
                  " -recip " + Quote(who.cert.string()) + " -inkey " + Quote(who.key.string()) +
                  " -out " + Quote(out.string()) + kLegacy);
        return ReadFile(out);
    }

    std::string decrypt(const std::string& message) {
        EnvelopedData envelope;
        envelope.Decrypt(ui, Binary(message));
        return Text(envelope.Content());
    }

    const Identity& alice = SharedPki::get().alice;
    const Identity& bob = SharedPki::get().bob;
    const Identity& carol = SharedPki::get().carol;
    TempDir dir;
    StoreHome home;
    ScriptedUserInterface ui;
};

TEST_F(EnvelopedDataTest, RoundTripsWithEachCipherAndOpensWithOpenssl) {
    home.add({alice.cert, alice.key, bob.cert, bob.key});
    struct Case {
        AlgorithmName name;
        KeyLength length;
        std::string printed;  // as `openssl cms -cmsout -print` names the cipher
        const Identity& to;
        std::string content;
    };
    const std::string document = Document();
    for (const Case& c :
         {Case{AlgorithmName::RC4, KeyLength::Bits128, "rc4", alice, document},
          Case{AlgorithmName::AES, KeyLength::Bits256, "aes-256-cbc", alice, document},
          Case{AlgorithmName::AES, KeyLength::Bits128, "aes-128-cbc", alice, ""},
          Case{AlgorithmName::TripleDES, KeyLength::Maximum, "des-ede3-cbc", alice, document},
          // An elliptic-curve recipient gets the key by agreement.
          Case{AlgorithmName::AES, KeyLength::Bits192, "aes-192-cbc", bob, "for Bob"}}) {
        SCOPED_TRACE(c.printed);
        const std::string name = &c.to == &alice ? "Alice Example" : "Bob Example";
        const BinaryString message = encrypt(c.content, {name}, c.name, c.length);
        const fs::path file = save("document.sig", message);

        const std::string printed = test::Run("openssl cms -cmsout -print -inform DER -in " +
                                              Quote(file.string()) + kLegacy);
        EXPECT_NE(printed.find("contentType: pkcs7-envelopedData"), std::string::npos);
        EXPECT_NE(printed.find("algorithm: " + c.printed + " "), std::string::npos) << printed;
        EXPECT_EQ(opensslDecrypt(file, c.to), c.content);
        EXPECT_EQ(decrypt(Text(message)), c.content);
    }
    EXPECT_TRUE(ui.passphrasePrompts.empty());
}

TEST_F(EnvelopedDataTest, OpensEnvelopesMadeByOpenssl) {
    home.add({alice.cert, alice.key, bob.cert});
    const fs::path document = dir / "document";
    WriteFile(document, Document());
    for (const std::string cipher : {"-aes256", "-rc4", "-des3"}) {
        SCOPED_TRACE(cipher);
        // Addressed to Bob and to Alice: Alice's is not the first recipient.
        const fs::path message = dir / "openssl.sig";
        test::Run("openssl cms -encrypt -binary -outform DER " + cipher + kLegacy + " -in " +
                  Quote(document.string()) + " -out " + Quote(message.string()) + " " +
                  Quote(bob.cert.string()) + " " + Quote(alice.cert.string()));
        EXPECT_EQ(decrypt(ReadFile(message)), Document());
    }
}

TEST_F(EnvelopedDataTest, RefusesWhatItCannotMake) {
    home.add({alice.cert});
    std::string description;
    EnvelopedData none;
    none.Content(Binary("x"));
    EXPECT_EQ(Raised([&] { none.Encrypt(Encoding::Binary); }, &description), status::Failed);
    EXPECT_EQ(description, "No recipient was given.");

    for (auto [name, length] : {std::pair{AlgorithmName::RC2, KeyLength::Bits128},
                                std::pair{AlgorithmName::DES, KeyLength::Bits56},
                                std::pair{AlgorithmName::RC4, KeyLength::Bits40},
                                std::pair{AlgorithmName::AES, KeyLength::Bits56}}) {
        EXPECT_EQ(Raised([&] { encrypt("x", {"Alice Example"}, name, length); }, &description),
                  status::Failed);
        EXPECT_FALSE(description.empty());
    }

    EnvelopedData base64;
    base64.Recipients().Add(listed("Alice Example"));
    EXPECT_EQ(Raised([&] { base64.Encrypt(Encoding::Base64); }), status::Failed);
    EXPECT_EQ(Raised([&] { base64.Recipients().Item(0); }), status::NoSuchItem);
    EXPECT_EQ(Raised([&] { base64.Recipients().Item(2); }), status::NoSuchItem);
    EXPECT_EQ(base64.Recipients().Item(1).GetInfo(CertInfo::SubjectSimpleName), "Alice Example");
}

TEST_F(EnvelopedDataTest, EnvelopeForSomeoneElseIsNotOpened) {
    home.add({alice.cert, alice.key, carol.cert});
    const BinaryString forCarol = encrypt("for Carol only", {"carol@example.org"});

    // Carol's certificate is in the store, her key is not.
    EnvelopedData envelope;
    std::string description;
    EXPECT_EQ(Raised([&] { envelope.Decrypt(ui, forCarol); }, &description), status::NoRecipient);
    EXPECT_EQ(description, kNoRecipient);
    EXPECT_TRUE(envelope.Content().empty());

    fs::remove(home.my() / "carol.pem");
    EXPECT_EQ(Raised([&] { envelope.Decrypt(ui, forCarol); }, &description), status::NoRecipient);
    EXPECT_TRUE(envelope.Content().empty());
}

TEST_F(EnvelopedDataTest, WhatIsNotAnEnvelopeIsABadMessage) {
    home.add({alice.cert, alice.key});
    const fs::path document = dir / "document";
    WriteFile(document, "signed, not sealed");
    const fs::path signedFile = dir / "signed.sig";
    test::Run("openssl cms -sign -binary -nodetach -outform DER -in " + Quote(document.string()) +
              " -signer " + Quote(alice.cert.string()) + " -inkey " + Quote(alice.key.string()) +
              " -out " + Quote(signedFile.string()));
    const std::string envelope = Text(encrypt(Document(), {"Alice Example"}));

    for (const std::string& message :
         {ReadFile(signedFile), std::string("random bytes \x01\x02\xff", 16), std::string(),
          envelope.substr(0, envelope.size() / 2), ReadFile(alice.cert)}) {
        std::string description;
        EnvelopedData opened;
        EXPECT_EQ(Raised([&] { opened.Decrypt(ui, Binary(message)); }, &description),
                  status::BadMessage);
        EXPECT_EQ(description, kBadMessage);
        EXPECT_TRUE(opened.Content().empty());
    }
}

TEST_F(EnvelopedDataTest, DamagedKeyNeverYieldsContent) {
    home.add({alice.cert, alice.key});
    // RC4 has no padding that could give a wrong key away: the failure to
    // decrypt the content key itself must stop the decryption.
    std::string message = Text(encrypt(Document(), {"Alice Example"}));
    const fs::path file = save("damaged.sig", Binary(message));
    const std::string structure =
        test::Run("openssl asn1parse -inform DER -in " + Quote(file.string()));
    std::smatch found;
    ASSERT_TRUE(std::regex_search(
        structure, found, std::regex(R"(\s*(\d+):d=\d+\s+hl=(\d+)\s+l=\s*256 prim: OCTET STRING)")))
        << structure;
    const std::size_t encryptedKey = std::stoul(found[1]) + std::stoul(found[2]);
    message[encryptedKey + 100] ^= 0x5a;

    EnvelopedData envelope;
    EXPECT_LT(Raised([&] { envelope.Decrypt(ui, Binary(message)); }), 0);
    EXPECT_TRUE(envelope.Content().empty());
}

TEST_F(EnvelopedDataTest, ProtectedKeyIsAskedForWhenDecrypting) {
    home.add({alice.cert});
    test::Run("openssl pkcs8 -topk8 -v2 aes-256-cbc -passout pass:pw -in " +
              Quote(alice.key.string()) + " -out " + Quote((home.my() / "alice.key").string()));
    const std::string message = Text(encrypt("sealed", {"Alice Example"}));

    EXPECT_EQ(Raised([&] { decrypt(message); }), status::Cancelled);
    ui.passphrases.push_back("pw");
    EXPECT_EQ(decrypt(message), "sealed");
    EXPECT_EQ(
        ui.passphrasePrompts,
        std::vector<std::string>(2, "Enter the passphrase for the private key in \"alice.key\":"));
}

}  // namespace
}  // namespace quilvane
