// SignedData signing, verifying and co-signing in chunks: the bytes written
// against the openssl command's, what they sign, messages others write, and
// what must be refused.

#include <fcntl.h>
#include <unistd.h>

#include <map>

#include <openssl/pem.h>
#include "CryptoTest.h"

#include "internal/Asn1Cursor.h"
#include "internal/CertificateImpl.h"
#include "internal/DigestThread.h"
#include "internal/MessageReader.h"
#include "support/Forge.h"

namespace quilvane::test {
namespace {

constexpr std::time_t kWhen = 1700000000;
constexpr std::size_t kWhole = std::size_t{1} << 30;
const std::string kNotSigned = "The file is not a signed message, or it is damaged or incomplete: ";

// A signed file read through its descriptor, and a sink that takes runs of
// it as the kernel would copy them: co-signing's kernel-copy path.
struct FileInput : ContentSource, RewindableSource, FileBackedSource {
    explicit FileInput(fs::path file) : path(std::move(file)), fd(::open(path.c_str(), O_RDONLY)) {}
    ~FileInput() override { ::close(fd); }
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        return n < 0 ? throw Error(errno, "read") : static_cast<std::size_t>(n);
    }
    std::optional<std::uint64_t> Size() const override { return fs::file_size(path); }
    void Rewind() override { ::lseek(fd, 0, SEEK_SET); }
    int Descriptor() const override { return fd; }
    fs::path path;
    int fd;
};

struct CopySink : MemorySink, FileCopySink {
    bool CopyFrom(int descriptor, std::uint64_t offset, std::uint64_t length) override {
        std::string run(length, '\0');
        EXPECT_EQ(::pread(descriptor, run.data(), length, static_cast<off_t>(offset)),
                  static_cast<ssize_t>(length));
        text += run;
        return ++copies > 0;
    }
    int copies = 0;
};

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + size) >> 3);
    }
    return bytes;
}

// The encodings of the elements inside `element`.
std::vector<std::string> Inside(const std::string& element) {
    der::Cursor outer({reinterpret_cast<const std::uint8_t*>(element.data()), element.size()});
    der::Cursor inner(outer.Next().value().contents);
    std::vector<std::string> parts;
    while (std::optional<der::Element> part = inner.Next()) {
        parts.emplace_back(part->encoding.begin(), part->encoding.end());
    }
    return parts;
}

// The encodings of a message's signer-infos: the last element after its document.
std::vector<std::string> SignerInfos(const std::string& message) {
    MemorySource source(message);
    const streaming::Buffer rest = streaming::ReadMessage(source, 4096, {}, [](auto) {}).rest;
    der::Cursor elements(rest);
    std::string last;
    while (std::optional<der::Element> element = elements.Next()) {
        last.assign(element->encoding.begin(), element->encoding.end());
    }
    return Inside(last);
}

// The latest signing time in `message`: the one openssl just gave it.
std::time_t LatestSigningTime(const std::string& message) {
    MemorySource source(message);
    SignedData data;
    data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
    std::time_t latest = 0;
    for (const Signer& signer : data.Signers()) {
        const Attribute& time = signer.AuthenticatedAttributes().Item(1);
        latest = std::max(latest, std::get<DateTime>(time.Value()).seconds);
    }
    return latest;
}

class SignedDataTest : public CryptoTest {
  protected:
    const Signer& signer(const Identity& id, std::time_t when = kWhen) {
        auto [at, added] = signers.try_emplace({id.cert, when});
        if (added) {
            at->second.Certificate(mine(id));
            at->second.AuthenticatedAttributes().Add({AttributeName::SigningTime, DateTime{when}});
        }
        return at->second;
    }
    std::string sign(const Identity& id, const std::string& document, std::size_t step = kWhole,
                     bool sized = true, bool patchable = true, std::time_t when = kWhen) {
        MemorySource source(document, step, sized);
        MemorySink patch;
        AppendSink append;
        SignedData().Sign(source, patchable ? patch : append, signer(id, when));
        return patchable ? patch.text : append.text;
    }
    // Verifies `message` in chunks; returns the document and the signers.
    std::pair<std::string, std::size_t> verify(const std::string& message,
                                               std::size_t step = kWhole) {
        MemorySource source(message, step);
        AppendSink document;
        SignedData data;
        data.Verify(source, &document, VerifyFlag::SignatureOnly);
        return {document.text, data.Signers().size()};
    }
    // Verifies `message` and co-signs `again` (the same message, unless a test says not).
    std::string coSign(const std::string& message, const Signer& by,
                       std::optional<std::string> again = {}) {
        SignedData data;
        MemorySource source(message);
        data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
        MemorySource reread(again.value_or(message), 5);
        MemorySink out;
        data.CoSign(reread, out, by);
        return out.text;
    }

