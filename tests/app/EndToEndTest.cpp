// The built program in the terminal mode: no display, answers on standard
// input, a certificate store in a temporary folder, the results checked with
// the openssl command.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/SharedPki.h"
#include "support/TestPki.h"

namespace quilvane {
namespace {

namespace fs = std::filesystem;
using test::Quote;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* binary = std::getenv("QUILVANE_BINARY");
        if (binary == nullptr || !fs::exists(binary)) {
            GTEST_SKIP() << "QUILVANE_BINARY does not name the built program";
        }
        binary_ = binary;
        fs::create_directories(docs());
    }

    // A store holding Alice's certificate and key.
    void storeAlice() {
        const auto& alice = test::SharedPki::get().alice;
        store_.add({alice.cert, alice.key});
    }

    // Runs the program with `arguments`, `input` on its standard input, in
    // its own session (so it has no terminal to ask passphrases on) and
    // without a display. `environment` is added on top.
    Result run(const std::vector<std::string>& arguments, const std::string& input = "",
               const std::vector<std::string>& environment = {}) {
        const fs::path in = dir_ / "stdin";
        const fs::path out = dir_ / "stdout";
        const fs::path err = dir_ / "stderr";
        test::WriteFile(in, input);

        std::vector<std::string> argv = {binary_.string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> args;
        for (std::string& argument : argv) {
            args.push_back(argument.data());
        }
        args.push_back(nullptr);

        const pid_t child = fork();
        if (child == 0) {
            setsid();
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            for (const std::string& setting : environment) {
                putenv(const_cast<char*>(setting.c_str()));
            }
            const int inFd = open(in.c_str(), O_RDONLY);
            const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (inFd < 0 || outFd < 0 || errFd < 0 || dup2(inFd, 0) < 0 || dup2(outFd, 1) < 0 ||
                dup2(errFd, 2) < 0 || chdir(docs().c_str()) != 0) {
                _exit(120);
            }
            execv(args[0], args.data());
            _exit(121);
        }
        Result result;
        int status = 0;
        waitpid(child, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = test::ReadFile(out);
        result.err = test::ReadFile(err);
        return result;
    }

    // Signs `document` as Alice through the program; expects success.
    void sign(const fs::path& document) {
        Result r = run({document.string(), "s"}, "1\n");
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }

    // What `openssl cms -verify` extracts from a signed file, signatures checked.
    std::string verifiedContent(const fs::path& signedFile) {
        const fs::path extracted = dir_ / "extracted";
        fs::remove(extracted);
        test::Run("openssl cms -verify -inform DER -noverify -binary -in " +
                  Quote(signedFile.string()) + " -out " + Quote(extracted.string()));
        return test::ReadFile(extracted);
    }

    fs::path docs() const { return dir_ / "docs"; }

    test::TempDir dir_;
    test::StoreHome store_{dir_ / "data"};
    fs::path binary_;
};

// Every byte value, and a CR LF that must not be touched.
std::string DocumentBytes() {
    std::string bytes = "%PDF-1.4\r\n";
    for (int i = 0; i < 256; ++i) {
        bytes += static_cast<char>(i);
    }
    return bytes;
}

TEST_F(EndToEnd, SignsWithTheChosenCertificate) {
    storeAlice();
    const fs::path report = docs() / "report.pdf";
    test::WriteFile(report, DocumentBytes());

    Result r = run({report.string(), "s"}, "1\n");

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("ZARAN Certificates\n1. Alice Example | issued by Quilvane Test Root"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Signature applied successfully.\nFile saved to location:" +
                         report.string() + ".sig\n"),
              std::string::npos)
        << r.out;
    ASSERT_TRUE(fs::exists(report.string() + ".sig"));
    EXPECT_EQ(verifiedContent(report.string() + ".sig"), DocumentBytes());
}

TEST_F(EndToEnd, RelativePathsAreReportedAsGiven) {
    storeAlice();
    test::WriteFile(docs() / "my notes, draft.txt", "hello\n");

    Result r = run({"my notes, draft.txt", "s"}, "1\n");

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("File saved to location:my notes, draft.txt.sig\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(verifiedContent(docs() / "my notes, draft.txt.sig"), "hello\n");
}

TEST_F(EndToEnd, CancellingTheChoiceSaysNothingAndWritesNothing) {
    storeAlice();
    const fs::path report = docs() / "report.pdf";
    test::WriteFile(report, "content");

    for (const std::string input : {"\n", ""}) {
        SCOPED_TRACE(input.empty() ? "end of input" : "empty line");
        Result r = run({report.string(), "s"}, input);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        // The output ends with the unanswered prompt: no message follows.
        EXPECT_TRUE(r.out.ends_with("Certificate number (empty to cancel): \n")) << r.out;
        EXPECT_FALSE(fs::exists(report.string() + ".sig"));
    }
}

TEST_F(EndToEnd, MissingDocumentIsAnErrorBeforeAnyChoice) {
    storeAlice();
    const fs::path missing = docs() / "absent.pdf";

    Result r = run({missing.string(), "s"}, "1\n");

    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("VB Error found:")) << r.err;
    EXPECT_NE(r.err.find(missing.string()), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "the certificate list is never shown";
    EXPECT_FALSE(fs::exists(missing.string() + ".sig"));
}

TEST_F(EndToEnd, VerifiesReportsTheSignerAndGivesTheDocumentBack) {
    storeAlice();
    const fs::path report = docs() / "report.pdf";
    test::WriteFile(report, DocumentBytes());
    sign(report);
    fs::remove(report);

    Result r = run({report.string() + ".sig", "v"}, "n\n");

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Verification complete. Document is untampered."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Name: Alice Example ==> Signed On: "), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("The file is decoded and stored at the following location:\n" +
                                report.string() + "\nDo you want to view this file now? [y/N] n\n"))
        << r.out;
    EXPECT_EQ(test::ReadFile(report), DocumentBytes());

