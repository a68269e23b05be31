// SignedData signing, verifying and co-signing, the whole document at once
// and in chunks: the bytes both paths write, what they sign, messages others
// write, and what must be refused.

#include <algorithm>
#include <map>

#include "CryptoTest.h"
#include "internal/DerHeader.h"
#include "internal/MessageReader.h"
#include "support/Forge.h"

namespace quilvane::test {
namespace {

constexpr std::time_t kWhen = 1700000000;
constexpr std::size_t kWhole = std::size_t{1} << 30;
const std::string kNotSigned = "The file is not a signed message, or it is damaged or incomplete: ";

// Bytes in memory, given at most `step` at a time so that chunk boundaries
// fall inside headers; `stopAt` raises status::Stopped as a cancelled
// progress callback does.
struct MemorySource : ContentSource, RewindableSource {
    explicit MemorySource(std::string bytes, std::size_t step = kWhole, bool sized = true)
        : bytes(std::move(bytes)), step(step), sized(sized) {}
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        if (at > stopAt) {
            throw Error(Stopped, "Stopped.");
        }
        std::size_t n = std::min({buffer.size(), step, bytes.size() - at});
        std::copy_n(bytes.data() + at, n, buffer.data());
        at += n;
        return n;
    }
    std::optional<std::uint64_t> Size() const override {
        return sized ? std::optional<std::uint64_t>(bytes.size()) : std::nullopt;
    }
    void Rewind() override { at = 0; }

    std::string bytes;
    std::size_t step;
    bool sized;
    std::size_t at = 0, stopAt = SIZE_MAX;
};

struct AppendSink : ContentSink {
    void Write(std::span<const std::uint8_t> bytes) override {
        text.append(bytes.begin(), bytes.end());
    }
    std::string text;
};

struct MemorySink : AppendSink, PatchableSink {
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        ASSERT_LE(offset + bytes.size(), text.size());
        std::copy(bytes.begin(), bytes.end(), text.begin() + static_cast<std::ptrdiff_t>(offset));
    }
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
    std::vector<std::string> parts;
    for (auto part : streaming::Elements(streaming::ContentsOf(
             {reinterpret_cast<const std::uint8_t*>(element.data()), element.size()}))) {
        parts.emplace_back(part.begin(), part.end());
    }
    return parts;
}

// The encodings of a message's signer-infos.
std::vector<std::string> SignerInfos(const std::string& message) {
    MemorySource source(message);
    const streaming::Buffer rest = streaming::ReadMessage(source, 4096, {}, [](auto) {}).rest;
    const auto infos = streaming::Elements(rest).back();
    return Inside({infos.begin(), infos.end()});
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
                     bool sized = true, bool patchable = true) {
        MemorySource source(document, step, sized);
        MemorySink patch;
        AppendSink append;
        SignedData().Sign(source, patchable ? patch : append, signer(id));
        return patchable ? patch.text : append.text;
    }
    std::string signInMemory(const Identity& id, const std::string& document,
                             std::time_t when = kWhen) {
        SignedData data;
        data.Content(Binary(document));
        return Text(data.Sign(signer(id, when), false, Encoding::Binary));
    }
    // Verifies `message` in chunks; returns the document and the signers.
    std::pair<std::string, std::size_t> verify(const std::string& message,
                                               std::size_t step = kWhole) {
        MemorySource source(message, step);
        AppendSink document;
        SignedData data;
        data.Verify(source, &document, VerifyFlag::SignatureOnly);
        EXPECT_TRUE(data.Content().empty());
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

TEST_F(SignedDataTest, SignsContentTypeDigestAndSigningTimeInEitherTimeForm) {
    using Case = std::tuple<const Identity*, std::time_t, const char*, const char*>;
    for (const auto& [id, when, time, digest] :
         {Case{&dave, 2524608000, "GENERALIZEDTIME:Jan  1 00:00:00 2050 GMT", "algorithm: sha512"},
          Case{&pki.bob, 1714979289, "UTCTIME:May  6 07:08:09 2024 GMT", "algorithm: sha256"}}) {
        const std::string message = signInMemory(*id, "document", when);
        // Version, signer, digest, signed attributes, algorithm, signature;
        // the attributes: content type, message digest and signing time.
        const std::vector<std::string> info = Inside(SignerInfos(message).at(0));
        EXPECT_EQ(Inside(info.at(3)).size(), 3u);
        const std::string print = Openssl("cms -cmsout -print -inform DER -in", save("p", message));
        for (const char* part : {"contentType", "messageDigest", "signingTime", time, digest}) {
            EXPECT_NE(print.find(part), std::string::npos) << part << print;
        }
        if (id == &dave) {
            // OpenSSL 3.0's CMS code cannot check Ed25519: check the signature
            // over the signed attributes, re-tagged as the SET OF that is signed.
            Openssl("pkeyutl -verify -certin -inkey", dave.cert, "-rawin -in",
                    save("attributes.der", "\x31" + info.at(3).substr(1)), "-sigfile",
                    save("signature.bin", info.at(5).substr(2)));
        }
    }
}

TEST_F(SignedDataTest, WritesWhatTheWholeDocumentPathWritesAtEveryLengthBoundary) {
    // The outer length's overhead over the document, to put it either side of 2^16.
    der::Header outer;
    const std::string probe = sign(pki.bob, Pattern(1000));
    ASSERT_EQ(der::ParseHeader({reinterpret_cast<const std::uint8_t*>(probe.data()), 10}, outer),
              der::ParseResult::Complete);
    const std::size_t overhead = *outer.length - 1000;
    std::vector<std::size_t> sizes = {0, 1, 127, 128, 255, 256, 65535, 65536};
    for (std::size_t d = 0; d <= 84; d += 6) {
        sizes.push_back(65536 + 4 - overhead - d);
    }
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string document = Pattern(size);
        const std::size_t step = size < 300 ? 3 : kWhole;
        // RSA PKCS #1 v1.5 signatures are deterministic: the same bytes.
        const std::string whole = signInMemory(pki.alice, document);
        EXPECT_EQ(sign(pki.alice, document, step), whole);
        EXPECT_EQ(sign(pki.alice, document, step, false, false), whole);
        // ECDSA's vary in size: laid out ahead and patched, or read twice.
        for (const std::string& message :
             {sign(pki.bob, document, step), sign(pki.bob, document, step, true, false),
              sign(dave, document, step, false)}) {
            EXPECT_EQ(Reencoded(message), message);
            EXPECT_EQ(verify(message, step), std::make_pair(document, std::size_t{1}));
        }
    }
}