    std::map<std::pair<fs::path, std::time_t>, Signer> signers;
    const Identity dave = pki.pki.issue("dave", "/CN=Dave Example", KeyType::Ed25519);
};

// (RSA's, in UTCTime and SHA-256, are openssl's own bytes: the test below.)
TEST_F(SignedDataTest, SignsEd25519WithSha512AndAGeneralizedSigningTime) {
    const std::string message = sign(dave, "document", kWhole, true, true, 2524608000);
    // Version, signer, digest, signed attributes, algorithm, signature;
    // the attributes: content type, message digest, signing time and the
    // certificate's SHA-512 hash.
    const std::vector<std::string> info = Inside(SignerInfos(message).at(0));
    EXPECT_EQ(Inside(info.at(3)).size(), 4u);
    const std::string print = Openssl("cms -cmsout -print -inform DER -in", save("p", message));
    for (const char* part :
         {"contentType", "messageDigest", "algorithm: sha512", "id-smime-aa-signingCertificateV2",
          "GENERALIZEDTIME:Jan  1 00:00:00 2050 GMT"}) {
        EXPECT_NE(print.find(part), std::string::npos) << part << print;
    }
    // Read back as CAdES, the binding kept out of the signer's own attributes.
    MemorySource source(message);
    SignedData data;
    data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
    EXPECT_EQ(data.Signers().at(0).Level(), SignatureLevel::CadesBB);
    EXPECT_EQ(data.Signers().at(0).AuthenticatedAttributes().Count(), 1u);
    // OpenSSL 3.0's CMS code cannot check Ed25519: check the signature over
    // the signed attributes, re-tagged as the SET OF that is signed.
    Openssl("pkeyutl -verify -certin -inkey", dave.cert, "-rawin -in",
            save("attributes.der", "\x31" + info.at(3).substr(1)), "-sigfile",
            save("signature.bin", info.at(5).substr(2)));
}

TEST_F(SignedDataTest, WritesWhatOpensslWritesAtEveryLengthBoundary) {
    // The outer length's overhead over the document, to put it either side of 2^16.
    der::Header outer;
    const std::string probe = sign(pki.bob, Pattern(1000));
    der::Cursor front({reinterpret_cast<const std::uint8_t*>(probe.data()), 10});
    ASSERT_EQ(front.ReadHeader(outer), der::ParseResult::Complete);
    const std::size_t overhead = *outer.length - 1000;
    std::vector<std::size_t> sizes = {0, 1, 127, 128, 255, 256, 65535, 65536};
    for (std::size_t d = 0; d <= 84; d += 6) {
        sizes.push_back(65536 + 4 - overhead - d);
    }
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string document = Pattern(size);
        const std::size_t step = size < 300 ? 3 : kWhole;
        // RSA PKCS #1 v1.5 signatures are deterministic: at openssl's signing
        // time, the same bytes.
        const std::string theirs =
            Openssl("cms -sign -cades -binary -nodetach -nosmimecap -md sha256 -outform DER -in",
                    save("document", document), "-signer", pki.alice.cert, "-inkey", pki.alice.key);
        const std::time_t when = LatestSigningTime(theirs);
        EXPECT_EQ(sign(pki.alice, document, step, true, true, when), theirs);
        EXPECT_EQ(sign(pki.alice, document, step, false, false, when), theirs);
        // ECDSA's vary in size: laid out ahead and patched, or read twice.
        for (const std::string& message :
             {sign(pki.bob, document, step), sign(pki.bob, document, step, true, false),
              sign(dave, document, step, false)}) {
            EXPECT_EQ(Reencoded(message), message);
            EXPECT_EQ(verify(message, step), std::make_pair(document, std::size_t{1}));
        }
    }
}

