// The command line through the real dispatch, and the terminal mode's
// answers to what the operations ask. The input is a count byte (arguments
// after the program's name, up to four), then the program's name and the
// arguments, each ended by a NUL; what follows is standard input. The
// operations are recorders that ask what the real ones ask, so nothing real
// runs and no display is needed.

#include <sstream>

#include "FuzzSupport.h"
#include "app/Dispatch.h"
#include "app/TerminalUserInterface.h"

using namespace quilvane;

namespace {

constexpr std::size_t kMostArguments = 4;

const std::vector<CertificateRow> kRows = {
    {"Fuzz Signer", "Quilvane Fuzz Root", "11/13/26", "signer.pem"},
    {"Fuzz Recipient", "Quilvane Fuzz Root", "11/13/26", "recipient.pem"},
};

// What an operation asks of the person: a certificate, perhaps its
// passphrase, whether to open the result; then it reports.
Outcome Converse(UserInterface& ui, const std::string& path) {
    const std::optional<std::size_t> pick =
        ui.pickCertificate("Certificates", "ZARAN Certificates", kRows);
    if (!pick) {
        return Outcome::Cancelled;
    }
    const std::optional<Secret> secret = ui.secret(
        {SecretRequest::Kind::Passphrase,
         "Enter the passphrase for the private key in \"" + kRows.at(*pick).location + "\":",
         false});
    if (!secret) {
        return Outcome::Cancelled;
    }
    const bool open = ui.ask("The file is decoded and stored at the following location:\r\n" +
                             path + "\r\nDo you want to view this file now?");
    ui.message(open ? "Opened" : "Not opened", secret->text().empty() ? Icon::Critical : Icon::None,
               {secret->text(), path});
    return open ? Outcome::Completed : Outcome::Failed;
}

OperationTable Recorders() {
    OperationTable table;
    table.SignFile = [](UserInterface& ui, std::string in, std::string) {
        return Converse(ui, in);
    };
    table.VerifySig = [](UserInterface& ui, std::string in) { return Converse(ui, in); };
    table.CoSignContent = table.SignFile;
    table.Envelope = table.SignFile;
    table.ReceiveMessage = table.VerifySig;
    table.RunBatch = [](UserInterface& ui, BatchAction, const std::vector<std::string>& paths,
                        BatchMessages) { return Converse(ui, paths.empty() ? "" : paths.front()); };
    table.ImportCertificate = table.VerifySig;
    table.CreateCertificate = [](UserInterface& ui) { return Converse(ui, ""); };
    table.TrustCertificate = table.VerifySig;
    table.ExportCertificate = table.VerifySig;
    table.VerifyForReport = [](const std::string& path) {
        FileReport file;
        file.path = path;
        file.error = path;
        return file;
    };
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<fuzz::Input> split = fuzz::Split(data, size);
    if (!split) {
        return 0;
    }
    const std::string_view input = split->rest;
    const std::size_t count = 1 + split->first % (kMostArguments + 1);
    std::vector<std::string> arguments;
    std::size_t at = 0;
    while (arguments.size() < count && at < input.size()) {
        const std::size_t end = std::min(input.find('\0', at), input.size());
        arguments.emplace_back(input.substr(at, end - at));
        at = end + 1;
    }
    if (arguments.empty()) {
        return 0;
    }
    const std::string program = arguments.front();
    arguments.erase(arguments.begin());

    std::istringstream in(std::string(input.substr(std::min(at, input.size()))));
    std::ostringstream out;
    std::ostringstream err;
    TerminalUserInterface ui(in, out, err);
    const CommandLine command = ParseCommandLine(arguments);
    if (command.options.json) {
        RunJsonReport(command, Recorders(), out);
    } else {
        RunCommandLine(command, Recorders(), ui);
    }
    // What the start-up prints for the forms that run nothing.
    out << UsageText(program) << ShortUsageText(program) << VersionText();
    return 0;
}