TEST_F(SignedDataTest, CoSignsAsTheWholeDocumentPathKeepingEarlierSignerInfosByteForByte) {
    const std::string document = Pattern(70000);
    const fs::path sig = dir / "doc.sig";
    std::string message = sign(pki.bob, document, 4096);
    // Alice, Carol, then Alice again, whose certificate is already there.
    for (const auto& [id, when] : {std::pair{&pki.alice, kWhen}, std::pair{&pki.carol, kWhen},
                                   std::pair{&pki.alice, kWhen + 100}}) {
        const std::string next = coSign(message, signer(*id, when));
        SignedData whole;
        whole.Verify(Binary(message), false, VerifyFlag::SignatureOnly);
        EXPECT_EQ(next, Text(whole.CoSign(signer(*id, when), Encoding::Binary)));
        for (const std::string& info : SignerInfos(message)) {
            EXPECT_NE(next.find(info), std::string::npos);
        }
        message = next;
    }
    EXPECT_EQ(verify(message), std::make_pair(document, std::size_t{4}));
    WriteFile(sig, message);
    Openssl("cms -verify -noverify -binary -inform DER -in", sig, "-out", dir / "out");
    EXPECT_EQ(ReadFile(dir / "out"), document);
}

TEST_F(SignedDataTest, VerifiesAndCoSignsWhatOthersWrite) {
    const std::string document = Pattern(20000);
    const fs::path doc = save("theirs", document);
    const std::string sign = "openssl cms -sign -binary -nodetach -md sha256 -in " +
                             Quote(doc.string()) + " -signer " + Quote(pki.alice.cert.string()) +
                             " -inkey " + Quote(pki.alice.key.string());
    const std::string both = sign + " -signer " + Quote(pki.bob.cert.string()) + " -inkey " +
                             Quote(pki.bob.key.string());
    using Case = std::tuple<const char*, std::string, std::size_t>;
    for (const auto& [name, command, count] :
         {Case{"DER", sign + " -outform DER", 1},
          Case{"BER, document in parts", sign + " -stream -outform DER", 1},
          Case{"PEM of BER, two signers", both + " -stream -outform PEM", 2},
          Case{"no signed attributes", both + " -noattr -stream -outform DER", 2}}) {
        SCOPED_TRACE(name);
        const std::string message = test::Run(command);
        for (std::size_t step : {std::size_t{3}, kWhole}) {
            EXPECT_EQ(verify(message, step), std::make_pair(document, count));
        }
        // Written as DER; Dave's SHA-512 is taken while the document is copied.
        const std::string cosigned = coSign(message, signer(dave));
        EXPECT_EQ(Reencoded(cosigned), cosigned);
        EXPECT_EQ(verify(cosigned), std::make_pair(document, count + 1));
    }
}

TEST_F(SignedDataTest, RefusesWhatIsNotWholeAndStopsWhenAsked) {
    const std::string document = Pattern(3000);
    const std::string message = sign(pki.bob, document);
    const fs::path doc = save("refused", document);
    auto changed = [&](std::size_t at) {
        std::string copy = message;
        copy[at] ^= 1;
        return copy;
    };
    using Case = std::tuple<const char*, std::string, std::int32_t, std::string>;
    for (const auto& [name, bytes, status, text] :
         {Case{"document", changed(message.find(document) + 100), SignatureMismatch,
               "The document was changed after it was signed."},
          Case{"signature", changed(message.size() - 10), SignatureMismatch,
               "The signature of Bob Example does not match the document."},
          Case{"cut short", message.substr(0, message.size() - 1), BadMessage,
               kNotSigned + "it ends before the message does."},
          Case{"detached",
               Openssl("cms -sign -binary -outform DER -in", doc, "-signer", pki.alice.cert,
                       "-inkey", pki.alice.key),
               BadMessage, kNotSigned + "the document is not inside it."}}) {
        SCOPED_TRACE(name);
        const Outcome outcome = Raised([&] { verify(bytes, 3); });
        EXPECT_EQ(outcome.first, status);
        EXPECT_PRED2(StartsWith, outcome.second, text);
    }
    // What is read again to co-sign must be what was verified.
    EXPECT_EQ(
        Raised([&] { coSign(message, signer(pki.alice), sign(pki.bob, Pattern(3000) + "x")); }),
        (Outcome{Failed,
                 "Could not sign with the certificate of Alice Example: the file "
                 "changed while it was read."}));
    // A stop raised by a source passes through as it is.
    MemorySource source(message, 100);
    source.stopAt = 1000;
    EXPECT_EQ(Raised([&] { SignedData().Verify(source, nullptr, VerifyFlag::SignatureOnly); }),
              (Outcome{Stopped, "Stopped."}));
}

}  // namespace
}  // namespace quilvane::test
