// Signing, verifying and co-signing in chunks: the bytes the whole-document
// path writes, messages others write, and what must be refused.

#include <openssl/cms.h>

#include <algorithm>
#include <map>

#include "CryptoTest.h"
#include "internal/DerHeader.h"
#include "internal/MessageReader.h"

namespace quilvane::test {
namespace {

constexpr std::time_t kWhen = 1700000000;
constexpr std::size_t kWhole = std::size_t{1} << 30;
const std::string kNotSigned = "The file is not a signed message, or it is damaged or incomplete: ";

// Bytes in memory, given at most `step` at a time so that chunk boundaries
// fall inside headers; `stopAt` raises status::Stopped as a cancelled
// progress callback does.
class MemorySource : public ContentSource, public RewindableSource {
  public:
    explicit MemorySource(std::string bytes, std::size_t step = kWhole, bool sized = true)
        : bytes_(std::move(bytes)), step_(step), sized_(sized) {}
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        if (at_ > stopAt) {
            throw Error(Stopped, "Stopped.");
        }
        std::size_t n = std::min({buffer.size(), step_, bytes_.size() - at_});
        std::copy_n(bytes_.data() + at_, n, buffer.data());
        at_ += n;
        return n;
    }
    std::optional<std::uint64_t> Size() const override {
        return sized_ ? std::optional<std::uint64_t>(bytes_.size()) : std::nullopt;
    }
    void Rewind() override { at_ = 0; }
    std::size_t stopAt = SIZE_MAX;

  private:
    std::string bytes_;
    std::size_t step_;
    bool sized_;
    std::size_t at_ = 0;
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

// The message as OpenSSL writes it again: DER, the document attached.
std::string Reencoded(const std::string& message) {
    const auto* p = reinterpret_cast<const unsigned char*>(message.data());
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size()));
    unsigned char* der = nullptr;
    int length = cms != nullptr ? i2d_CMS_ContentInfo(cms, &der) : 0;
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(std::max(length, 0)));
    OPENSSL_free(der);
    CMS_ContentInfo_free(cms);
    return bytes;
}

// The encodings of a message's signer-infos.
std::vector<std::string> SignerInfos(const std::string& message) {
    MemorySource source(message);
    streaming::MessageParts parts = streaming::ReadMessage(source, 4096, {}, [](auto) {});
    std::vector<std::string> infos;
    for (auto info :
         streaming::Elements(streaming::ContentsOf(streaming::Elements(parts.rest).back()))) {
        infos.emplace_back(info.begin(), info.end());
    }
    return infos;
}

