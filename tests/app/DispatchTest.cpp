// The command-line dispatch: which operation each form of the command line
// runs, with which paths, and the exit status it ends with.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Dispatch.h"
#include "support/ScriptedUserInterface.h"

namespace quilvane {
namespace {

using Form = CommandLine::Form;

// Operations that only write down how they were called.
struct Recorder {
    struct Call {
        std::string operation;
        std::vector<std::string> arguments;
        UserInterface* ui;
    };
    std::vector<Call> calls;
    Outcome outcome = Outcome::Completed;

    Operations operations() {
        Operations ops;
        ops.SignFile = [this](UserInterface& ui, std::string in, std::string out) {
            calls.push_back({"SignFile", {in, out}, &ui});
            return outcome;
        };
        ops.VerifySig = [this](UserInterface& ui, std::string file) {
            calls.push_back({"VerifySig", {file}, &ui});
            return outcome;
        };
        ops.CoSignContent = [this](UserInterface& ui, std::string in, std::string out) {
            calls.push_back({"CoSignContent", {in, out}, &ui});
            return outcome;
        };
        ops.Envelope = [this](UserInterface& ui, std::string in, std::string out) {
            calls.push_back({"Envelope", {in, out}, &ui});
            return outcome;
        };
        ops.ReceiveMessage = [this](UserInterface& ui, std::string in) {
            calls.push_back({"ReceiveMessage", {in}, &ui});
            return outcome;
        };
        return ops;
    }
};

// Parses `arguments` and runs the result against a recorder.
struct Dispatched {
    CommandLine command;
    int status;
    std::vector<Recorder::Call> calls;
};

Dispatched Dispatch(const std::vector<std::string>& arguments,
                    Outcome outcome = Outcome::Completed) {
    Recorder recorder;
    recorder.outcome = outcome;
    test::ScriptedUserInterface ui;
    Dispatched result{ParseCommandLine(arguments), 0, {}};
    result.status = RunCommandLine(result.command, recorder.operations(), ui);
    for (const auto& call : recorder.calls) {
        EXPECT_EQ(call.ui, &ui) << "the operation talks to the dispatch's user interface";
    }
    EXPECT_TRUE(ui.messages.empty()) << "the dispatch shows nothing of its own";
    result.calls = recorder.calls;
    return result;
}

TEST(Dispatch, NoArgumentRunsNothingAndKeepsTheWindow) {
    Dispatched d = Dispatch({});
    EXPECT_EQ(d.command.form, Form::Interactive);
    EXPECT_FALSE(d.command.endsProgram());
    EXPECT_TRUE(d.calls.empty());
    EXPECT_EQ(d.status, 0);
}

TEST(Dispatch, LonePathIsVerifiedAndTheWindowStays) {
    Dispatched d = Dispatch({"/docs/report.pdf.sig"});
    EXPECT_EQ(d.command.form, Form::VerifyInteractive);
    EXPECT_FALSE(d.command.endsProgram());
    ASSERT_EQ(d.calls.size(), 1u);
    EXPECT_EQ(d.calls[0].operation, "VerifySig");
    EXPECT_EQ(d.calls[0].arguments, std::vector<std::string>{"/docs/report.pdf.sig"});
}

TEST(Dispatch, ActionLettersRunTheirOperationOnceAndEnd) {
    Dispatched verify = Dispatch({"report.pdf.sig", "v"});
    ASSERT_EQ(verify.calls.size(), 1u);
    EXPECT_EQ(verify.calls[0].operation, "VerifySig");
    EXPECT_EQ(verify.calls[0].arguments, std::vector<std::string>{"report.pdf.sig"});
    EXPECT_TRUE(verify.command.endsProgram());

    Dispatched sign = Dispatch({"report.pdf", "s"});
    ASSERT_EQ(sign.calls.size(), 1u);
    EXPECT_EQ(sign.calls[0].operation, "SignFile");
    EXPECT_EQ(sign.calls[0].arguments, (std::vector<std::string>{"report.pdf", "report.pdf.sig"}));
    EXPECT_TRUE(sign.command.endsProgram());

    // Co-signing replaces the named file.
    Dispatched cosign = Dispatch({"report.pdf.sig", "c"});
    ASSERT_EQ(cosign.calls.size(), 1u);
    EXPECT_EQ(cosign.calls[0].operation, "CoSignContent");
    EXPECT_EQ(cosign.calls[0].arguments,
              (std::vector<std::string>{"report.pdf.sig", "report.pdf.sig"}));
    EXPECT_TRUE(cosign.command.endsProgram());
}

TEST(Dispatch, OnlyTheExactLowerCaseLettersAreActions) {
    for (const std::string letter : {"S", "V", "C", " s", "s ", "", "sign", "x", "vs", "-s"}) {
        SCOPED_TRACE("letter \"" + letter + "\"");
        Dispatched d = Dispatch({"report.pdf", letter});
        EXPECT_EQ(d.command.form, Form::Unrecognised);
        EXPECT_TRUE(d.command.endsProgram());
        EXPECT_TRUE(d.calls.empty());
        EXPECT_EQ(d.status, 2);
    }
}

TEST(Dispatch, ArgumentsAfterTheLetterAreIgnored) {
    Dispatched d = Dispatch({"report.pdf", "s", "v", "--help", "extra"});
    ASSERT_EQ(d.calls.size(), 1u);
    EXPECT_EQ(d.calls[0].operation, "SignFile");
    EXPECT_EQ(d.calls[0].arguments[0], "report.pdf");

    Dispatched nothing = Dispatch({"report.pdf", "S", "s"});
    EXPECT_TRUE(nothing.calls.empty());
    EXPECT_EQ(nothing.status, 2);
}

TEST(Dispatch, PathsReachTheOperationByteForByte) {
    const std::vector<std::string> paths = {
        "a,b.pdf",                   // a comma does not split the path
        "my report (final).pdf",     // spaces and brackets
        "say \"hello\".txt",         // double quotes
        "it's.txt",                  // a single quote
        std::string("caf\xE9.txt"),  // Latin-1, not UTF-8
        "  padded  ",                // spaces around it are kept
        "-s",                        // a single dash is a file name like any other
        "./--help",                  // how a file named --help is given
        "x.sig",                     // a second suffix is added, not swapped in
        "",                          // an empty path is passed on, not caught here
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE("path \"" + path + "\"");
        Dispatched verify = Dispatch({path});
        ASSERT_EQ(verify.calls.size(), 1u);
        EXPECT_EQ(verify.calls[0].arguments[0], path);

        Dispatched sign = Dispatch({path, "s"});
        ASSERT_EQ(sign.calls.size(), 1u);
        EXPECT_EQ(sign.calls[0].arguments[0], path);
        EXPECT_EQ(sign.calls[0].arguments[1], path + ".sig");
    }
}

TEST(Dispatch, ExitStatusFollowsTheOperationsOutcome) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"f"}, {"f", "v"}, {"f", "s"}, {"f", "c"}}) {
        SCOPED_TRACE(arguments.size() == 1 ? "lone path" : "letter " + arguments[1]);
        EXPECT_EQ(Dispatch(arguments, Outcome::Completed).status, 0);
        EXPECT_EQ(Dispatch(arguments, Outcome::Failed).status, 1);
        EXPECT_EQ(Dispatch(arguments, Outcome::Cancelled).status, 1);
    }
}

