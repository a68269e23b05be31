#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/Certificate.h"
#include "crypto/Error.h"
#include "crypto/SignedData.h"
#include "support/ScriptedUserInterface.h"
#include "support/SharedPki.h"

namespace quilvane {
namespace {

namespace fs = std::filesystem;
using test::Identity;
using test::KeyType;
using test::Quote;
using test::ReadFile;
using test::ScriptedUserInterface;
using test::SharedPki;
using test::StoreHome;
using test::TempDir;
using test::WriteFile;

// Certificates beyond the shared ones, made on first use.
const Identity& Dave() {  // Ed25519
    static Identity id =
        SharedPki::get().pki.issue("sd-dave", "/CN=Dave Example", KeyType::Ed25519);
    return id;
}
const Identity& Expired() {
    static Identity id = SharedPki::get().pki.issue("sd-erin", "/CN=Erin Expired", KeyType::Ec,
                                                    "20200101000000Z", "20210101000000Z");
    return id;
}
const Identity& Future() {
    static Identity id = SharedPki::get().pki.issue("sd-frank", "/CN=Frank Future", KeyType::Ec,
                                                    "20400101000000Z", "20410101000000Z");
    return id;
}
const Identity& Mallory() {  // self-signed, vouched for by no root
    static Identity id =
        SharedPki::get().pki.selfSigned("sd-mallory", "/CN=Mallory Selfmade", KeyType::Ec);
    return id;
}

BinaryString Binary(const std::string& text) {
    return BinaryString(Bytes(text.data(), text.size()));
}
std::string Text(const BinaryString& binary) {
    return {reinterpret_cast<const char*>(binary.view().data()), binary.size()};
}

// Every byte value, NULs and CR LF among them.
std::string AwkwardDocument() {
    std::string document = "line one\r\nline two\n";
    for (int i = 0; i < 256; ++i) {
        document.push_back(static_cast<char>(i));
    }
    return document + std::string(4, '\0') + "\r\n";
}

// The status and description an action raises (0 when it raises nothing).
std::int32_t StatusOf(const std::function<void()>& action, std::string* description = nullptr) {
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

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class SignedDataTest : public ::testing::Test {
  protected:
    SignedDataTest() : home(dir / "data") {}

    // The certificate of `id` from the personal store, with its private key.
    Certificate mine(const Identity& id, bool withKey = true) {
        home.add({id.cert});
        if (withKey) {
            home.add({id.key});
        }
        Store store;
        store.Open(ui, StoreLocation::CurrentUser, "My", StoreOpenMode::ReadOnly);
        for (std::size_t i = 1; i <= store.Certificates().Count(); ++i) {
            const Certificate& certificate = store.Certificates().Item(i);
            if (fs::path(certificate.File()).filename() == id.cert.filename()) {
                return certificate;
            }
        }
        throw std::runtime_error("not in the store: " + id.cert.string());
    }

    static Signer signerOf(const Certificate& certificate, std::optional<std::time_t> when = {}) {
        Signer signer;
        signer.Certificate(certificate);
        if (when) {
            Attribute time;
            time.Name(AttributeName::SigningTime);
            time.Value(DateTime{*when});
            signer.AuthenticatedAttributes().Add(time);
        }
        return signer;
    }

    std::string sign(const Identity& id, const std::string& document,
                     std::optional<std::time_t> when = {}) {
        SignedData data;
        data.Content(Binary(document));
        return Text(data.Sign(signerOf(mine(id), when), false, Encoding::Binary));
    }

    fs::path save(const std::string& name, const std::string& bytes) {
        WriteFile(dir / name, bytes);
        return dir / name;
    }

    // What `openssl cms -verify` extracts; `trust` empty for no chain check.
    std::string opensslVerified(const std::string& message, const std::string& trust = {}) {
        fs::path in = save("to-verify.sig", message);
        fs::path out = dir / "verified.out";
        test::Run("openssl cms -verify -inform DER -binary -in " + Quote(in.string()) + " -out " +
                  Quote(out.string()) +
                  (trust.empty() ? " -noverify" : " -CAfile " + Quote(trust)));
        return ReadFile(out);
    }

    std::string printed(const std::string& message) {
        return test::Run("openssl cms -cmsout -print -inform DER -in " +
                         Quote(save("to-print.sig", message).string()));
    }

    // The bytes of each SignerInfo, found with openssl asn1parse.
    std::vector<std::string> signerInfos(const std::string& message) {
        std::istringstream lines(test::Run("openssl asn1parse -inform DER -in " +
                                           Quote(save("to-parse.sig", message).string())));
        std::vector<std::string> infos;
        bool inSignerInfos = false;
        for (std::string line; std::getline(lines, line);) {
            std::size_t offset = 0, header = 0, length = 0;
            if (line.find("d=3") != std::string::npos) {
                // The signer-infos are the last SET of the signed-data.
                inSignerInfos = line.find("cons: SET") != std::string::npos;
                if (inSignerInfos) {
                    infos.clear();
                }
            } else if (inSignerInfos && line.find("d=4") != std::string::npos &&
                       std::sscanf(line.c_str(), " %zu:d=4 hl=%zu l=%zu", &offset, &header,
                                   &length) == 3) {
                infos.push_back(message.substr(offset, header + length));
            }
        }
        return infos;
    }

    void trustRoot() {
        fs::copy_file(SharedPki::get().pki.folder() / "root.pem", home.root() / "root.pem");
    }

    TempDir dir;
    StoreHome home;
    ScriptedUserInterface ui;
};

TEST_F(SignedDataTest, SignsWithEveryKindOfKeyAndReadsItBack) {
    const std::string document = AwkwardDocument();
    const std::time_t when = 1717171717;
    struct Case {
        const Identity& id;
        std::string name, digest, algorithm;
    };
    for (const Case& c : {Case{SharedPki::get().alice, "Alice Example", "sha256", "rsaEncryption"},
                          Case{SharedPki::get().bob, "Bob Example", "sha256", "ecdsa-with-SHA256"},
                          Case{Dave(), "Dave Example", "sha512", "ED25519"}}) {
        SCOPED_TRACE(c.name);
        std::string message = sign(c.id, document, when);

        SignedData data;
        data.Verify(Binary(message), false, VerifyFlag::SignatureOnly);
        EXPECT_EQ(Text(data.Content()), document);
        std::vector<Signer> signers = data.Signers();
        ASSERT_EQ(signers.size(), 1u);
        EXPECT_EQ(signers[0].Certificate().GetInfo(CertInfo::SubjectSimpleName), c.name);
        EXPECT_EQ(signers[0].Certificate().File(), "");
        ASSERT_EQ(signers[0].AuthenticatedAttributes().Count(), 1u);
        const Attribute& time = signers[0].AuthenticatedAttributes().Item(1);
        EXPECT_EQ(time.Name(), AttributeName::SigningTime);
        EXPECT_EQ(std::get<DateTime>(time.Value()), DateTime{when});

        // DER throughout: openssl's own re-encoding changes nothing.
        fs::path sig = save("message.sig", message);
        EXPECT_EQ(
            test::Run("openssl cms -cmsout -inform DER -outform DER -in " + Quote(sig.string())),
            message);
        // Content type, message digest and signing time, nothing more.
        std::string print = printed(message);
        std::size_t from = print.find("signedAttrs:");
        std::string attributes = print.substr(from, print.find("signatureAlgorithm:", from) - from);
        EXPECT_EQ(CountOf(attributes, "object: "), 3u) << attributes;
        EXPECT_NE(attributes.find("object: contentType"), std::string::npos);
        EXPECT_NE(attributes.find("object: messageDigest"), std::string::npos);
        EXPECT_NE(attributes.find("object: signingTime"), std::string::npos);
        EXPECT_NE(print.find("algorithm: " + c.digest), std::string::npos) << print;
        EXPECT_NE(print.find("algorithm: " + c.algorithm), std::string::npos) << print;
        EXPECT_EQ(CountOf(print, "d.certificate:"), 1u);
    }
}

TEST_F(SignedDataTest, OpensslAcceptsTheMessagesWithTheDocumentByteForByte) {
    for (const std::string& document : {AwkwardDocument(), std::string()}) {
        EXPECT_EQ(opensslVerified(sign(SharedPki::get().alice, document)), document);
        EXPECT_EQ(opensslVerified(sign(SharedPki::get().bob, document)), document);
    }
    // OpenSSL 3.0's CMS code cannot check Ed25519; check the signature over
    // the signed attributes by hand.
    std::string message = sign(Dave(), "for Ed25519");
    fs::path sig = save("ed.sig", message);
    std::istringstream lines(test::Run("openssl asn1parse -inform DER -in " + Quote(sig.string())));
    std::size_t offset = 0, header = 0, length = 0;
    std::string signature;
    std::string attributes;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("d=5") != std::string::npos && line.find("cont [ 0 ]") != std::string::npos &&
            std::sscanf(line.c_str(), " %zu:d=5 hl=%zu l=%zu", &offset, &header, &length) == 3) {
            attributes = message.substr(offset, header + length);
            attributes[0] = '\x31';  // signed as a SET OF
        }
        if (line.find("d=5") != std::string::npos &&
            line.find("OCTET STRING") != std::string::npos &&
            std::sscanf(line.c_str(), " %zu:d=5 hl=%zu l=%zu", &offset, &header, &length) == 3) {
            signature = message.substr(offset + header, length);
        }
    }
    ASSERT_EQ(signature.size(), 64u);
    fs::path pub = dir / "dave.pub";
    test::Run("openssl pkey -pubout -in " + Quote(Dave().key.string()) + " -out " +
              Quote(pub.string()));
    test::Run("openssl pkeyutl -verify -pubin -inkey " + Quote(pub.string()) + " -rawin -in " +
              Quote(save("attrs.der", attributes).string()) + " -sigfile " +
              Quote(save("sig.bin", signature).string()));
}

TEST_F(SignedDataTest, WritesTheSigningTimeToTheSecondInTheRightForm) {
    const std::time_t utc = 1714979289;      // 2024-05-06 07:08:09 UTC
    const std::time_t general = 2524608000;  // 2050-01-01 00:00:00 UTC
    std::string print = printed(sign(SharedPki::get().bob, "x", utc));
    EXPECT_NE(print.find("UTCTIME:May  6 07:08:09 2024 GMT"), std::string::npos) << print;
    print = printed(sign(SharedPki::get().bob, "x", general));
    EXPECT_NE(print.find("GENERALIZEDTIME:Jan  1 00:00:00 2050 GMT"), std::string::npos) << print;

    SignedData data;
    data.Verify(Binary(sign(SharedPki::get().bob, "x", general)), false, VerifyFlag::SignatureOnly);
    EXPECT_EQ(std::get<DateTime>(data.Signers()[0].AuthenticatedAttributes().Item(1).Value()),
              DateTime{general});

    // Without a signing time from the caller: now.
    std::time_t before = std::time(nullptr);
    data.Verify(Binary(sign(SharedPki::get().bob, "x")), false, VerifyFlag::SignatureOnly);
    std::time_t written =
        std::get<DateTime>(data.Signers()[0].AuthenticatedAttributes().Item(1).Value()).seconds;
    EXPECT_GE(written, before);
    EXPECT_LE(written, std::time(nullptr));
}

TEST_F(SignedDataTest, ReadsMessagesMadeByOpenssl) {
    const auto& pki = SharedPki::get();
    fs::path doc = save("doc.txt", AwkwardDocument());
    auto opensslSigned = [&](const std::string& options) {
        fs::path out = dir / "openssl.sig";
        test::Run("openssl cms -sign -nodetach -binary -outform DER -in " + Quote(doc.string()) +
                  " -out " + Quote(out.string()) + " " + options);
        SignedData data;
        data.Verify(Binary(ReadFile(out)), false, VerifyFlag::SignatureOnly);
        EXPECT_EQ(Text(data.Content()), AwkwardDocument());
        return data.Signers();
    };
    auto signer = [](const Identity& id) {
        return "-signer " + Quote(id.cert.string()) + " -inkey " + Quote(id.key.string()) + " ";
    };

    std::vector<Signer> signers = opensslSigned(signer(pki.alice));
    ASSERT_EQ(signers.size(), 1u);
    const Attributes& attributes = signers[0].AuthenticatedAttributes();
    ASSERT_EQ(attributes.Count(), 2u);  // the signing time first, then the S/MIME capabilities
    EXPECT_EQ(attributes.Item(1).Name(), AttributeName::SigningTime);
    EXPECT_EQ(attributes.Item(2).Name(), AttributeName::Other);
    EXPECT_EQ(std::get<std::string>(attributes.Item(2).Value()).rfind("S/MIME Capabilities: ", 0),
              0u);

    signers = opensslSigned(signer(pki.bob) + "-nosmimecap");
    EXPECT_EQ(signers.at(0).AuthenticatedAttributes().Count(), 1u);

    signers = opensslSigned(signer(pki.alice) + "-noattr");
    EXPECT_EQ(signers.at(0).AuthenticatedAttributes().Count(), 0u);
    std::string description;
    EXPECT_EQ(StatusOf([&] { signers[0].AuthenticatedAttributes().Item(1); }, &description),
              status::NoSuchItem);
    EXPECT_EQ(description, "The signature has no signed attributes.");

    signers = opensslSigned(signer(pki.bob) + signer(pki.alice) + signer(pki.carol));
    ASSERT_EQ(signers.size(), 3u);
    EXPECT_EQ(signers[0].Certificate().GetInfo(CertInfo::SubjectSimpleName), "Bob Example");
    EXPECT_EQ(signers[1].Certificate().GetInfo(CertInfo::SubjectSimpleName), "Alice Example");
    EXPECT_EQ(signers[2].Certificate().GetInfo(CertInfo::SubjectSimpleName), "carol@example.org");

    // BER with indefinite lengths, as openssl streams it.
    signers = opensslSigned(signer(pki.bob) + "-stream");
    EXPECT_EQ(signers.size(), 1u);

    // Without the signer's certificate the signature cannot be checked.
    std::string withoutCertificate = dir / "nocerts.sig";
    test::Run("openssl cms -sign -nodetach -binary -nocerts -outform DER -in " +
              Quote(doc.string()) + " -out " + Quote(withoutCertificate) + " " + signer(pki.bob));
    SignedData data;
    EXPECT_EQ(StatusOf(
                  [&] {
                      data.Verify(Binary(ReadFile(withoutCertificate)), false,
                                  VerifyFlag::SignatureOnly);
                  },
                  &description),
              status::BadMessage);
    EXPECT_EQ(description.rfind("The certificate of signer 1 (serial number ", 0), 0u)
        << description;
    EXPECT_NE(description.find("from Quilvane Test Root) is not in the file"), std::string::npos);
}

TEST_F(SignedDataTest, RefusesDamagedOrForeignMessages) {
    const std::string document = "The quick brown fox jumps over the lazy dog";
    const std::string message = sign(SharedPki::get().alice, document);
    const std::string notSigned =
        "The file is not a signed message, or it is damaged or incomplete";
    auto verify = [&](const std::string& bytes, std::string* description) {
        SignedData data;
        std::int32_t result = StatusOf(
            [&] { data.Verify(Binary(bytes), false, VerifyFlag::SignatureOnly); }, description);
        EXPECT_TRUE(data.Signers().empty());
        return result;
    };
    std::string description;

    std::string changed = message;
    changed[changed.find("lazy")] = 'L';
    EXPECT_EQ(verify(changed, &description), status::SignatureMismatch);
    EXPECT_EQ(description, "The document was changed after it was signed.");

    std::string badSignature = message;
    badSignature.back() ^= 0x01;  // the signature ends the message
    EXPECT_EQ(verify(badSignature, &description), status::SignatureMismatch);
    EXPECT_EQ(description, "The signature of Alice Example does not match the document.");

    fs::path doc = save("doc.txt", document);
    fs::path enveloped = dir / "enveloped.der";
    test::Run("openssl cms -encrypt -binary -outform DER -aes256 -in " + Quote(doc.string()) +
              " -out " + Quote(enveloped.string()) + " " +
              Quote(SharedPki::get().alice.cert.string()));

    fs::path detached = dir / "detached.der";
    test::Run("openssl cms -sign -binary -outform DER -in " + Quote(doc.string()) + " -out " +
              Quote(detached.string()) + " -signer " + Quote(SharedPki::get().bob.cert.string()) +
              " -inkey " + Quote(SharedPki::get().bob.key.string()));
    EXPECT_EQ(verify(ReadFile(detached), &description), status::BadMessage);
    EXPECT_EQ(description, notSigned + ": the document is not inside it.");

    std::string random;
    for (int i = 0; i < 1000; ++i) {
        random.push_back(static_cast<char>((i * 7919 + 13) % 251));
    }
    for (const std::string& bad : {message.substr(0, message.size() - 10), std::string(), random,
                                   message + "trailing", ReadFile(enveloped)}) {
        EXPECT_EQ(verify(bad, &description), status::BadMessage);
        EXPECT_EQ(description.rfind(notSigned, 0), 0u) << description;
    }
    EXPECT_EQ(description, notSigned + ": it is an encrypted message.");
}

TEST_F(SignedDataTest, ChecksTheSignersCertificatesWhenAsked) {
    auto check = [&](const Identity& id, std::string* description) {
        std::string message = sign(id, "checked");
        SignedData data;
        // Signatures alone always pass.
        data.Verify(Binary(message), false, VerifyFlag::SignatureOnly);
        return StatusOf(
            [&] { data.Verify(Binary(message), false, VerifyFlag::SignatureAndCertificate); },
            description);
    };
    std::string description;
    EXPECT_EQ(check(SharedPki::get().alice, &description), status::UntrustedRoot);
    EXPECT_EQ(description, "The certificate of Alice Example was not issued by a trusted root.");

    trustRoot();
    EXPECT_EQ(check(SharedPki::get().alice, &description), 0) << description;
    EXPECT_EQ(check(Dave(), &description), 0) << description;
    EXPECT_EQ(check(Expired(), &description), status::CertificateExpired);
    EXPECT_EQ(description, "The certificate of Erin Expired has expired.");
    EXPECT_EQ(check(Future(), &description), status::CertificateNotYetValid);
    EXPECT_EQ(description, "The certificate of Frank Future is not yet valid.");
    EXPECT_EQ(check(Mallory(), &description), status::UntrustedRoot);
    EXPECT_EQ(description, "The certificate of Mallory Selfmade was not issued by a trusted root.");

    // Roots in DER, or several in one PEM file, count as well.
    fs::remove(home.root() / "root.pem");
    test::Run("openssl x509 -outform DER -in " +
              Quote((SharedPki::get().pki.folder() / "root.pem").string()) + " -out " +
              Quote((home.root() / "root.cer").string()));
    WriteFile(home.root() / "several.pem",
              ReadFile(SharedPki::get().alice.cert) + ReadFile(Mallory().cert));
    WriteFile(home.root() / "junk.txt", "not a certificate");
    EXPECT_EQ(check(SharedPki::get().alice, &description), 0) << description;
    EXPECT_EQ(check(Mallory(), &description), 0) << description;
}

TEST_F(SignedDataTest, CoSigningAddsOneSignerAndKeepsTheRest) {
    const auto& pki = SharedPki::get();
    const std::string document = AwkwardDocument();
    const std::string first = sign(pki.alice, document, 1700000000);
    trustRoot();
    const std::string rootFile = (pki.pki.folder() / "root.pem").string();

    SignedData data;
    data.Verify(Binary(first), false, VerifyFlag::SignatureAndCertificate);
    std::string second = Text(data.CoSign(signerOf(mine(pki.bob), 1700000100), Encoding::Binary));

    EXPECT_EQ(opensslVerified(second, rootFile), document);
    std::vector<std::string> before = signerInfos(first), after = signerInfos(second);
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(CountOf(printed(second), "d.certificate:"), 2u);

    SignedData again;
    again.Verify(Binary(second), false, VerifyFlag::SignatureAndCertificate);
    std::string third = Text(again.CoSign(signerOf(mine(pki.carol), 1700000200), Encoding::Binary));
    EXPECT_EQ(opensslVerified(third, rootFile), document);
    after = signerInfos(third);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1], signerInfos(second)[1]);

    // An Ed25519 co-signer too; then every signer in order, with its time.
    again.Verify(Binary(third), false, VerifyFlag::SignatureAndCertificate);
    std::string fourth = Text(again.CoSign(signerOf(mine(Dave()), 1700000300), Encoding::Binary));
    again.Verify(Binary(fourth), false, VerifyFlag::SignatureAndCertificate);
    EXPECT_EQ(Text(again.Content()), document);
    std::vector<Signer> signers = again.Signers();
    ASSERT_EQ(signers.size(), 4u);
    const char* names[] = {"Alice Example", "Bob Example", "carol@example.org", "Dave Example"};
    for (std::size_t i = 0; i < signers.size(); ++i) {
        EXPECT_EQ(signers[i].Certificate().GetInfo(CertInfo::SubjectSimpleName), names[i]);
        EXPECT_EQ(std::get<DateTime>(signers[i].AuthenticatedAttributes().Item(1).Value()),
                  DateTime{static_cast<std::time_t>(1700000000 + 100 * i)});
    }

    // Someone whose certificate the message already carries signs once more.
    std::string fifth = Text(again.CoSign(signerOf(mine(pki.alice)), Encoding::Binary));
    EXPECT_EQ(CountOf(printed(fifth), "d.certificate:"), 4u);
    again.Verify(Binary(fifth), false, VerifyFlag::SignatureOnly);
    ASSERT_EQ(again.Signers().size(), 5u);
    EXPECT_EQ(again.Signers()[4].Certificate().GetInfo(CertInfo::SubjectSimpleName),
              "Alice Example");
}

