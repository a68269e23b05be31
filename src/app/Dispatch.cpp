#include "app/Dispatch.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <utility>
#include <variant>

#include "app/JsonReport.h"
#include "app/Version.h"
#include "crypto/Text.h"

namespace quilvane {
namespace {

using Form = CommandLine::Form;

int StatusOf(Outcome outcome) {
    return outcome == Outcome::Completed ? kExitCompleted : kExitFailed;
}

// The options that take files: a batch of them, or one.
using FileOption = std::variant<BatchAction, Form>;
std::optional<FileOption> FileOptionNamed(const std::string& option) {
    static constexpr std::pair<const char*, FileOption> kOptions[] = {
        {"--sign", BatchAction::Sign},
        {"--verify", BatchAction::Verify},
        {"--cosign", BatchAction::CoSign},
        {"--import", Form::Import},
        {"--trust", Form::Trust},
        {"--export-certificate", Form::ExportCertificate},
        {"--timestamp", BatchAction::TimeStamp},
    };
    for (const auto& [name, value] : kOptions) {
        if (option == name) {
            return value;
        }
    }
    return std::nullopt;
}

// The options that come before the path or the batch option. Those that
// take a value take the next argument, and refuse one they cannot use.
using Options = CommandLine::Options;
struct LeadingOption {
    const char* name;
    const char* wanted;  // what its value must be; nullptr for a flag
    bool (*set)(Options&, const std::string& value);
};
constexpr LeadingOption kLeadingOptions[] = {
    {"--json", nullptr, [](Options& options, const std::string&) { return options.json = true; }},
    {"--timestamp-url", QUILVANE_N_("an http:// or https:// address"),
     [](Options& options, const std::string& url) {
         options.timestampUrl = url;
         return url.starts_with("http://") || url.starts_with("https://");
     }},
    {"--offline", nullptr,
     [](Options& options, const std::string&) { return options.offline = true; }},
    {"--timeout", QUILVANE_N_("a whole number of seconds above 0"),
     [](Options& options, const std::string& text) {
         int seconds = 0;
         const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
         options.timeoutSeconds = seconds;
         return error == std::errc() && end == text.data() + text.size() && seconds > 0;
     }},
    {"--embed-validation-data", nullptr,
     [](Options& options, const std::string&) { return options.embedValidationData = true; }},
};

// Whether the form that follows goes with the leading options given.
bool TakesOptions(const CommandLine& command) {
    if (!command.options.json) {
        return true;
    }
    return command.form == Form::Verify || command.form == Form::Help ||
           command.form == Form::Version ||
           (command.form == Form::Batch && command.action == BatchAction::Verify);
}

// The last component of argv[0], so that the usage names the command as typed.
std::string ProgramName(const std::string& program) {
    std::string name = program.substr(program.find_last_of('/') + 1);
    return name.empty() ? "quilvane" : name;
}

}  // namespace

bool CommandLine::endsProgram() const {
    return form != Form::Interactive && form != Form::VerifyInteractive;
}

namespace {

CommandLine ParseForm(const std::vector<std::string>& arguments) {
    CommandLine command;
    if (arguments.empty()) {
        return command;
    }
    const std::string& first = arguments[0];
    if (first.starts_with("--")) {
        if (first == "--help") {
            command.form = Form::Help;
        } else if (first == "--version") {
            command.form = Form::Version;
        } else if (const std::optional<FileOption> option = FileOptionNamed(first);
                   option && arguments.size() > 1) {
            if (const auto* action = std::get_if<BatchAction>(&*option)) {
                command.form = Form::Batch;
                command.action = *action;
                command.paths.assign(arguments.begin() + 1, arguments.end());
            } else {
                command.form = std::get<Form>(*option);
                command.path = arguments[1];
            }
        } else if (first == "--create-certificate") {
            command.form = Form::CreateCertificate;
        } else {
            command.form = Form::UnknownOption;
            command.option = first;
        }
        return command;
    }
    command.path = first;
    if (arguments.size() == 1) {
        command.form = Form::VerifyInteractive;
        return command;
    }
    // The letter is compared exactly: no trimming, no folding of case.
    const std::string& letter = arguments[1];
    if (letter == "v") {
        command.form = Form::Verify;
    } else if (letter == "s") {
        command.form = Form::Sign;
    } else if (letter == "c") {
        command.form = Form::CoSign;
    } else {
        command.form = Form::Unrecognised;
    }
    return command;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    Options options;
    auto rest = arguments.begin();
    for (; rest != arguments.end(); ++rest) {
        const auto* option = std::ranges::find_if(
            kLeadingOptions, [&](const LeadingOption& known) { return *rest == known.name; });
        if (option == std::end(kLeadingOptions)) {
            break;
        }
        const bool takesValue = option->wanted != nullptr;
        if ((takesValue && rest + 1 == arguments.end()) ||
            !option->set(options, takesValue ? *++rest : std::string())) {
            CommandLine command;
            command.form = Form::OptionValue;
            command.option = option->name;
            return command;
        }
    }
    CommandLine command = ParseForm({rest, arguments.end()});
    command.options = options;
    if (!TakesOptions(command)) {
        command = {};
        command.form = Form::OptionMisplaced;
        command.option = "--json";
    }
    return command;
}

NetworkSettings WithOptions(NetworkSettings settings, const Options& options) {
    if (options.timestampUrl) {
        settings.timestampUrl = *options.timestampUrl;
    }
    if (options.timeoutSeconds) {
        settings.timeoutSeconds = *options.timeoutSeconds;
    }
    settings.offline = settings.offline || options.offline;
    settings.embedValidationData = settings.embedValidationData || options.embedValidationData;
    return settings;
}

std::string ValueWanted(const std::string& option) {
    const auto* known = std::ranges::find_if(
        kLeadingOptions, [&](const LeadingOption& leading) { return option == leading.name; });
    return known != std::end(kLeadingOptions) && known->wanted != nullptr ? Tr(known->wanted) : "";
}

int RunCommandLine(const CommandLine& command, const OperationTable& operations, UserInterface& ui,
                   BatchMessages messages) {
    switch (command.form) {
        case Form::Interactive:
        case Form::Help:
        case Form::Version:
            return kExitCompleted;
        case Form::VerifyInteractive:
        case Form::Verify:
            return StatusOf(operations.VerifySig(ui, command.path));
        case Form::Sign:
            return StatusOf(operations.SignFile(ui, command.path, command.path + ".sig"));
        case Form::CoSign:
            // The co-signed message replaces the file that was named.
            return StatusOf(operations.CoSignContent(ui, command.path, command.path));
        case Form::Batch:
            return StatusOf(operations.RunBatch(ui, command.action, command.paths, messages));
        case Form::Import:
            return StatusOf(operations.ImportCertificate(ui, command.path));
        case Form::CreateCertificate:
            return StatusOf(operations.CreateCertificate(ui));
        case Form::Trust:
            return StatusOf(operations.TrustCertificate(ui, command.path));
        case Form::ExportCertificate:
            return StatusOf(operations.ExportCertificate(ui, command.path));
        case Form::Unrecognised:
        case Form::UnknownOption:
        case Form::OptionMisplaced:
        case Form::OptionValue:
            return kExitUsage;
    }
    return kExitUsage;
}

int RunJsonReport(const CommandLine& command, const OperationTable& operations, std::ostream& out) {
    const std::vector<std::string> paths =
        command.form == Form::Batch ? command.paths : std::vector<std::string>{command.path};
    std::vector<FileReport> files;
    for (const std::string& path : paths) {
        files.push_back(operations.VerifyForReport(path));
    }
    out << ReportJson(files);
    out.flush();
    const int status = ExitStatusOf(files);
    return status == 0 ? kExitCompleted : status == 3 ? kExitNotAllPassed : kExitFailed;
}

std::string UsageText(const std::string& program) {
    const std::string name = ProgramName(program);
    // The arguments of each form, and what it does.
    constexpr std::pair<const char*, const char*> kLines[] = {
        {"", QUILVANE_N_("open the window")},
        {" FILE", QUILVANE_N_("verify the signed file FILE, then open the window")},
        {" FILE v", QUILVANE_N_("verify the signed file FILE")},
        {" FILE s", QUILVANE_N_("sign FILE into FILE.sig")},
        {" FILE c", QUILVANE_N_("add a signature to the signed file FILE")},
        {" --sign FILE...", QUILVANE_N_("sign every FILE, with one choice of certificate")},
        {" --verify FILE...", QUILVANE_N_("verify every signed FILE and write its document")},
        {" --json --verify FILE...",
         QUILVANE_N_("the same, printing only a JSON report (also --json FILE v)")},
        {" --cosign FILE...", QUILVANE_N_("add a signature to every signed FILE")},
        {" --timestamp FILE...",
         QUILVANE_N_("add a time-stamp to every signature of every signed FILE")},
        {" --import FILE",
         QUILVANE_N_("copy a certificate file (PKCS #12, PEM, DER) into your store")},
        {" --create-certificate",
         QUILVANE_N_("make a self-signed certificate to try signing with")},
        {" --trust FILE", QUILVANE_N_("trust a CA or self-signed certificate for co-signing")},
        {" --export-certificate FILE",
         QUILVANE_N_("write a certificate of yours, without its key, to FILE")},
        {" --help", QUILVANE_N_("show this text")},
        {" --version", QUILVANE_N_("show the version")},
    };
    // Options that go before FILE or the batch option, with every form.
    constexpr std::pair<const char*, const char*> kOptionLines[] = {
        {"--timestamp-url URL", QUILVANE_N_("have URL time-stamp every new signature")},
        {"--offline", QUILVANE_N_("use no network: no time-stamp, no revocation check")},
        {"--timeout SECONDS", QUILVANE_N_("wait at most SECONDS for each network request")},
        {"--embed-validation-data", QUILVANE_N_("keep the revocation answers in new signatures")},
    };
    std::string text = Format(Tr("Usage: %1 [FILE [v|s|c]]"), name) + "\n" +
                       Tr("Signs documents with your own certificate, co-signs and verifies signed "
                          "files.") +
                       "\n\n";
    for (const auto& [arguments, meaning] : kLines) {
        std::string line = "  " + name + arguments;
        line.resize(std::max(line.size() + 2, name.size() + 21), ' ');
        text += line + Tr(meaning) + "\n";
    }
    text += std::string("\n") + Tr("Options, before FILE or the batch option:") + "\n";
    for (const auto& [option, meaning] : kOptionLines) {
        std::string line = std::string("  ") + option;
        line.resize(std::max<std::size_t>(line.size() + 2, 28), ' ');
        text += line + Tr(meaning) + "\n";
    }
    return text +
           Tr("They override, for one run, the settings file\n"
              "$XDG_CONFIG_HOME/quilvane/quilvane.conf (~/.config/quilvane/quilvane.conf):\n"
              "[signing] timestamp-url= and embed-validation-data=false, [verifying]\n"
              "check-revocation=true, [network] timeout-seconds=10.\n"
              "\n"
              "The action letter is exact: lower case, nothing around it. Any other letter does\n"
              "nothing. A file whose name begins with \"--\" is named as \"./--name\".\n"
              "\n"
              "When neither DISPLAY nor WAYLAND_DISPLAY is set, the program works in the\n"
              "terminal: messages go to standard output (errors and warnings to standard\n"
              "error), and questions, the certificate choice and passphrases are answered on\n"
              "standard input. Certificates and keys are read from\n"
              "$XDG_DATA_HOME/quilvane/My (~/.local/share/quilvane/My).\n"
              "Certificates with a key on a PKCS #11 token (smart cards, SoftHSM2) or in an\n"
              "NSS database (~/.pki/nssdb, Firefox and Thunderbird profiles) are offered too.\n"
              "\n"
              "Exit status: 0 when the operation completed, 1 when it failed or was cancelled,\n"
              "2 when the command line was unusable. With --json: 0 when every file is intact\n"
              "and every signer's certificate passed, 1 when a file was refused or its document\n"
              "not written, 3 when every file is intact but some signer's certificate did not\n"
              "pass.\n");
}

std::string ShortUsageText(const std::string& program) {
    const std::string name = ProgramName(program);
    return Format(Tr("Usage: %1 FILE [v|s|c]"), name) + "\n" +
           Format(Tr("Try \"%1 --help\" for more information."), name) + "\n";
}

std::string VersionText() {
    return std::string("Quilvane ") + kVersion + "\n";
}

}  // namespace quilvane
