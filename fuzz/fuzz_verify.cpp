// A signed message verified in memory as a verifier reads it: the document
// written out (or, of a detached message, the seeds' document checked
// against it), then the signers and the trust verdict on each, as the report
// lays them out. The signers' chains are checked against the Root folder,
// which holds the fixed test root.

#include "FuzzSupport.h"
#include "crypto/Error.h"
#include "crypto/SignedData.h"
#include "operations/VerifyReport.h"
#include "support/MemoryStreams.h"

using namespace quilvane;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    fuzz::WriteFile(fuzz::RootFolder() / "root.pem", fuzz::kRootCertificatePem);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string message(reinterpret_cast<const char*>(data), size);
    try {
        test::MemorySource probe(message);
        const bool detached = SignedData::IsDetached(probe);
        test::MemorySource source(message);
        SignedData signedData;
        if (detached) {
            test::MemorySource document{std::string(fuzz::kDocument)};
            signedData.VerifyDetached(source, document, VerifyFlag::SignatureOnly);
        } else {
            test::AppendSink content;
            signedData.Verify(source, &content, VerifyFlag::SignatureOnly);
        }
        for (const SignerReport& report : SignerReportsOf(signedData, signedData.Trust())) {
            NameOf(report.validation.indication);
            NameOf(report.level);
        }
    } catch (const Error&) {
    }
    return 0;
}