TEST(Dispatch, DoubleDashArgumentsAreOptions) {
    Dispatched help = Dispatch({"--help"});
    EXPECT_EQ(help.command.form, Form::Help);
    EXPECT_TRUE(help.calls.empty());
    EXPECT_EQ(help.status, 0);

    // The option wins over any letter after it.
    Dispatched version = Dispatch({"--version", "s"});
    EXPECT_EQ(version.command.form, Form::Version);
    EXPECT_TRUE(version.calls.empty());
    EXPECT_EQ(version.status, 0);

    for (const std::string option : {"--x", "--", "--HELP", "--help=1", "--report.pdf"}) {
        SCOPED_TRACE(option);
        Dispatched d = Dispatch({option, "s"});
        EXPECT_EQ(d.command.form, Form::UnknownOption);
        EXPECT_EQ(d.command.option, option);
        EXPECT_TRUE(d.calls.empty());
        EXPECT_EQ(d.status, 2);
    }
    // An option only counts in the first place.
    Dispatched late = Dispatch({"report.pdf", "--help"});
    EXPECT_EQ(late.command.form, Form::Unrecognised);
}

TEST(Dispatch, UsageNamesTheCommandWithoutItsFolder) {
    const std::string usage = UsageText("/usr/local/bin/quilvane");
    EXPECT_TRUE(usage.starts_with("Usage: quilvane [FILE [v|s|c]]\n")) << usage;
    EXPECT_EQ(usage.find("/usr/local/bin"), std::string::npos);
    EXPECT_TRUE(ShortUsageText("./quilvane").starts_with("Usage: quilvane FILE"));
}

}  // namespace
}  // namespace quilvane
