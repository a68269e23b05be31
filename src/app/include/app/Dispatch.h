#pragma once
// The command-line dispatch: what the program's arguments ask for, and running
// it through the table of operations. No windowing here; the start-up decides
// which user interface the chosen operation talks to.

#include <string>
#include <vector>

#include "app/OperationTable.h"
#include "operations/UserInterface.h"

namespace quilvane {

// Exit statuses of the program.
inline constexpr int kExitCompleted = 0;  // the operation completed, or --help/--version
inline constexpr int kExitFailed = 1;     // the operation failed or was cancelled
inline constexpr int kExitUsage = 2;      // the command line was unusable

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
        Batch,              // --sign, --verify or --cosign and the files
        Import,             // --import FILE
        CreateCertificate,  // --create-certificate
        Trust,              // --trust FILE
        ExportCertificate,  // --export-certificate FILE
    };

    Form form = Form::Interactive;
    std::string path;                        // the document, signed or certificate file, as given
    std::string option;                      // the unknown option, for the usage message
    BatchAction action = BatchAction::Sign;  // for a batch
    std::vector<std::string> paths;          // the files of a batch, exactly as given

    // True for the forms that end the program without showing the window.
    bool endsProgram() const;
};

// Reads the arguments that follow the program's own name (argv[1] on). The
// first is the path, the second the action letter; further ones are ignored.
// A first argument beginning with "--" is an option: a file whose name begins
// that way is given as "./--name". A batch option takes every argument after
// it as a file; without one the command line is unusable.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// Runs the operation the command line names, if any, with `ui` and returns the
// exit status it earns: 0 when it completed (or when there was nothing to run),
// 1 when it failed or was cancelled, 2 for an unrecognised action letter.
// Help, version and unknown options run nothing and return 0, 0 and 2; the
// caller prints their texts.
// A batch tells each file's outcome as `messages` says.
int RunCommandLine(const CommandLine& command, const OperationTable& operations, UserInterface& ui,
                   BatchMessages messages = BatchMessages::Each);

// The full usage text for --help, ending in a line feed. `program` is the name
// the program was started by (argv[0]); only its last component is shown.
std::string UsageText(const std::string& program);

// Two lines for an unusable command line, pointing at --help.
std::string ShortUsageText(const std::string& program);

// "Quilvane <version>", ending in a line feed.
std::string VersionText();

}  // namespace quilvane
