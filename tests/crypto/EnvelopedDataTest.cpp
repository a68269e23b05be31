#include "CryptoTest.h"
#include "crypto/EnvelopedData.h"

namespace quilvane::test {

using enum AlgorithmName;
using enum KeyLength;
const std::string kLegacy = " -provider default -provider legacy";
// NULs, line ends and bytes above 127 that must come back exactly.
const std::string kDocument = std::string("report\r\n\0\xff\x80\n", 12) + std::string(3000, 'x');
const Raise kNotEnvelope{BadMessage,
                         "The file is not an encrypted message, or it is damaged or incomplete."};

class EnvelopedDataTest : public CryptoTest {
  protected:
    // Sealed for `to`, whose certificate and key are then the store's only ones.
    std::string encrypt(const std::string& content, const Identity& to, AlgorithmName cipher,
                        KeyLength length) {
        EnvelopedData envelope;
        envelope.Content(Binary(content));
        envelope.Recipients().Add(mine(to));
        envelope.Algorithm().Name(cipher);
        envelope.Algorithm().KeyLength(length);
        return Text(envelope.Encrypt(Encoding::Binary));
    }
    // The content of `message`, or what was raised; nothing decrypted is left after a refusal.
    Raise decrypt(const std::string& message) {
        EnvelopedData envelope;
        const Raise outcome = Raised([&] { envelope.Decrypt(ui.prompt(), Binary(message)); });
        EXPECT_TRUE(outcome.first == 0 || envelope.Content().empty());
        return outcome.first == 0 ? Raise{0, Text(envelope.Content())} : outcome;
    }
};

TEST_F(EnvelopedDataTest, RoundTripsWithEachCipherItMakesAndOpensWithOpenssl) {
    // The cipher, as `openssl cms -cmsout -print` names it, the recipient and the content.
    using Case = std::tuple<AlgorithmName, KeyLength, std::string, const Identity*, std::string>;
    for (const auto& [name, length, printed, to, content] :
         {Case{RC4, Bits128, "rc4", &pki.alice, kDocument},
          Case{AES, Bits256, "aes-256-cbc", &pki.alice, kDocument},
          Case{AES, Bits128, "aes-128-cbc", &pki.alice, ""},
          Case{TripleDES, Maximum, "des-ede3-cbc", &pki.alice, kDocument},
          // An elliptic-curve recipient gets the key by agreement.
          Case{AES, Bits192, "aes-192-cbc", &pki.bob, "for Bob"}}) {
        const fs::path file = save("sealed.sig", encrypt(content, *to, name, length));
        const std::string print = Openssl("cms -cmsout -print -inform DER -in", file, kLegacy);
        EXPECT_NE(print.find("algorithm: " + printed + " "), std::string::npos) << print;
        EXPECT_EQ(Openssl("cms -decrypt -binary -inform DER -in", file, "-inkey", to->key, kLegacy),
                  content);
        EXPECT_EQ(decrypt(ReadFile(file)), (Raise{0, content})) << printed;
    }
    // Ciphers, or key lengths, that are not made.
    for (auto [name, length] : {std::pair{RC2, Bits128}, std::pair{DES, Bits56},
                                std::pair{RC4, Bits40}, std::pair{AES, Bits56}}) {
        EXPECT_EQ(Raised([&] { encrypt("x", pki.alice, name, length); }).first, Failed);
    }
}

TEST_F(EnvelopedDataTest, OpensOnlyAnEnvelopeForTheKeyInTheStore) {
    std::string envelope = encrypt(kDocument, pki.alice, RC4, Bits128);
    // Triple DES from openssl, where Alice is the second recipient.
    EXPECT_EQ(decrypt(Openssl("cms -encrypt -binary -outform DER -des3 -in",
                              save("document", kDocument), pki.bob.cert, pki.alice.cert)),
              (Raise{0, kDocument}));
    for (const std::string& message :
         {Openssl("cms -sign -nodetach -binary -outform DER -in", save("signed", "x"), "-signer",
                  pki.alice.cert, "-inkey", pki.alice.key),
          std::string(), envelope.substr(0, envelope.size() / 2)}) {
        EXPECT_EQ(decrypt(message), kNotEnvelope);
    }

    // RC4 has no padding that could give a wrong key away: the failure to
    // decrypt the content key itself must stop the decryption.
    const std::size_t key = envelope.find(std::string("\x04\x82\x01\x00", 4));  // RSA-2048's
    ASSERT_NE(key, std::string::npos);
    envelope[key + 100] ^= 0x5a;
    EXPECT_EQ(decrypt(envelope).first, BadMessage);
}

}  // namespace quilvane::test
