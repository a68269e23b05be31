// A signed file through verification, the signer report and extraction, as
// the Verify command runs them. The person answers No and picks nothing.

#include "FuzzSupport.h"
#include "operations/Signing.h"
#include "support/ScriptedUserInterface.h"

using namespace quilvane;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    test::ScriptedUserInterface ui;
    VerifySig(ui, fuzz::WriteInput("document.txt.sig", data, size));
    return 0;
}
