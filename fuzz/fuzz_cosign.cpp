// A signed message co-signed in memory, as the co-sign command does it: the
// message verified with its signers' chains against the Root folder, then
// one more signer-info added with a fixed test key and the whole message
// checked again before it is given out. A detached message is co-signed over
// the seeds' document.

#include "FuzzSupport.h"
#include "crypto/Error.h"
#include "crypto/SignedData.h"
#include "crypto/Store.h"
#include "support/MemoryStreams.h"

using namespace quilvane;

namespace {

Signer& TheSigner() {
    static Signer signer;
    return signer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    fuzz::WriteFile(fuzz::MyFolder() / "signer.pem",
                    std::string(fuzz::kSignerCertificatePem) + fuzz::kSignerKeyPem);
    fuzz::WriteFile(fuzz::RootFolder() / "root.pem", fuzz::kRootCertificatePem);
    Store store;
    store.Open({}, "My");
    // The key is read once here and stays with the certificate.
    TheSigner().Certificate(store.Certificates().Item(1));
    test::MemorySource document{std::string(fuzz::kDocument)};
    test::MemorySink message;
    SignedData().Sign(document, message, TheSigner());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        test::MemorySource probe(bytes);
        const bool detached = SignedData::IsDetached(probe);
        test::MemorySource message(bytes);
        test::MemorySource document{std::string(fuzz::kDocument)};
        SignedData signedData;
        if (detached) {
            signedData.VerifyDetached(message, document, VerifyFlag::SignatureAndCertificate);
        } else {
            signedData.Verify(message, nullptr, VerifyFlag::SignatureAndCertificate);
        }
        message.Rewind();
        document.Rewind();
        test::MemorySink out;
        if (detached) {
            signedData.CoSignDetached(message, document, out, TheSigner());
        } else {
            signedData.CoSign(message, out, TheSigner());
        }
    } catch (const Error&) {
    }
    return 0;
}
