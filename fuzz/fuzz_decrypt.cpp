// An enveloped file through decryption with a fixed test key in the store.

#include "FuzzSupport.h"
#include "operations/Envelope.h"
#include "support/ScriptedUserInterface.h"

using namespace quilvane;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    fuzz::WriteFile(fuzz::MyFolder() / "recipient.pem",
                    std::string(fuzz::kRecipientCertificatePem) + fuzz::kRecipientKeyPem);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    test::ScriptedUserInterface ui;
    ReceiveMessage(ui, fuzz::WriteInput("document.txt.p7m", data, size));
    return 0;
}
