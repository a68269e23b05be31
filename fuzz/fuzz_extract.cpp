// A signed file through the whole Verify command: the file read, verified,
// its document extracted beside it and the signers reported. The person
// answers No and picks nothing. The one target that writes files for each
// input; fuzz_verify reads the same messages in memory, far faster.

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
