#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "CryptoTest.h"
#include "crypto/SignedData.h"

namespace quilvane::test {

const std::string kNotSigned = "The file is not a signed message, or it is damaged or incomplete";

class SignedDataTest : public CryptoTest {
  protected:
    // `id`, alone in the store, with a signing time.
    Signer signer(const Identity& id, std::time_t when) {
        Signer signer;
        signer.Certificate(mine(id));
        signer.AuthenticatedAttributes().Add({AttributeName::SigningTime, DateTime{when}});
        return signer;
    }
    std::string sign(const Identity& id, const std::string& text = "x", std::time_t when = 1e9) {
        SignedData data;
        data.Content(Binary(text));
        return Text(data.Sign(signer(id, when), false, Encoding::Binary));
    }
    static SignedData read(const std::string& bytes, VerifyFlag flag = VerifyFlag::SignatureOnly) {
        SignedData data;
        data.Verify(Binary(bytes), false, flag);
        return data;
    }

    // The bytes of the elements one level below the last one at `depth`
    // whose `openssl asn1parse` line has `tag`.
    std::vector<std::string> parts(const std::string& message, std::size_t depth, const char* tag) {
        std::istringstream lines(Openssl("asn1parse -inform DER -in", save("parse.sig", message)));
        std::vector<std::string> items;
        bool in = false;
        std::size_t offset = 0, level = 0, header = 0, length = 0;
        for (std::string line; std::getline(lines, line);) {
            std::sscanf(line.c_str(), " %zu:d=%zu hl=%zu l=%zu", &offset, &level, &header, &length);
            if (level <= depth && (in = level == depth && line.find(tag) != std::string::npos)) {
                items.clear();
            } else if (in && level == depth + 1) {
                items.push_back(message.substr(offset, header + length));
            }
        }
        return items;
    }
};

TEST_F(SignedDataTest, WritesThreeSignedAttributesAndTheSigningTimeInEitherForm) {
    const Identity dave = pki.pki.issue("sd-dave", "/CN=Dave Example", KeyType::Ed25519);
    using Case = std::tuple<const Identity*, std::time_t, const char*, const char*>;
    for (const auto& [id, when, time, digest] :
         {Case{&dave, 2524608000, "GENERALIZEDTIME:Jan  1 00:00:00 2050 GMT", "algorithm: sha512"},
          Case{&pki.bob, 1714979289, "UTCTIME:May  6 07:08:09 2024 GMT", "algorithm: sha256"}}) {
        const std::string message = sign(*id, "document", when);
        const Attributes attributes = read(message).Signers().at(0).AuthenticatedAttributes();
        ASSERT_EQ(attributes.Count(), 1u);
        EXPECT_EQ(std::get<DateTime>(attributes.Item(1).Value()).seconds, when);
        // Content type, message digest and signing time, nothing more.
        EXPECT_EQ(parts(message, 5, "cont [ 0 ]").size(), 3u);
        const std::string print = Openssl("cms -cmsout -print -inform DER -in", save("p", message));
        for (const char* part : {"contentType", "messageDigest", "signingTime", time, digest}) {
            EXPECT_NE(print.find(part), std::string::npos) << part << print;
        }
    }

    // OpenSSL 3.0's CMS code cannot check Ed25519: check the signature over
    // the signed attributes, re-tagged as the SET OF that is signed.
    const std::vector<std::string> info = parts(sign(dave, "document"), 4, "cons: SEQUENCE");
    // Version, signer, digest, signed attributes, algorithm, signature.
    Openssl("pkeyutl -verify -certin -inkey", dave.cert, "-rawin -in",
            save("attributes.der", "\x31" + info.at(3).substr(1)), "-sigfile",
            save("signature.bin", info.at(5).substr(2)));
}

TEST_F(SignedDataTest, TellsWhatIsWrongWithAMessageOrWithTheCertificateOfASigner) {
    const fs::path document = save("document.txt", "The quick brown fox jumps over the lazy dog");
    const auto byBob = [&](const std::string& options) {
        return Openssl("cms -sign -nodetach -binary -outform DER -in", document, "-signer",
                       pki.bob.cert, "-inkey", pki.bob.key, options);
    };
    // BER with indefinite lengths, as openssl streams it.
    EXPECT_EQ(Text(read(byBob("-stream")).Content()), ReadFile(document));
    std::string content = sign(pki.alice, ReadFile(document)), signature = content;
    content[content.find("lazy")] = 'L';
    signature.back() ^= 0x01;  // the signature ends the message
    EXPECT_EQ(Raised([&] { read(sign(pki.alice), VerifyFlag::SignatureAndCertificate); }),
              (Outcome{UntrustedRoot,
                       "The certificate of Alice Example was not issued by a trusted root."}));

    const Identity erin = pki.pki.issue("sd-erin", "/CN=Erin Expired", KeyType::Ec,
                                        "20200101000000Z", "20210101000000Z");
    const Identity frank = pki.pki.issue("sd-frank", "/CN=Frank Future", KeyType::Ec,
                                         "20500101000000Z", "20600101000000Z");
    // The end of validity as read from a UTCTime and from a GeneralizedTime.
    EXPECT_EQ(mine(erin).ValidTo(), 1609459200);
    EXPECT_EQ(mine(frank).ValidTo(), 2840140800);
    const Identity mallory = pki.pki.selfSigned("sd-mallory", "/CN=Mallory Selfmade", KeyType::Ec);
    // The root in DER; a self-signed one second in a PEM file of several.
    Openssl("x509 -outform DER -in", pki.pki.root().cert, "-out", home.root() / "root.cer");
    WriteFile(home.root() / "several.pem", ReadFile(pki.bob.cert) + ReadFile(mallory.cert));
    using Case = std::pair<std::string, Outcome>;
    for (const auto& [bytes, expected] :
         {Case{sign(pki.alice), {}}, Case{sign(mallory), {}},
          Case{sign(erin), {CertificateExpired, "The certificate of Erin Expired has expired."}},
          Case{sign(frank),
               {CertificateNotYetValid, "The certificate of Frank Future is not yet valid."}},
          Case{content, {SignatureMismatch, "The document was changed after it was signed."}},
          Case{signature,
               {SignatureMismatch, "The signature of Alice Example does not match the document."}},
          Case{byBob("-nocerts"), {BadMessage, "The certificate of signer 1 (serial number "}},
          Case{Openssl("cms -encrypt -aes256 -binary -outform DER -in", document, pki.alice.cert),
               {BadMessage, kNotSigned + ": it is an encrypted message."}},
          Case{std::string(200, 'Z'), {BadMessage, kNotSigned}}}) {
        const Outcome outcome = Raised([&] { read(bytes, VerifyFlag::SignatureAndCertificate); });
        EXPECT_EQ(outcome.first, expected.first) << outcome.second;
        EXPECT_EQ(outcome.second.rfind(expected.second, 0), 0u) << outcome.second;
    }
}

TEST_F(SignedDataTest, CoSigningKeepsEveryEarlierSignerInfoByteForByte) {
    std::time_t when = 1700000000;
    std::string message = sign(pki.alice, "co-signed", when);
    // Bob and Carol add their signatures, then Alice, whose certificate is already there.
    for (const Identity* id : {&pki.bob, &pki.carol, &pki.alice}) {
        SignedData data = read(message);
        const std::string next = Text(data.CoSign(signer(*id, when += 100), Encoding::Binary));
        const auto before = parts(message, 3, "cons: SET"), after = parts(next, 3, "cons: SET");
        ASSERT_EQ(after.size(), before.size() + 1);
        for (const std::string& info : before) {
            EXPECT_NE(std::find(after.begin(), after.end(), info), after.end());
        }
        // Signers come in file order: each signer-info holds its signer's time.
        const std::vector<Signer> signers = read(next).Signers();
        for (std::size_t i = 0; i < after.size(); ++i) {
            auto time =
                std::get<DateTime>(signers.at(i).AuthenticatedAttributes().Item(1).Value()).seconds;
            char utcTime[16];
            std::strftime(utcTime, sizeof utcTime, "%y%m%d%H%M%SZ", std::gmtime(&time));
            EXPECT_NE(after[i].find(utcTime), std::string::npos) << i;
        }
        message = next;
    }
    EXPECT_EQ(parts(message, 3, "cont [ 0 ]").size(), 3u);
}

}  // namespace quilvane::test