// A document larger than a chunk is digested on a second thread while it is
// read and written: the same bytes as when the caller's thread digests it.
TEST_F(SignedDataTest, DigestingOnASecondThreadWritesTheSameBytes) {
    const std::string document = Pattern((std::size_t{7} << 19) + 3);
    std::vector<std::string> written;
    for (const bool overlap : {false, true}) {
        signed_data::DigestThread::Overlap(overlap);
        const std::string message = sign(pki.alice, document);
        EXPECT_EQ(verify(message, 300007), std::make_pair(document, std::size_t{1}));
        written.push_back(message + coSign(message, signer(pki.carol)));
    }
    signed_data::DigestThread::Overlap(true);
    EXPECT_TRUE(written[0] == written[1]);
}

TEST_F(SignedDataTest, CoSignsAsOpensslDoesKeepingEarlierSignerInfosByteForByte) {
    const std::string document = Pattern(70000);
    const fs::path sig = dir / "doc.sig";
    std::string message = sign(pki.bob, document, 4096);
    // Alice, Carol, then Alice again, whose certificate is already there.
    for (const auto& [id, when] : {std::pair{&pki.alice, kWhen}, std::pair{&pki.carol, kWhen},
                                   std::pair{&pki.alice, kWhen + 100}}) {
        const std::string next = coSign(message, signer(*id, when));
        for (const std::string& info : SignerInfos(message)) {
            EXPECT_NE(next.find(info), std::string::npos);
        }
        message = next;
    }
    EXPECT_EQ(verify(message), std::make_pair(document, std::size_t{4}));
    WriteFile(sig, message);
    Openssl("cms -verify -noverify -binary -inform DER -in", sig, "-out", dir / "out");
    EXPECT_EQ(ReadFile(dir / "out"), document);
    // Carol's RSA signature again (her certificate is there), added by openssl
    // at its own signing time.
    const std::string theirs = Openssl(
        "cms -resign -cades -binary -nocerts -nosmimecap -md sha256 -inform DER -outform DER -in",
        sig, "-signer", pki.carol.cert, "-inkey", pki.carol.key);
    EXPECT_EQ(coSign(message, signer(pki.carol, LatestSigningTime(theirs))), theirs);
}

TEST_F(SignedDataTest, VerifiesAndCoSignsWhatOthersWrite) {
    const std::string document = Pattern(20000);
    const fs::path doc = save("theirs", document), out = dir / "theirs.sig";
    using Case = std::tuple<const char*, std::vector<Identity>, const char*>;
    for (const auto& [name, signers, options] :
         {Case{"DER", {pki.alice}, ""}, Case{"BER, document in parts", {pki.alice}, "-stream"},
          Case{"PEM of BER, two signers", {pki.alice, pki.bob}, "-stream -outform PEM"},
          Case{"no signed attributes", {pki.alice, pki.bob}, "-noattr -stream"}}) {
        SCOPED_TRACE(name);
        OpensslSign(doc, out, signers, options);
        const std::string message = ReadFile(out);
        for (std::size_t step : {std::size_t{3}, kWhole}) {
            EXPECT_EQ(verify(message, step), std::make_pair(document, signers.size()));
        }
        // Written as DER; Dave's SHA-512 is taken while the document is copied.
        const std::string cosigned = coSign(message, signer(dave));
        EXPECT_EQ(Reencoded(cosigned), cosigned);
        EXPECT_EQ(verify(cosigned), std::make_pair(document, signers.size() + 1));
    }
}

TEST_F(SignedDataTest, ChecksADetachedMessageAgainstItsDocument) {
    const std::string document = Pattern(5000);
    const std::string detached =
        Openssl("cms -sign -binary -outform DER -in", save("apart", document), "-signer",
                pki.alice.cert, "-inkey", pki.alice.key);
    const auto check = [&](const std::string& message, const std::string& against) {
        MemorySource from(message, 3), beside(against, 7);
        return Raised(
            [&] { SignedData().VerifyDetached(from, beside, VerifyFlag::SignatureOnly); });
    };
    EXPECT_EQ(check(detached, document), Raise{});
    EXPECT_EQ(check(detached, document + "x"),
              (Raise{SignatureMismatch, "The document was changed after it was signed."}));
    EXPECT_EQ(check(sign(pki.bob, document), document),
              (Raise{BadMessage,
                     "The signed message holds its document itself: it is not a detached "
                     "signature."}));
}

