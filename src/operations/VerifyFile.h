#pragma once
// The work of VerifySig without its reporting, shared with the report that
// verifies without anyone to ask.

#include <string>
#include <vector>

#include "operations/Reporting.h"
#include "operations/UserInterface.h"
#include "operations/VerifyReport.h"

namespace quilvane {

// Verifies `signedPath`, tells the signers and writes the document; raises
// whatever goes wrong. `signers`, when given, gets the verified signers before
// anything is written.
Outcome VerifyAndWrite(UserInterface& ui, const std::string& signedPath, bool offerToOpen,
                       std::vector<SignerReport>* signers);

}  // namespace quilvane
