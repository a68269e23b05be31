// The command line: which operation each form of it runs, with which paths,
// and the exit status it ends with; then the built program in the terminal
// mode, with no display, answers on standard input and a certificate store in
// a temporary folder.

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "app/AppTestSupport.h"
#include "app/Dispatch.h"
#include "app/Startup.h"
#include "app/Version.h"

namespace quilvane::test {

using Form = CommandLine::Form;

TEST(Dispatch, EachFormRunsItsOperationWithItsPathsAndEndsWithItsStatus) {
    // The arguments, their form, the call they make (empty when nothing runs)
    // and the exit status when the operation completes; 1 when it fails or is
    // cancelled.
    using Case = std::tuple<std::vector<std::string>, Form, std::string, int>;
    std::vector<Case> cases = {
        {{}, Form::Interactive, "", 0},
        // Arguments after the letter are ignored.
        {{"r.pdf", "s", "v", "--help"}, Form::Sign, "SignFile|r.pdf|r.pdf.sig", 0},
        // An option counts in the first place only, and wins over any letter.
        {{"r.pdf", "--help"}, Form::Unrecognised, "", 2},
        {{"./--help", "v"}, Form::Verify, "VerifySig|./--help", 0},
        // Batches take every later argument as a file, options included.
        {{"--sign", "a", "--help"}, Form::Batch, "RunBatch|0|a|--help", 0},
        {{"--verify", "a.sig"}, Form::Batch, "RunBatch|1|a.sig", 0},
        {{"--cosign", "a.sig", "b.sig"}, Form::Batch, "RunBatch|2|a.sig|b.sig", 0},
        {{"--timestamp", "a.sig"}, Form::Batch, "RunBatch|3|a.sig", 0},
        {{"--sign"}, Form::UnknownOption, "", 2},
        {{"--import", "me.p12", "x"}, Form::Import, "ImportCertificate|me.p12", 0},
        {{"--trust", "ca.pem"}, Form::Trust, "TrustCertificate|ca.pem", 0},
        {{"--export-certificate", "me.crt"},
         Form::ExportCertificate,
         "ExportCertificate|me.crt",
         0},
        {{"--import"}, Form::UnknownOption, "", 2},
        // Leading options go only with the forms they change.
        {{"--json", "--sign", "a"}, Form::OptionMisplaced, "", 2},
        {{"--json", "a.sig", "s"}, Form::OptionMisplaced, "", 2},
        {{"--json"}, Form::OptionMisplaced, "", 2},
        {{"--offline", "--json", "a.sig", "s"}, Form::OptionMisplaced, "", 2},
        // The network's options go with every form; those that take a value
        // need one they can use.
        {{"--offline", "doc.sig", "v"}, Form::Verify, "VerifySig|doc.sig", 0},
        {{"--json", "--offline", "--verify", "a.sig", "b.sig"},
         Form::Batch,
         "RunBatch|1|a.sig|b.sig",
         0},
        {{"--timestamp-url", "http://tsa/", "--timeout", "3", "doc.txt", "s"},
         Form::Sign,
         "SignFile|doc.txt|doc.txt.sig",
         0},
        {{"--embed-validation-data", "--offline"}, Form::Interactive, "", 0},
        {{"--timeout"}, Form::OptionValue, "", 2},
        {{"--timeout", "0", "a.sig"}, Form::OptionValue, "", 2},
        {{"--timeout", "9s", "a.sig"}, Form::OptionValue, "", 2},
        {{"--timestamp-url", "doc.txt", "s"}, Form::OptionValue, "", 2},
    };
    // Only the exact lower-case letters are actions.
    for (const char* letter : {"S", "V", "C", " s", "s ", "", "sign", "-s"}) {
        cases.push_back({{"r.pdf", letter}, Form::Unrecognised, "", 2});
    }
    for (const char* option : {"--x", "--", "--HELP", "--help=1"}) {
        cases.push_back({{option, "s"}, Form::UnknownOption, "", 2});
    }
    // Paths are passed on byte for byte.
    for (const std::string path : {"a,b", "(x) \"hi\", it's", "caf\xE9", " x ", ""}) {
        cases.push_back({{path}, Form::VerifyInteractive, "VerifySig|" + path, 0});
        cases.push_back({{path, "s"}, Form::Sign, "SignFile|" + path + "|" + path + ".sig", 0});
    }
    ScriptedUserInterface ui;
    for (const auto& [arguments, form, call, status] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const CommandLine command = ParseCommandLine(arguments);
        EXPECT_EQ(command.form, form);
        for (Outcome outcome : {Outcome::Completed, Outcome::Failed, Outcome::Cancelled}) {
            Recorder recorder{{}, outcome};
            EXPECT_EQ(RunCommandLine(command, recorder.operations(), ui),
                      outcome == Outcome::Completed || call.empty() ? status : 1);
            EXPECT_EQ(recorder.calls, call.empty() ? Calls{} : Calls{call});
        }
    }
}

TEST(Dispatch, TheOptionsOverrideTheSettingsFileForTheRun) {
    NetworkSettings file;
    file.timestampUrl = "http://file/";
    file.checkRevocation = false;
    file.timeoutSeconds = 7;
    // The time-stamp service, the timeout, and whether offline, embedding and checking revocation.
    const auto run = [&](const std::vector<std::string>& arguments) {
        const NetworkSettings s = WithOptions(file, ParseCommandLine(arguments).options);
        return s.timestampUrl + " " + std::to_string(s.timeoutSeconds) + " " +
               std::to_string(s.offline) + std::to_string(s.embedValidationData) +
               std::to_string(s.checkRevocation);
    };
    EXPECT_EQ(run({"a.sig"}), "http://file/ 7 000");
    EXPECT_EQ(run({"--timeout", "2", "--offline", "--timestamp-url", "https://tsa/",
                   "--embed-validation-data", "a.sig"}),
              "https://tsa/ 2 110");
}

// Whatever it is asked, the program first makes itself non-dumpable: no core
// file and no other process of the user attached to read its secrets.
TEST(Startup, TheProgramCannotBeDumpedOrTraced) {
    const pid_t child = fork();
    if (child == 0) {
        char name[] = "quilvane", option[] = "--version";
        char* argv[] = {name, option, nullptr};
        rlimit core{1, 1};
        const bool ran = std::freopen("/dev/null", "w", stdout) != nullptr &&
                         RunQuilvane(2, argv) == kExitCompleted;
        _exit(ran && prctl(PR_GET_DUMPABLE) == 0 && getrlimit(RLIMIT_CORE, &core) == 0 &&
                      core.rlim_cur == 0 && core.rlim_max == 0
                  ? 0
                  : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
}

TEST(EndToEnd, SignsAndVerifiesInTheTerminal) {
    TempDir dir;
    StoreHome store(dir / "data");
    const auto run = [&](const auto&... words) { return RunProgram(dir.path(), words...); };
    // An empty store tells where certificates go and how to get a first one.
    WriteFile(dir / "first.txt", "first");
    EXPECT_PRED2(Like, run("first.txt", "s", ""),
                 "You have no certificate to sign with yet. Quilvane looked in:\n  the folder " +
                     store.my().string() +
                     "\n  PKCS #11 tokens (p11-kit): *\n  NSS databases: none found\n"
                     "*quilvane --import FILE\n*quilvane --create-certificate\n(exit 1)");
    // Created in the terminal, the key type asked again after a wrong answer.
    EXPECT_PRED2(Like, run("--create-certificate", "", "Ada\n\n3\n2\npw\npx\npw\npw\n"),
                 "Your name: Ada\n*P-256 \\[1]: 3\n*P-256 \\[1]: 2\n*The two passphrases "
                 "differ.\n*Created a self-signed certificate for Ada*give them " +
                     (store.my() / "Ada.crt").string() + " and have them run*(exit 0)");
    fs::remove(store.my() / "Ada.pem");
    fs::remove(store.my() / "Ada.crt");

    SharedPki& pki = SharedPki::get();
    const std::string bytes = std::string("\r\n\0\xff", 4);                // CR LF left as it is
    const std::string name = "my report, draft.pdf", sig = name + ".sig";  // reported as given
    WriteFile(dir / name, bytes);

    EXPECT_PRED2(Like, run("--help", "", ""), "Usage: quilvane \\[FILE \\[v|s|c]]\n*\n(exit 0)");
    // Neither needs a display, even where one is named but cannot be reached.
    EXPECT_EQ(run("--version", "s", "", "DISPLAY=:9999"),
              "Quilvane " + std::string(kVersion) + "\n(exit 0)");

    // Secrets, with displays that cannot be reached: Bob's protected PKCS #12
    // file, refused three times, is passed over with a warning; Alice's key is
    // asked for again after a wrong passphrase, three times in all. No
    // passphrase is ever printed, though the other answers are.
    StoreHome locked(dir / "locked");
    locked.add({pki.alice.cert});
    Openssl("pkey -aes128 -passout pass:right-pw -in", pki.alice.key, "-out",
            locked.my() / "alice.key");
    Openssl("pkcs12 -export -passout pass:p12-pw -in", pki.bob.cert, "-inkey", pki.bob.key, "-out",
            locked.my() / "bob.p12");
    const std::string again = "The passphrase was wrong.\nEnter the passphrase for ";
    const std::string signedWithSecrets =
        run(name, "s", "guess-a\nguess-b\nguess-c\n1\nguess-d\nright-pw\n",
            "-u QT_QPA_PLATFORM DISPLAY=:9999 WAYLAND_DISPLAY=none XDG_RUNTIME_DIR=" +
                Quote(dir.path().string()));
    EXPECT_PRED2(Like, signedWithSecrets,
                 "Enter the passphrase for \"bob.p12\": \n" + again + "\"bob.p12\": \n" + again +
                     "\"bob.p12\": \nZARAN Certificates\n1. Alice Example *\nCertificate number "
                     "(empty to cancel): 1\nEnter the passphrase for the private key in "
                     "\"alice.key\": \n" +
                     again +
                     "the private key in \"alice.key\": \nSignature applied *(Quilvane: the "
                     "Wayland display \"none\" cannot be reached and the display \":9999\" cannot "
                     "be reached; working in the terminal.\nThe passphrase for \"bob.p12\" was "
                     "wrong three times: its certificates are not listed.\nexit 0)");
    EXPECT_PRED2(Like, run(name, "s", "x\nx\nx\n1\nx\nx\nx\n", "-u QT_QPA_PLATFORM"),
                 "*\nCAPICOM error found : The passphrase for the private key in \"alice.key\" is "
                 "wrong.\nexit 1)");
    for (const char* secret : {"guess", "right-pw"}) {
        EXPECT_EQ(signedWithSecrets.find(secret), std::string::npos) << secret;
    }

    fs::remove(dir / name);
    EXPECT_PRED2(Like, run(sig, "v", "n\n"),
                 "*Document is untampered.*location:\n" + name +
                     "\nDo you want to view this file now? \\[y/N] n\n(exit 0)");
    EXPECT_EQ(ReadFile(dir / name), bytes);
}

}  // namespace quilvane::test
