#pragma once
// The operations the window's commands and the command line call, gathered in
// one table so that tests can put recorders in their place.

#include <functional>
#include <string>

#include "crypto/UserInterface.h"
#include "signing/Operations.h"

namespace quilvane {

struct Operations {
    std::function<Outcome(UserInterface&, std::string InputFileName, std::string OutputFileName)>
        SignFile;
    std::function<Outcome(UserInterface&, std::string FileToVerify)> VerifySig;
    std::function<Outcome(UserInterface&, std::string InputFileName, std::string OutputFileName)>
        CoSignContent;
    std::function<Outcome(UserInterface&, std::string infile, std::string OutFile)> Envelope;
    std::function<Outcome(UserInterface&, std::string infile)> ReceiveMessage;

    // The real operations.
    static Operations Real();
};

}  // namespace quilvane
