// One file of the personal store or of the Root folder, read as the program
// reads it. The first byte picks the file's name with its two low bits, since
// the reader tries PKCS #12 first for .p12 names, and the folder with its
// third (My, else Root); the rest is the file. Each certificate listed from
// My then signs, so that its key is looked up and a protected one unlocked
// (the passphrase is given once, then cancelled); a file in Root is the
// anchor a message signed under the fixed root is checked against. The
// folders are in memory (/dev/shm) and only the one file changes per input.

#include "FuzzSupport.h"
#include "crypto/Error.h"
#include "crypto/SignedData.h"
#include "crypto/Store.h"
#include "support/MemoryStreams.h"
#include "support/ScriptedSecrets.h"

using namespace quilvane;

namespace {

constexpr const char* kNames[] = {"x", "x.pem", "x.der", "x.p12"};
// Enough to see several certificates in one file without signing for long.
constexpr std::size_t kMostSigners = 4;

Certificates OpenMy(const SecretPrompt& prompt) {
    Store store;
    store.Open(prompt, "My");
    return store.Certificates();
}

std::string Sign(const Certificate& certificate) {
    test::MemorySource document{std::string(fuzz::kDocument)};
    test::MemorySink message;
    Signer signer;
    signer.Certificate(certificate);
    SignedData().Sign(document, message, signer);
    return message.text;
}

std::string& SignedUnderRoot() {
    static std::string message;
    return message;
}

// The file the last input was written to, removed before the next.
std::filesystem::path& Written() {
    static std::filesystem::path path;
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    fuzz::WriteFile(fuzz::MyFolder() / "signer.pem",
                    std::string(fuzz::kSignerCertificatePem) + fuzz::kSignerKeyPem);
    SignedUnderRoot() = Sign(OpenMy({}).Item(1));
    std::filesystem::remove(fuzz::MyFolder() / "signer.pem");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool my = (data[0] & 4) == 0;
    if (!Written().empty()) {
        std::filesystem::remove(Written());
    }
    Written() = (my ? fuzz::MyFolder() : fuzz::RootFolder()) / kNames[data[0] % std::size(kNames)];
    fuzz::WriteFile(Written(), data + 1, size - 1);

    if (my) {
        test::ScriptedSecrets secrets;
        secrets.passphrases.push_back(fuzz::kPassphrase);
        try {
            const Certificates certificates = OpenMy(secrets.prompt());
            for (std::size_t i = 1; i <= std::min(certificates.Count(), kMostSigners); ++i) {
                try {
                    Sign(certificates.Item(i));
                } catch (const Error&) {
                }
            }
        } catch (const Error&) {
        }
        return 0;
    }
    try {
        test::MemorySource message(SignedUnderRoot());
        SignedData().Verify(message, nullptr, VerifyFlag::SignatureAndCertificate);
    } catch (const Error&) {
    }
    return 0;
}
