#include "app/OperationTable.h"

#include "operations/Batch.h"
#include "operations/Certificates.h"
#include "operations/Envelope.h"
#include "operations/Signing.h"
#include "operations/VerifyReport.h"

namespace quilvane {

OperationTable OperationTable::Real() {
    OperationTable table;
    table.SignFile = [](UserInterface& ui, std::string in, std::string out) {
        return quilvane::SignFile(ui, std::move(in), std::move(out));
    };
    table.VerifySig = [](UserInterface& ui, std::string path) {
        return quilvane::VerifySig(ui, std::move(path));
    };
    table.CoSignContent = [](UserInterface& ui, std::string in, std::string out) {
        return quilvane::CoSignContent(ui, std::move(in), std::move(out));
    };
    table.Envelope = quilvane::Envelope;
    table.ReceiveMessage = quilvane::ReceiveMessage;
    table.RunBatch = quilvane::RunBatch;
    table.ImportCertificate = quilvane::ImportCertificate;
    table.CreateCertificate = quilvane::CreateCertificate;
    table.TrustCertificate = quilvane::TrustCertificate;
    table.ExportCertificate = quilvane::ExportCertificate;
    table.VerifyForReport = quilvane::VerifyForReport;
    return table;
}

}  // namespace quilvane
