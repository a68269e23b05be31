#pragma once
// The operations the window's commands and the command line call, gathered in
// one table so that tests can put recorders in their place.

#include <functional>
#include <string>

#include <vector>

#include "operations/Batch.h"
#include "operations/Reporting.h"
#include "operations/UserInterface.h"
#include "operations/VerifyReport.h"

namespace quilvane {

struct OperationTable {
    std::function<Outcome(UserInterface&, std::string inputPath, std::string outputPath)> SignFile;
    std::function<Outcome(UserInterface&, std::string signedPath)> VerifySig;
    std::function<Outcome(UserInterface&, std::string inputPath, std::string outputPath)>
        CoSignContent;
    std::function<Outcome(UserInterface&, std::string inputPath, std::string outputPath)> Envelope;
    std::function<Outcome(UserInterface&, std::string inputPath)> ReceiveMessage;
    std::function<Outcome(UserInterface&, BatchAction, const std::vector<std::string>& paths,
                          BatchMessages)>
        RunBatch;
    std::function<Outcome(UserInterface&, std::string path)> ImportCertificate;
    std::function<Outcome(UserInterface&)> CreateCertificate;
    std::function<Outcome(UserInterface&, std::string path)> TrustCertificate;
    std::function<Outcome(UserInterface&, std::string path)> ExportCertificate;
    std::function<FileReport(const std::string& signedPath)> VerifyForReport;

    // The real operations.
    static OperationTable Real();
};

}  // namespace quilvane
