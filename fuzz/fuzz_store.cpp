// One file of the personal store, and the same file in the Root folder. The
// first byte picks the file's name, since the reader tries PKCS #12 first for
// .p12 names; the rest is the file. Every certificate listed then signs, so
// that its key is looked up and a protected one unlocked (the passphrase is
// given once, then cancelled). A message signed under the fixed root is then
// checked against the Root folder.

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
    test::MemorySource document("doc");
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    fuzz::WriteFile(fuzz::MyFolder() / "signer.pem",
                    std::string(fuzz::kSignerCertificatePem) + fuzz::kSignerKeyPem);
    SignedUnderRoot() = Sign(OpenMy({}).Item(1));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const char* name = kNames[data[0] % std::size(kNames)];
    for (const std::filesystem::path& folder : {fuzz::MyFolder(), fuzz::RootFolder()}) {
        fuzz::EmptyFolder(folder);
        fuzz::WriteFile(folder / name, data + 1, size - 1);
    }

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

    try {
        test::MemorySource message(SignedUnderRoot());
        SignedData().Verify(message, nullptr, VerifyFlag::SignatureAndCertificate);
    } catch (const Error&) {
    }
    return 0;
}