TEST_F(SignedDataTest, RefusesASignatureItsCertificateDoesNotConfirm) {
    // Alice's public key with Carol's private exponent passes for Alice's
    // key and signs wrongly, as a faulty token would.
    const auto number = [](const Identity& of, const char* name) {
        const ossl::BioPtr file(BIO_new_file(of.key.c_str(), "r"));
        const ossl::PkeyPtr key(PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr));
        BIGNUM* raw = nullptr;
        EVP_PKEY_get_bn_param(key.get(), name, &raw);
        const ossl::BignumPtr owner(raw);
        std::vector<unsigned char> bytes(static_cast<std::size_t>(BN_num_bytes(raw)));
        BN_bn2nativepad(raw, bytes.data(), static_cast<int>(bytes.size()));
        return bytes;
    };
    std::vector<unsigned char> n = number(pki.alice, "n"), e = number(pki.alice, "e"),
                               d = number(pki.carol, "d");
    OSSL_PARAM parts[] = {OSSL_PARAM_construct_BN("n", n.data(), n.size()),
                          OSSL_PARAM_construct_BN("e", e.data(), e.size()),
                          OSSL_PARAM_construct_BN("d", d.data(), d.size()), OSSL_PARAM_END};
    struct FaultyKey : KeyHolder {
        EVP_PKEY* KeyFor(X509*) override { return key.get(); }
        ossl::PkeyPtr key;
    };
    auto faulty = std::make_shared<FaultyKey>();
    const ossl::PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* made = nullptr;
    ASSERT_EQ(EVP_PKEY_fromdata_init(context.get()), 1);
    ASSERT_EQ(EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_KEYPAIR, parts), 1);
    faulty->key.reset(made);
    Signer alice;
    alice.Certificate(MakeCertificate(mine(pki.alice).impl().x509.get(), "faulty", faulty));
    MemorySource source("document");
    MemorySink out;
    EXPECT_EQ(Raised([&] { SignedData().Sign(source, out, alice); }),
              Raise(Failed,
                    "Could not sign with the certificate of Alice Example: the signature "
                    "its private key made does not verify with the certificate, so "
                    "nothing was signed."));
}

TEST_F(SignedDataTest, RefusesWhatIsNotWhole) {
    const std::string document = Pattern(3000);
    const std::string message = sign(pki.bob, document);
    const fs::path doc = save("refused", document);
    std::string badSignature = message;
    badSignature[message.size() - 10] ^= 1;
    using Case = std::tuple<const char*, std::string, std::int32_t, std::string>;
    for (const auto& [name, bytes, status, text] :
         {Case{"signature", badSignature, SignatureMismatch,
               "The signature of Bob Example does not match the document."},
          Case{"cut short", message.substr(0, message.size() - 1), BadMessage,
               kNotSigned + "it ends before the message does."},
          Case{"detached",
               Openssl("cms -sign -binary -outform DER -in", doc, "-signer", pki.alice.cert,
                       "-inkey", pki.alice.key),
               BadMessage, kNotSigned + "the document is not inside it."}}) {
        SCOPED_TRACE(name);
        const Raise outcome = Raised([&] { verify(bytes, 3); });
        EXPECT_EQ(outcome.first, status);
        EXPECT_PRED2(StartsWith, outcome.second, text);
    }
    // What is read again to co-sign must be what was verified, whether it
    // passes through memory or the kernel copies it.
    const std::string since = "The signed file changed while it was being co-signed: ";
    std::string overwritten = message;
    overwritten.replace(message.find(document) + 100, 3, "xyz");
    const Raise documentChanged{
        Failed, since + "its document no longer matches the signature that was verified."};
    const fs::path sig = dir / "doc.sig";
    using Change = std::tuple<std::string, bool, Raise>;  // the file then, kernel copy, outcome
    for (const auto& [again, kernel, expected] :
         {Change{message, true, {}}, Change{overwritten, true, documentChanged},
          Change{overwritten, false, documentChanged},
          Change{sign(pki.bob, Pattern(3000) + "x"),
                 false,
                 {Failed, since + "it is no longer the message that was verified."}}}) {
        WriteFile(sig, message);
        FileInput file(sig);
        SignedData data;
        data.Verify(file, nullptr, VerifyFlag::SignatureOnly);
        WriteFile(sig, again);  // while the signer is chosen
        file.Rewind();
        CopySink copying;
        MemorySink plain;
        EXPECT_EQ(Raised([&] { data.CoSign(file, kernel ? copying : plain, signer(pki.alice)); }),
                  expected);
        EXPECT_EQ(copying.copies, kernel ? 1 : 0);
        if (expected == Raise{}) {
            EXPECT_EQ(copying.text, coSign(message, signer(pki.alice)));
        }
    }
}

}  // namespace
}  // namespace quilvane::test
