#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "CryptoTest.h"
#include "crypto/SignedData.h"

namespace quilvane::test {
namespace {

const std::string kNotSigned = "The file is not a signed message, or it is damaged or incomplete";

class SignedDataTest : public CryptoTest {
  protected:
    static Signer signerOf(const Certificate& certificate, std::time_t when) {
        Signer signer;
        signer.Certificate(certificate);
        Attribute time;  // a signing time
        time.Value(DateTime{when});
        signer.AuthenticatedAttributes().Add(time);
        return signer;
    }
    std::string sign(const Identity& id, const std::string& text, std::time_t when = 1000000000) {
        SignedData data;
        data.Content(Binary(text));
        return Text(data.Sign(signerOf(mine(id), when), false, Encoding::Binary));
    }
    static Outcome verify(const std::string& message, VerifyFlag flag) {
        return Raised([&] { SignedData().Verify(Binary(message), false, flag); });
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
         {Case{&pki.bob, 1714979289, "UTCTIME:May  6 07:08:09 2024 GMT", "sha256"},
          Case{&dave, 2524608000, "GENERALIZEDTIME:Jan  1 00:00:00 2050 GMT", "sha512"}}) {
        const std::string message = sign(*id, "document", when);
        SignedData data;
        data.Verify(Binary(message), false, VerifyFlag::SignatureOnly);
        const std::vector<Signer> signers = data.Signers();
        ASSERT_EQ(signers.at(0).AuthenticatedAttributes().Count(), 1u);
        EXPECT_EQ(std::get<DateTime>(signers[0].AuthenticatedAttributes().Item(1).Value()).seconds,
                  when);
        // Content type, message digest and signing time, nothing more.
        EXPECT_EQ(parts(message, 5, "cont [ 0 ]").size(), 3u);
        const std::string print = Openssl("cms -cmsout -print -inform DER -in", save("p", message));
        for (const std::string part :
             {"object: contentType", "object: messageDigest", "object: signingTime", time}) {
            EXPECT_NE(print.find(part), std::string::npos) << part << print;
        }
        EXPECT_NE(print.find(std::string("algorithm: ") + digest), std::string::npos) << print;
    }

