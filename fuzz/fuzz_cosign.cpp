// A signed file through co-signing with a fixed test key: verification with
// the signers' chains against the Root folder, then one more signature.

#include "FuzzSupport.h"
#include "operations/Signing.h"
#include "support/ScriptedUserInterface.h"

using namespace quilvane;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    fuzz::WriteFile(fuzz::MyFolder() / "signer.pem",
                    std::string(fuzz::kSignerCertificatePem) + fuzz::kSignerKeyPem);
    fuzz::WriteFile(fuzz::RootFolder() / "root.pem", fuzz::kRootCertificatePem);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = fuzz::WriteInput("document.txt.sig", data, size);
    test::ScriptedUserInterface ui;
    ui.picks.push_back(0);
    CoSignContent(ui, input, (fuzz::WorkFolder() / "cosigned.sig").string());
    return 0;
}