    // A lone path verifies too, and then ends with the verification's status.
    Result lone = run({report.string() + ".sig"}, "n\n");
    EXPECT_EQ(lone.status, 0) << lone.err;
    EXPECT_NE(lone.out.find("Verification complete."), std::string::npos) << lone.out;
}

TEST_F(EndToEnd, TamperedSignatureFailsVerification) {
    storeAlice();
    const fs::path report = docs() / "report.txt";
    test::WriteFile(report, "The amount is 100 pounds.");
    sign(report);
    std::string message = test::ReadFile(report.string() + ".sig");
    const std::size_t at = message.find("amount is 100");
    ASSERT_NE(at, std::string::npos);
    message[at + 10] = '9';
    test::WriteFile(report.string() + ".sig", message);
    fs::remove(report);

    Result r = run({report.string() + ".sig", "v"}, "y\n");

    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.out.find("untampered"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(report));
}

TEST_F(EndToEnd, CoSignsInPlace) {
    storeAlice();
    const auto& bob = test::SharedPki::get().bob;
    store_.add({bob.cert, bob.key});
    // Co-signing checks the earlier signer's chain up to a trusted root.
    fs::copy_file(test::SharedPki::get().pki.root().cert, store_.root() / "root.pem");
    const fs::path report = docs() / "report.pdf";
    test::WriteFile(report, DocumentBytes());
    sign(report);
    const fs::path signedFile = report.string() + ".sig";

    // Two certificates now: pick the one that is not Alice's.
    Result listing = run({signedFile.string(), "c"}, "");
    const std::size_t bobLine = listing.out.find(". Bob Example |");
    ASSERT_NE(bobLine, std::string::npos) << listing.out << listing.err;
    const std::string bobNumber = listing.out.substr(
        listing.out.rfind('\n', bobLine) + 1, bobLine - listing.out.rfind('\n', bobLine) - 1);

    Result r = run({signedFile.string(), "c"}, bobNumber + "\n");

    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(verifiedContent(signedFile), DocumentBytes());
    const std::string printed =
        test::Run("openssl cms -cmsout -print -inform DER -in " + Quote(signedFile.string()));
    std::size_t signerInfos = 0;
    for (std::size_t pos = printed.find("signatureAlgorithm:"); pos != std::string::npos;
         pos = printed.find("signatureAlgorithm:", pos + 1)) {
        ++signerInfos;
    }
    EXPECT_EQ(signerInfos, 2u) << printed;
}

TEST_F(EndToEnd, PassphraseIsReadFromInputWithoutATerminal) {
    const auto& alice = test::SharedPki::get().alice;
    const fs::path locked = dir_ / "alice-locked.key";
    test::Run("openssl pkey -in " + Quote(alice.key.string()) +
              " -aes256 -passout pass:correct-horse -out " + Quote(locked.string()));
    store_.add({alice.cert, locked});
    const fs::path report = docs() / "report.pdf";
    test::WriteFile(report, "locked content");

    Result r = run({report.string(), "s"}, "1\ncorrect-horse\n");

    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("alice-locked.key"), std::string::npos) << "the prompt names the key";
    EXPECT_EQ(verifiedContent(report.string() + ".sig"), "locked content");
}

TEST_F(EndToEnd, CommandLineForms) {
    Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: quilvane")) << help.out;
    EXPECT_EQ(help.err, "");

    Result version = run({"--version", "s"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("Quilvane ")) << version.out;

    // Neither needs a display, even where one is named but cannot be reached.
    Result helpWithDisplay = run({"--help"}, "", {"DISPLAY=:9999", "WAYLAND_DISPLAY=none-here"});
    EXPECT_EQ(helpWithDisplay.status, 0);
    EXPECT_EQ(helpWithDisplay.out, help.out);

    Result unknown = run({"--frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_NE(unknown.err.find("--frobnicate"), std::string::npos) << unknown.err;
    EXPECT_NE(unknown.err.find("Usage: "), std::string::npos) << unknown.err;

    Result nothing = run({});
    EXPECT_EQ(nothing.status, 2);
    EXPECT_NE(nothing.err.find("Usage: "), std::string::npos) << nothing.err;

    // An unknown letter ends silently, without touching the file.
    test::WriteFile(docs() / "report.pdf", "content");
    Result letter = run({"report.pdf", "S"}, "1\n");
    EXPECT_EQ(letter.status, 2);
    EXPECT_EQ(letter.out, "");
    EXPECT_EQ(letter.err, "");
    EXPECT_FALSE(fs::exists(docs() / "report.pdf.sig"));

    // The same with a display: the window is made but never shown, and the
    // program ends just the same.
    Result windowed = run({"report.pdf", "x"}, "", {"DISPLAY=:9999", "QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(windowed.status, 2) << windowed.err;
    EXPECT_EQ(windowed.out, "");
    EXPECT_FALSE(fs::exists(docs() / "report.pdf.sig"));
}

TEST_F(EndToEnd, FileNamedLikeAnOptionIsGivenWithItsFolder) {
    storeAlice();
    test::WriteFile(docs() / "--help", "not an option");

    Result r = run({"./--help", "s"}, "1\n");

    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(verifiedContent(docs() / "--help.sig"), "not an option");
}

}  // namespace
}  // namespace quilvane
