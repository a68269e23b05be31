#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
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

    // The elements `openssl asn1parse` lists: where each starts, its depth,
    // header and content lengths, and the line itself.
    struct Element {
        std::size_t offset = 0, depth = 0, header = 0, length = 0;
        std::string line;
    };
    std::vector<Element> parsed(const std::string& message) {
        std::istringstream lines(test::Run("openssl asn1parse -inform DER -in " +
                                           Quote(save("to-parse.sig", message).string())));
        std::vector<Element> elements;
        for (Element e; std::getline(lines, e.line);) {
            if (std::sscanf(e.line.c_str(), " %zu:d=%zu hl=%zu l=%zu", &e.offset, &e.depth,
                            &e.header, &e.length) == 4) {
                elements.push_back(e);
            }
        }
        return elements;
    }

    // The bytes of each signer-info, in the order the message holds them:
    // the elements of the last SET in the signed-data.
    std::vector<std::string> signerInfos(const std::string& message) {
        std::vector<std::string> infos;
        bool inSet = false;
        for (const Element& e : parsed(message)) {
            if (e.depth == 3) {
                inSet = e.line.find("cons: SET") != std::string::npos;
                infos.clear();
            } else if (inSet && e.depth == 4) {
                infos.push_back(message.substr(e.offset, e.header + e.length));
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

TEST_F(SignedDataTest, SignsWithEveryKindOfKeySoThatOpensslAgrees) {
    // The signing time is written to the second, as UTCTime up to 2049 and
    // GeneralizedTime after; without one from the caller it is now.
    struct Case {
        const Identity& id;
        std::string name, digest, algorithm, document;
        std::optional<std::time_t> when;
        std::string timeText;
    };
    for (const Case& c :
         {Case{SharedPki::get().alice, "Alice Example", "sha256", "rsaEncryption",
               AwkwardDocument(), 1714979289, "UTCTIME:May  6 07:08:09 2024 GMT"},
          Case{SharedPki::get().bob, "Bob Example", "sha256", "ecdsa-with-SHA256", std::string(),
               2524608000, "GENERALIZEDTIME:Jan  1 00:00:00 2050 GMT"},
          Case{Dave(), "Dave Example", "sha512", "ED25519", AwkwardDocument(), std::nullopt,
               "UTCTIME:"}}) {
        SCOPED_TRACE(c.name);
        const std::time_t before = std::time(nullptr);
        std::string message = sign(c.id, c.document, c.when);

        SignedData data;
        data.Verify(Binary(message), false, VerifyFlag::SignatureOnly);
        EXPECT_EQ(Text(data.Content()), c.document);
        std::vector<Signer> signers = data.Signers();
        ASSERT_EQ(signers.size(), 1u);
        EXPECT_EQ(signers[0].Certificate().GetInfo(CertInfo::SubjectSimpleName), c.name);
        EXPECT_EQ(signers[0].Certificate().File(), "");
        ASSERT_EQ(signers[0].AuthenticatedAttributes().Count(), 1u);
        const Attribute& time = signers[0].AuthenticatedAttributes().Item(1);
        EXPECT_EQ(time.Name(), AttributeName::SigningTime);
        std::time_t written = std::get<DateTime>(time.Value()).seconds;
        if (c.when) {
            EXPECT_EQ(written, *c.when);
        } else {
            EXPECT_GE(written, before);
            EXPECT_LE(written, std::time(nullptr));
        }

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
        EXPECT_NE(print.find(c.timeText), std::string::npos) << print;

        if (&c.id != &Dave()) {
            EXPECT_EQ(opensslVerified(message), c.document);
            continue;
        }
        // OpenSSL 3.0's CMS code cannot check Ed25519: check the signature
        // over the signed attributes, re-tagged as the SET OF that is signed.
        std::string signedPart, signature;
        for (const Element& e : parsed(message)) {
            if (e.depth == 5 && e.line.find("cont [ 0 ]") != std::string::npos) {
                signedPart = "\x31" + message.substr(e.offset + 1, e.header + e.length - 1);
            } else if (e.depth == 5 && e.line.find("OCTET STRING") != std::string::npos) {
                signature = message.substr(e.offset + e.header, e.length);  // the last is it
            }
        }
        ASSERT_EQ(signature.size(), 64u);
        fs::path pub = dir / "dave.pub";
        test::Run("openssl pkey -pubout -in " + Quote(Dave().key.string()) + " -out " +
                  Quote(pub.string()));
        test::Run("openssl pkeyutl -verify -pubin -inkey " + Quote(pub.string()) + " -rawin -in " +
                  Quote(save("attrs.der", signedPart).string()) + " -sigfile " +
                  Quote(save("sig.bin", signature).string()));
    }
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

TEST_F(SignedDataTest, CoSigningAddsSignersAndKeepsEveryEarlierOneByteForByte) {
    const auto& pki = SharedPki::get();
    const std::string document = AwkwardDocument();
    const std::string rootFile = (pki.pki.folder() / "root.pem").string();
    trustRoot();

    // Alice signs; Bob, Carol and Dave (Ed25519) each add a signature to
    // what the one before wrote.
    std::string message = sign(pki.alice, document, 1700000000);
    std::map<std::string, std::time_t> expected{{"Alice Example", 1700000000}};
    const std::pair<const Identity*, std::string> cosigners[] = {
        {&pki.bob, "Bob Example"}, {&pki.carol, "carol@example.org"}, {&Dave(), "Dave Example"}};
    for (const auto& [id, name] : cosigners) {
        SCOPED_TRACE(name);
        std::time_t when = 1700000000 + 100 * static_cast<std::time_t>(expected.size());
        expected[name] = when;
        SignedData data;
        data.Verify(Binary(message), false, VerifyFlag::SignatureAndCertificate);
        std::string next = Text(data.CoSign(signerOf(mine(*id), when), Encoding::Binary));

        std::vector<std::string> before = signerInfos(message), after = signerInfos(next);
        ASSERT_EQ(after.size(), before.size() + 1);
        for (const std::string& info : before) {
            EXPECT_NE(std::find(after.begin(), after.end(), info), after.end());
        }
        if (id != &Dave()) {  // OpenSSL 3.0's CMS code cannot check Ed25519
            EXPECT_EQ(opensslVerified(next, rootFile), document);
        }

        // Every signer with its own signing time, listed as the file holds
        // them: each signer-info written holds its signer's time.
        data.Verify(Binary(next), false, VerifyFlag::SignatureAndCertificate);
        EXPECT_EQ(Text(data.Content()), document);
        std::vector<Signer> signers = data.Signers();
        ASSERT_EQ(signers.size(), after.size());
        std::map<std::string, std::time_t> found;
        for (std::size_t i = 0; i < signers.size(); ++i) {
            std::time_t time =
                std::get<DateTime>(signers[i].AuthenticatedAttributes().Item(1).Value()).seconds;
            found[signers[i].Certificate().GetInfo(CertInfo::SubjectSimpleName)] = time;
            std::tm fields{};
            gmtime_r(&time, &fields);
            char utcTime[16];
            std::strftime(utcTime, sizeof utcTime, "%y%m%d%H%M%SZ", &fields);
            EXPECT_NE(after[i].find(utcTime), std::string::npos) << i;
        }
        EXPECT_EQ(found, expected);
        message = next;
    }

    // Someone whose certificate the message already carries signs once more.
    SignedData data;
    data.Verify(Binary(message), false, VerifyFlag::SignatureOnly);
    std::string again = Text(data.CoSign(signerOf(mine(pki.alice)), Encoding::Binary));
    EXPECT_EQ(CountOf(printed(again), "d.certificate:"), 4u);
    data.Verify(Binary(again), false, VerifyFlag::SignatureOnly);
    EXPECT_EQ(data.Signers().size(), 5u);
}

TEST_F(SignedDataTest, RefusesWhatItCannotDo) {
    const auto& pki = SharedPki::get();
    std::string description;
    SignedData data;
    data.Content(Binary("text"));
    // No key in the store, and a certificate that came with a message.
    const Certificate alice = mine(pki.alice, false);
    SignedData read;
    read.Verify(Binary(sign(pki.bob, "x")), false, VerifyFlag::SignatureOnly);
    for (const auto& [keyless, name] :
         {std::pair(alice, "Alice Example"),
          std::pair(read.Signers()[0].Certificate(), "Bob Example")}) {
        EXPECT_EQ(
            StatusOf([&] { data.Sign(signerOf(keyless), false, Encoding::Binary); }, &description),
            status::NoPrivateKey);
        EXPECT_EQ(description, std::string("There is no private key in the store for the "
                                           "certificate of ") +
                                   name + ".");
    }
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
