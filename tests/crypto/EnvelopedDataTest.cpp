#include "CryptoTest.h"
#include "crypto/EnvelopedData.h"

namespace quilvane::test {
namespace {

const std::string kLegacy = " -provider default -provider legacy";

// NULs, line ends and bytes above 127 that must come back exactly.
const std::string kDocument = std::string("report\r\n\0\xff\x80\n", 12) + std::string(3000, 'x');

class EnvelopedDataTest : public CryptoTest {
  protected:
    std::string encrypt(const std::string& content, const Identity& to, AlgorithmName cipher,
                        KeyLength length) {
        EnvelopedData envelope;
        envelope.Content(Binary(content));
        envelope.Recipients().Add(mine(to, false));
        envelope.Algorithm().Name(cipher);
        envelope.Algorithm().KeyLength(length);
        return Text(envelope.Encrypt(Encoding::Binary));
    }
    // The content of `message`, or what was raised; nothing decrypted is left after a refusal.
    Outcome decrypt(const std::string& message) {
        EnvelopedData envelope;
        const Outcome outcome = Raised([&] { envelope.Decrypt(ui, Binary(message)); });
        EXPECT_TRUE(outcome.status == 0 || envelope.Content().empty());
        return outcome.status == 0 ? Outcome{0, Text(envelope.Content())} : outcome;
    }
};

TEST_F(EnvelopedDataTest, RoundTripsWithEachCipherItMakesAndOpensWithOpenssl) {
    home.add({pki.alice.key, pki.bob.key});
    // The cipher, as `openssl cms -cmsout -print` names it, the recipient and the content.
    using Case = std::tuple<AlgorithmName, KeyLength, std::string, const Identity*, std::string>;
    for (const auto& [name, length, printed, to, content] :
         {Case{AlgorithmName::RC4, KeyLength::Bits128, "rc4", &pki.alice, kDocument},
          Case{AlgorithmName::AES, KeyLength::Bits256, "aes-256-cbc", &pki.alice, kDocument},
          Case{AlgorithmName::AES, KeyLength::Bits128, "aes-128-cbc", &pki.alice, ""},
          Case{AlgorithmName::TripleDES, KeyLength::Maximum, "des-ede3-cbc", &pki.alice, kDocument},
          // An elliptic-curve recipient gets the key by agreement.
          Case{AlgorithmName::AES, KeyLength::Bits192, "aes-192-cbc", &pki.bob, "for Bob"}}) {
        const std::string message = encrypt(content, *to, name, length);
        const fs::path file = save("sealed.sig", message);
        const std::string print = Openssl("cms -cmsout -print -inform DER -in", file, kLegacy);
        EXPECT_NE(print.find("algorithm: " + printed + " "), std::string::npos) << print;
        EXPECT_EQ(Openssl("cms -decrypt -binary -inform DER -in", file, "-recip", to->cert,
                          "-inkey", to->key, kLegacy),
                  content);
        EXPECT_EQ(decrypt(message), (Outcome{0, content})) << printed;
    }

    // Triple DES from openssl, where Alice is the second recipient.
    const std::string message = Openssl("cms -encrypt -binary -outform DER -des3 -in",
                                        save("document", kDocument), pki.bob.cert, pki.alice.cert);
    EXPECT_EQ(decrypt(message), (Outcome{0, kDocument}));

    // Ciphers, or key lengths, that are not made.
    for (auto [name, length] : {std::pair{AlgorithmName::RC2, KeyLength::Bits128},
                                std::pair{AlgorithmName::DES, KeyLength::Bits56},
                                std::pair{AlgorithmName::RC4, KeyLength::Bits40},
                                std::pair{AlgorithmName::AES, KeyLength::Bits56}}) {
        EXPECT_EQ(Raised([&] { encrypt("x", pki.alice, name, length); }).status, status::Failed);
    }
}

TEST_F(EnvelopedDataTest, DamagedKeyNeverYieldsContent) {
    // RC4 has no padding that could give a wrong key away: the failure to
    // decrypt the content key itself must stop the decryption.
    mine(pki.alice);
    std::string message = encrypt(kDocument, pki.alice, AlgorithmName::RC4, KeyLength::Bits128);
    const std::size_t key = message.find(std::string("\x04\x82\x01\x00", 4));  // RSA-2048's
    ASSERT_NE(key, std::string::npos);
    message[key + 100] ^= 0x5a;
    EXPECT_EQ(decrypt(message).status, status::BadMessage);
}

TEST_F(EnvelopedDataTest, WhatIsNotAnEnvelopeIsABadMessage) {
    const std::string envelope =
        encrypt("sealed", pki.alice, AlgorithmName::AES, KeyLength::Maximum);
    for (const std::string& message :
         {Openssl("cms -sign -nodetach -binary -outform DER -in", save("signed", "x"), "-signer",
                  pki.alice.cert, "-inkey", pki.alice.key),
          std::string("random \x01\x02\xff"), std::string(),
          envelope.substr(0, envelope.size() / 2), ReadFile(pki.alice.cert)}) {
        EXPECT_EQ(
            decrypt(message),
            (Outcome{status::BadMessage,
                     "The file is not an encrypted message, or it is damaged or incomplete."}));
    }
}

}  // namespace
}  // namespace quilvane::test
