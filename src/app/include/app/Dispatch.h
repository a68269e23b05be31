#pragma once
// The command-line dispatch: what the program's arguments ask for, and running
// it through the table of operations. No windowing here; the start-up decides
// which user interface the chosen operation talks to.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/OperationTable.h"
#include "crypto/Network.h"
#include "operations/UserInterface.h"

namespace quilvane {

// Exit statuses of the program.
inline constexpr int kExitCompleted = 0;  // the operation completed, or --help/--version
inline constexpr int kExitFailed = 1;     // the operation failed or was cancelled
inline constexpr int kExitUsage = 2;      // the command line was unusable
// With --json: every file intact, but some signer's certificate did not pass.
inline constexpr int kExitNotAllPassed = 3;

// What the arguments ask for.
struct CommandLine {
    enum class Form {
        Interactive,        // no argument: the window waits for the user
        VerifyInteractive,  // a lone path: verify it, then the window waits for the user
        Verify,             // path v
        Sign,               // path s
        CoSign,             // path c
        Unrecognised,       // a path and any other second argument: nothing is done
        Help,               // --help
        Version,            // --version
        UnknownOption,      // any other first argument beginning with "--"
        Batch,              // --sign, --verify, --cosign or --timestamp and the files
        Import,             // --import FILE
        CreateCertificate,  // --create-certificate
        Trust,              // --trust FILE
        ExportCertificate,  // --export-certificate FILE
        OptionMisplaced,    // a leading option before a form it does not go with
        OptionValue,        // a leading option without its value, or with one it cannot use
    };

    // The options that may come before everything else, each changing how
    // the form that follows them runs. The network's override the settings
    // file for the run.
    struct Options {
        bool json = false;                        // --json: verify into a machine-readable report
        std::optional<std::string> timestampUrl;  // --timestamp-url URL
        bool offline = false;                     // --offline
        std::optional<int> timeoutSeconds;        // --timeout SECONDS
        bool embedValidationData = false;         // --embed-validation-data
    };

    Form form = Form::Interactive;
    Options options;
    std::string path;  // the document, signed or certificate file, as given
    std::string
        option;  // the unknown or misplaced option, or the one lacking a value, for its message
    BatchAction action = BatchAction::Sign;  // for a batch
    std::vector<std::string> paths;          // the files of a batch, exactly as given

    // True for the forms that end the program without showing the window.
    bool endsProgram() const;
};

// Reads the arguments that follow the program's own name (argv[1] on). After
// the leading options (--json, --offline, --timeout SECONDS...), the first is the path, the second
// the action letter; further ones are ignored. A first argument beginning with "--" is an option: a
// file whose name begins that way is given as "./--name". A batch option takes every argument after
// it as a file; without one the command line is unusable.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The network settings of the run: those of the settings file, changed by
// the options given.
NetworkSettings WithOptions(NetworkSettings settings, const CommandLine::Options& options);

// What an option that needs a value wants, for the message about a missing
// or unusable one: "an http:// or https:// address".
std::string ValueWanted(const std::string& option);

// Runs the operation the command line names, if any, with `ui` and returns the
// exit status it earns: 0 when it completed (or when there was nothing to run),
// 1 when it failed or was cancelled, 2 for an unrecognised action letter.
// Help, version, unknown options and options without their values run
// nothing and return 0, 0, 2 and 2; the caller prints their texts.
// A batch tells each file's outcome as `messages` says.
int RunCommandLine(const CommandLine& command, const OperationTable& operations, UserInterface& ui,
                   BatchMessages messages = BatchMessages::Each);

// The full usage text for --help, ending in a line feed. `program` is the name
// the program was started by (argv[0]); only its last component is shown.
std::string UsageText(const std::string& program);

// Two lines for an unusable command line, pointing at --help.
std::string ShortUsageText(const std::string& program);

// With --json: verifies every file the command line names through
// `operations.VerifyForReport`, writes the report as one JSON document to
// `out`, and returns 0 when every file is intact and every signer passed, 1
// when a file was refused or not written, 3 when only some signer did not pass.
int RunJsonReport(const CommandLine& command, const OperationTable& operations, std::ostream& out);

// "Quilvane <version>", ending in a line feed.
std::string VersionText();

}  // namespace quilvane