TEST_F(SignedDataTest, RefusesWhatItCannotDo) {
    const auto& pki = SharedPki::get();
    std::string description;
    SignedData data;
    data.Content(Binary("text"));
    EXPECT_EQ(
        StatusOf([&] { data.Sign(signerOf(mine(pki.alice, false)), false, Encoding::Binary); },
                 &description),
        status::NoPrivateKey);
    EXPECT_NE(description.find("Alice Example"), std::string::npos) << description;
    EXPECT_EQ(StatusOf([&] { data.Sign(Signer(), false, Encoding::Binary); }, &description),
              status::Failed);
    EXPECT_EQ(description, "No certificate was chosen for the signer.");
    EXPECT_EQ(StatusOf([&] { data.Sign(signerOf(mine(pki.bob)), true, Encoding::Binary); }),
              status::Failed);
    EXPECT_EQ(StatusOf([&] { data.Sign(signerOf(mine(pki.bob)), false, Encoding::Base64); }),
              status::Failed);
    EXPECT_EQ(StatusOf([&] { SignedData().CoSign(signerOf(mine(pki.bob)), Encoding::Binary); }),
              status::Failed);
    // The content is still whole after the refusals, and signs.
    EXPECT_EQ(Text(data.Content()), "text");
    EXPECT_EQ(opensslVerified(Text(data.Sign(signerOf(mine(pki.bob)), false, Encoding::Binary))),
              "text");
    EXPECT_EQ(Text(data.Content()), "text");
}

}  // namespace
}  // namespace quilvane
