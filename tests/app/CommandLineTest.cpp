// The command line: which operation each form of it runs, with which paths,
// and the exit status it ends with; then the built program in the terminal
// mode, with no display, answers on standard input, a certificate store in a
// temporary folder and the results checked with the openssl command.

#include <numeric>

#include "app/AppTestSupport.h"
#include "app/Dispatch.h"
#include "support/SharedPki.h"

namespace quilvane::test {
namespace {

using Form = CommandLine::Form;

TEST(Dispatch, EachFormRunsItsOperationWithItsPathsAndEndsWithItsStatus) {
    struct Case {
        std::vector<std::string> arguments;
        Form form;
        std::vector<std::string> call;  // the operation and its paths; empty when nothing runs
        int status;  // when the operation completes; 1 when it fails or is cancelled
    };
    std::vector<Case> cases = {
        {{}, Form::Interactive, {}, 0},
        {{"r.sig"}, Form::VerifyInteractive, {"VerifySig", "r.sig"}, 0},
        {{"r.sig", "v"}, Form::Verify, {"VerifySig", "r.sig"}, 0},
        {{"r.pdf", "s"}, Form::Sign, {"SignFile", "r.pdf", "r.pdf.sig"}, 0},
        {{"r.sig", "c"}, Form::CoSign, {"CoSignContent", "r.sig", "r.sig"}, 0},  // in place
        // Arguments after the letter are ignored.
        {{"r.pdf", "s", "v", "--help"}, Form::Sign, {"SignFile", "r.pdf", "r.pdf.sig"}, 0},
        {{"r.pdf", "S", "s"}, Form::Unrecognised, {}, 2},
        // An option counts in the first place only, and wins over any letter.
        {{"r.pdf", "--help"}, Form::Unrecognised, {}, 2},
        {{"--help"}, Form::Help, {}, 0},
        {{"--version", "s"}, Form::Version, {}, 0},
        {{"./--help", "v"}, Form::Verify, {"VerifySig", "./--help"}, 0},
    };
    // Only the exact lower-case letters are actions.
    for (const char* letter : {"S", "V", "C", " s", "s ", "", "sign", "-s"}) {
        cases.push_back({{"r.pdf", letter}, Form::Unrecognised, {}, 2});
    }
    for (const char* option : {"--x", "--", "--HELP", "--help=1"}) {
        cases.push_back({{option, "s"}, Form::UnknownOption, {}, 2});
    }
    // Paths are passed on byte for byte.
    for (const std::string path : {"a,b", "(x) \"hi\", it's", "caf\xE9", " x ", ""}) {
        cases.push_back({{path}, Form::VerifyInteractive, {"VerifySig", path}, 0});
        cases.push_back({{path, "s"}, Form::Sign, {"SignFile", path, path + ".sig"}, 0});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const CommandLine command = ParseCommandLine(c.arguments);
        EXPECT_EQ(command.form, c.form);
        EXPECT_EQ(command.endsProgram(),
                  c.form != Form::Interactive && c.form != Form::VerifyInteractive);
        for (Outcome outcome : {Outcome::Completed, Outcome::Failed, Outcome::Cancelled}) {
            Recorder recorder{{}, outcome};
            ScriptedUserInterface ui;
            EXPECT_EQ(RunCommandLine(command, recorder.operations(), ui),
                      outcome == Outcome::Completed || c.call.empty() ? c.status : 1);
            EXPECT_EQ(recorder.calls, c.call.empty() ? Calls{} : Calls{c.call});
        }
    }
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.ends_with(tail);
}

TEST(EndToEnd, SignsVerifiesAndCoSignsInTheTerminal) {
    const char* binary = std::getenv("QUILVANE_BINARY");
    ASSERT_NE(binary, nullptr) << "QUILVANE_BINARY names the built program";
    TempDir dir;
    StoreHome store(dir / "data");
    // Runs the program in the temporary folder with `input` on its standard input,
    // in a session of its own (so without a terminal to ask passphrases on)
    // and without a display unless `environment` names one. Returns its
    // standard output, then in brackets its standard error and exit status.
    const auto run = [&](const std::vector<std::string>& arguments, const std::string& input,
                         const std::string& environment = "") {
        WriteFile(dir / "in", input);
        std::string command = "cd " + Quote(dir.path().string()) +
                              " && env -u DISPLAY -u WAYLAND_DISPLAY " + environment +
                              " setsid -w " + Quote(binary);
        for (const std::string& argument : arguments) {
            command += " " + Quote(argument);
        }
        const int status = RunStatus(command + " <in >out 2>err");
        return ReadFile(dir / "out") + "(" + ReadFile(dir / "err") + "exit " +
               std::to_string(status) + ")";
    };
    SharedPki& pki = SharedPki::get();
    store.add({pki.alice.cert, pki.alice.key});
    std::string bytes = "\r\n" + std::string(256, '\0');  // CR LF left as it is, every byte
    std::iota(bytes.begin() + 2, bytes.end(), '\0');
    const std::string name = "my report, draft.pdf", sig = name + ".sig";  // reported as given
    WriteFile(dir / name, bytes);
    // What the openssl command makes of the signed file.
    const auto openssl = [&](const std::string& command) {
        return test::Run("openssl cms -inform DER -in " + Quote((dir / sig).string()) + " " +
                         command);
    };

    const std::string help = run({"--help"}, "");
    EXPECT_TRUE(help.starts_with("Usage: quilvane [FILE [v|s|c]]\n")) << help;
    EXPECT_PRED2(EndsWith, help, "\n(exit 0)");
    // Neither needs a display, even where one is named but cannot be reached.
    EXPECT_EQ(run({"--version", "s"}, "", "DISPLAY=:9999"), "Quilvane 1.00\n(exit 0)");
    EXPECT_EQ(run({name, "S"}, "1\n"), "(exit 2)") << "an unknown letter ends silently";
    // A missing file is an error before the certificate list.
    const std::string missing = run({"absent.pdf", "s"}, "1\n");
    EXPECT_TRUE(missing.starts_with("(VB Error found:") &&
                missing.find("absent.pdf") != std::string::npos && missing.ends_with("exit 1)"))
        << missing;
    // Cancelling the choice says no more and writes nothing.
    const std::string cancel = run({name, "s"}, "\n");
    EXPECT_TRUE(cancel.starts_with("ZARAN Certificates\n1. Alice Example | issued by ")) << cancel;
    EXPECT_PRED2(EndsWith, cancel, "\nCertificate number (empty to cancel): \n(exit 1)");
    EXPECT_FALSE(fs::exists(dir / sig));

    EXPECT_PRED2(EndsWith, run({name, "s"}, "1\n"),
                 "Signature applied successfully.\nFile saved to location:" + sig + "\n(exit 0)");
    EXPECT_EQ(openssl("-verify -noverify -binary 2>/dev/null"), bytes);

    fs::remove(dir / name);
    const std::string verify = run({sig, "v"}, "n\n");
    EXPECT_NE(verify.find("Verification complete. Document is untampered.\n\nDocument is "
                          "signed by following persons:\nName: Alice Example ==> Signed On: "),
              std::string::npos)
        << verify;
    EXPECT_PRED2(EndsWith, verify,
                 "The file is decoded and stored at the following location:\n" + name +
                     "\nDo you want to view this file now? [y/N] n\n(exit 0)");
    EXPECT_EQ(ReadFile(dir / name), bytes);

    // Bob alone in the store; co-signing checks Alice's chain up to a trusted root.
    fs::remove_all(store.my());
    fs::create_directories(store.my());
    store.add({pki.bob.cert, pki.bob.key});
    fs::copy_file(pki.pki.root().cert, store.root() / "root.pem");
    EXPECT_PRED2(EndsWith, run({sig, "c"}, "1\n"), "(exit 0)");
    EXPECT_EQ(openssl("-verify -noverify -binary 2>/dev/null"), bytes);
    EXPECT_EQ(openssl("-cmsout -print | grep -c signatureAlgorithm:"), "2\n") << "two signers";
}

}  // namespace
}  // namespace quilvane::test
