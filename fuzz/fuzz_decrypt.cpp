// An enveloped message decrypted in memory with a fixed test key of the
// store "My", which is read from the scratch folder for each input as the
// program reads it.

#include "FuzzSupport.h"
#include "crypto/EnvelopedData.h"
#include "crypto/Error.h"

using namespace quilvane;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    fuzz::WriteFile(fuzz::MyFolder() / "recipient.pem",
                    std::string(fuzz::kRecipientCertificatePem) + fuzz::kRecipientKeyPem);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        EnvelopedData envelope;
        envelope.Decrypt({}, BinaryString(Bytes(data, size)));
        envelope.Content();
    } catch (const Error&) {
    }
    return 0;
}