    // OpenSSL 3.0's CMS code cannot check Ed25519: check the signature over
    // the signed attributes, re-tagged as the SET OF that is signed.
    const std::string message = sign(dave, "document");
    const std::vector<std::string> info = parts(message, 4, "cons: SEQUENCE");
    ASSERT_EQ(info.size(), 6u);  // version, signer, digest, signed attributes, algorithm, signature
    const std::string signedPart = "\x31" + info[3].substr(1), signature = info[5].substr(2);
    Openssl("pkeyutl -verify -certin -inkey", dave.cert, "-rawin -in",
            save("attributes.der", signedPart), "-sigfile", save("signature.bin", signature));
}

TEST_F(SignedDataTest, ReadsStreamedMessagesAndTellsWhatIsWrongWithOthers) {
    const fs::path document = save("document.txt", "The quick brown fox jumps over the lazy dog");
    const auto opensslMade = [&](const std::string& options) {
        return Openssl("cms -binary -outform DER -in", document, options);
    };
    const std::string byBob =
        "-sign -nodetach -signer " + Word(pki.bob.cert) + " -inkey " + Word(pki.bob.key);
    // BER with indefinite lengths, as openssl streams it.
    SignedData streamed;
    streamed.Verify(Binary(opensslMade(byBob + " -stream")), false, VerifyFlag::SignatureOnly);
    EXPECT_EQ(Text(streamed.Content()), ReadFile(document));

    const std::string message = sign(pki.alice, ReadFile(document));
    std::string content = message, signature = message;
    content[content.find("lazy")] = 'L';
    signature.back() ^= 0x01;  // the signature ends the message
    for (const auto& [bytes, expected] : {
             std::pair{content, Outcome{status::SignatureMismatch,
                                        "The document was changed after it was signed."}},
             std::pair{signature,
                       Outcome{status::SignatureMismatch,
                               "The signature of Alice Example does not match the document."}},
             std::pair{opensslMade(byBob + " -nocerts"),
                       Outcome{status::BadMessage, "The certificate of signer 1 (serial number "}},
             std::pair{opensslMade("-encrypt -aes256 " + Word(pki.alice.cert)),
                       Outcome{status::BadMessage, kNotSigned + ": it is an encrypted message."}},
             std::pair{std::string(200, 'Z'), Outcome{status::BadMessage, kNotSigned}},
         }) {
        const Outcome outcome = verify(bytes, VerifyFlag::SignatureOnly);
        EXPECT_EQ(outcome.status, expected.status) << outcome;
        EXPECT_EQ(outcome.description.rfind(expected.description, 0), 0u) << outcome;
    }
}

TEST_F(SignedDataTest, ChecksEachSignersCertificateAgainstTheTrustedRootsWhenAsked) {
    EXPECT_EQ(verify(sign(pki.alice, "checked"), VerifyFlag::SignatureAndCertificate),
              (Outcome{status::UntrustedRoot,
                       "The certificate of Alice Example was not issued by a trusted root."}));

    const Identity erin = pki.pki.issue("sd-erin", "/CN=Erin Expired", KeyType::Ec,
                                        "20200101000000Z", "20210101000000Z");
    const Identity frank = pki.pki.issue("sd-frank", "/CN=Frank Future", KeyType::Ec,
                                         "20400101000000Z", "20410101000000Z");
    const Identity mallory = pki.pki.selfSigned("sd-mallory", "/CN=Mallory Selfmade", KeyType::Ec);
    // The root in DER; a self-signed one second in a PEM file of several.
    Openssl("x509 -outform DER -in", pki.pki.root().cert, "-out", home.root() / "root.cer");
    WriteFile(home.root() / "several.pem", ReadFile(pki.bob.cert) + ReadFile(mallory.cert));
    using Case = std::pair<const Identity*, Outcome>;
    for (const auto& [id, expected] : {
             Case{&pki.alice, Outcome{}},
             Case{&mallory, Outcome{}},
             Case{&erin, Outcome{status::CertificateExpired,
                                 "The certificate of Erin Expired has expired."}},
             Case{&frank, Outcome{status::CertificateNotYetValid,
                                  "The certificate of Frank Future is not yet valid."}},
         }) {
        EXPECT_EQ(verify(sign(*id, "checked"), VerifyFlag::SignatureAndCertificate), expected);
    }
}

TEST_F(SignedDataTest, CoSigningKeepsEveryEarlierSignerInfoByteForByte) {
    std::time_t when = 1700000000;
    std::string message = sign(pki.alice, "co-signed", when);
    // Bob and Carol add their signatures, then Alice, whose certificate is already there.
    for (const Identity* id : {&pki.bob, &pki.carol, &pki.alice}) {
        SignedData data;
        data.Verify(Binary(message), false, VerifyFlag::SignatureOnly);
        const std::string next =
            Text(data.CoSign(signerOf(mine(*id), when += 100), Encoding::Binary));
        const auto before = parts(message, 3, "cons: SET"), after = parts(next, 3, "cons: SET");
        ASSERT_EQ(after.size(), before.size() + 1);
        for (const std::string& info : before) {
            EXPECT_NE(std::find(after.begin(), after.end(), info), after.end());
        }
        // Signers come in file order: each signer-info holds its signer's time.
        data.Verify(Binary(next), false, VerifyFlag::SignatureOnly);
        const std::vector<Signer> signers = data.Signers();
        for (std::size_t i = 0; i < after.size(); ++i) {
            std::time_t time =
                std::get<DateTime>(signers.at(i).AuthenticatedAttributes().Item(1).Value()).seconds;
            char utcTime[16];
            std::strftime(utcTime, sizeof utcTime, "%y%m%d%H%M%SZ", std::gmtime(&time));
            EXPECT_NE(after[i].find(utcTime), std::string::npos) << i;
        }
        message = next;
    }
    EXPECT_EQ(parts(message, 3, "cont [ 0 ]").size(), 3u);
}

}  // namespace
}  // namespace quilvane::test