class SignedDataStreamsTest : public CryptoTest {
  protected:
    const Signer& signer(const Identity& id) {
        auto [at, added] = signers.try_emplace(id.cert);
        if (added) {
            at->second.Certificate(mine(id));
            at->second.AuthenticatedAttributes().Add({AttributeName::SigningTime, DateTime{kWhen}});
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
    std::string signInMemory(const Identity& id, const std::string& document) {
        SignedData data;
        data.Content(Binary(document));
        return Text(data.Sign(signer(id), false, Encoding::Binary));
    }
    // Verifies `message` in chunks; returns the document and the signers.
    std::pair<std::string, std::size_t> verify(const std::string& message,
                                               std::size_t step = kWhole,
                                               VerifyFlag flag = VerifyFlag::SignatureOnly) {
        MemorySource source(message, step);
        AppendSink document;
        SignedData data;
        data.Verify(source, &document, flag);
        EXPECT_TRUE(data.Content().empty());
        return {document.text, data.Signers().size()};
    }
    // Verifies `message` and co-signs `again` (the same message, unless a test says not).
    std::string coSign(const std::string& message, const Identity& id,
                       std::optional<std::string> again = {}) {
        SignedData data;
        MemorySource source(message);
        data.Verify(source, nullptr, VerifyFlag::SignatureOnly);
        MemorySource reread(again.value_or(message), 5);
        MemorySink out;
        data.CoSign(reread, out, signer(id));
        return out.text;
    }

    std::map<fs::path, Signer> signers;
    const Identity dave = pki.pki.issue("st-dave", "/CN=Dave Example", KeyType::Ed25519);
};

TEST_F(SignedDataStreamsTest, WritesWhatTheWholeDocumentPathWritesAtEveryLengthBoundary) {
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

TEST_F(SignedDataStreamsTest, CoSignsAsTheWholeDocumentPathAndOpensslAccepts) {
    const std::string document = Pattern(70000);
    const fs::path sig = dir / "doc.sig";
    std::string message = sign(pki.bob, document, 4096);
    for (const Identity* id : {&pki.alice, &pki.carol}) {
        const std::string next = coSign(message, *id);
        SignedData whole;
        whole.Verify(Binary(message), false, VerifyFlag::SignatureOnly);
        EXPECT_EQ(next, Text(whole.CoSign(signer(*id), Encoding::Binary)));
        for (const std::string& info : SignerInfos(message)) {
            EXPECT_NE(next.find(info), std::string::npos);
        }
        message = next;
    }
    WriteFile(sig, message);
    Openssl("cms -verify -noverify -binary -inform DER -in", sig, "-out", dir / "out", "-signer",
            dir / "signers.pem");
    EXPECT_EQ(ReadFile(dir / "out"), document);
    EXPECT_EQ(test::Run("grep -c BEGIN " + Quote((dir / "signers.pem").string())), "3\n");
}

TEST_F(SignedDataStreamsTest, VerifiesAndCoSignsWhatOthersWrite) {
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
          Case{"PEM", sign + " -outform PEM", 1},
          Case{"PEM of BER, two signers", both + " -stream -outform PEM", 2},
          Case{"bare Base64", sign + " -outform PEM | sed '1d;$d'", 1},
          Case{"no signed attributes", both + " -noattr -stream -outform DER", 2}}) {
        SCOPED_TRACE(name);
        const std::string message = test::Run(command);
        for (std::size_t step : {std::size_t{3}, kWhole}) {
            EXPECT_EQ(verify(message, step), std::make_pair(document, count));
        }
        // Written as DER; Dave's SHA-512 is taken while the document is copied.
        const std::string cosigned = coSign(message, dave);
        EXPECT_EQ(Reencoded(cosigned), cosigned);
        EXPECT_EQ(verify(cosigned), std::make_pair(document, count + 1));
    }
}

TEST_F(SignedDataStreamsTest, RefusesWhatIsNotWholeAndStopsWhenAsked) {
    const std::string document = Pattern(3000);
    const std::string message = sign(pki.bob, document);
    const fs::path doc = save("refused", document);
    auto changed = [&](std::size_t at) {
        std::string copy = message;
        copy[at] ^= 1;
        return copy;
    };
    auto openssl = [&](const std::string& options, const std::string& recipient = "") {
        return Openssl("cms", options, "-binary -outform DER -in", doc, recipient);
    };
    using Case = std::tuple<const char*, std::string, Outcome>;
    for (const auto& [name, bytes, expected] :
         {Case{"document",
               changed(message.find(document) + 100),
               {SignatureMismatch, "The document was changed after it was signed."}},
          Case{"signature",
               changed(message.size() - 10),
               {SignatureMismatch, "The signature of Bob Example does not match the document."}},
          Case{"cut short",
               message.substr(0, message.size() - 1),
               {BadMessage, kNotSigned + "it ends before the message does."}},
          Case{"trailing",
               message + '\0',
               {BadMessage, kNotSigned + "there is more data after the end of the message."}},
          Case{"empty", "", {BadMessage, kNotSigned + "it is empty."}},
          Case{"encrypted",
               openssl("-encrypt -aes256", Quote(pki.alice.cert.string())),
               {BadMessage, kNotSigned + "it is an encrypted message."}},
          Case{"detached",
               openssl("-sign -signer " + Quote(pki.alice.cert.string()) + " -inkey " +
                       Quote(pki.alice.key.string())),
               {BadMessage, kNotSigned + "the document is not inside it."}}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Raised([&] { verify(bytes, 3); }), expected);
    }
    // The certificate checks are the whole-document path's.
    EXPECT_EQ(Raised([&] { verify(message, kWhole, VerifyFlag::SignatureAndCertificate); }),
              (Outcome{UntrustedRoot,
                       "The certificate of Bob Example was not issued by a trusted root."}));
    // What is read again to co-sign must be what was verified.
    EXPECT_EQ(Raised([&] { coSign(message, pki.alice, sign(pki.bob, Pattern(3000) + "x")); }),
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
