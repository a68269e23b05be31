#pragma once
// Encrypting a file for one certificate holder, and decrypting it again.

#include <string>

#include "crypto/UserInterface.h"
#include "signing/Operations.h"

namespace quilvane {

// Encrypts `infile` for a certificate the user picks and writes `OutFile`.
Outcome Envelope(UserInterface& ui, std::string infile, std::string OutFile);

// Decrypts `infile` with the user's own key into `infile` less its last four characters.
Outcome ReceiveMessage(UserInterface& ui, std::string infile);

}  // namespace quilvane
