#pragma once
// Encrypting a file for one certificate holder, and decrypting it again.

#include <string>

#include "operations/Reporting.h"
#include "operations/UserInterface.h"

namespace quilvane {

// Encrypts `inputPath` for a certificate the user picks and writes `outputPath`.
Outcome Envelope(UserInterface& ui, std::string inputPath, std::string outputPath);

// Decrypts `inputPath` with the user's own key into `inputPath` less its last
// four characters.
Outcome ReceiveMessage(UserInterface& ui, std::string inputPath);

}  // namespace quilvane
