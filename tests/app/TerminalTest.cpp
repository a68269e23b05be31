// The terminal mode: its user interface on string streams and on a
// pseudo-terminal, and opening a document through GIO on a desktop made up in
// temporary XDG folders.

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "app/AppTestSupport.h"
#include "app/OpenDocument.h"
#include "app/TerminalUserInterface.h"

namespace quilvane::test {

struct Terminal {
    std::istringstream in;
    std::ostringstream out, err;
    TerminalUserInterface ui;

    explicit Terminal(const std::string& input) : in(input), ui(in, out, err) {}
};

// Messages go to the output or the error stream by their icon, with CR LF as
// LF; answers, passphrases and picks take a line of input.
TEST(TerminalUserInterface, ShowsMessagesAndTakesALineOfInputForEachAnswer) {
    // Messages, passphrases and a question on one terminal; without a real
    // terminal, a passphrase is a line of input as it is.
    Terminal t("  secret with spaces \n\ny\n");
    t.ui.message("Signature applied.\r\n\r\nSaved to:\r/a b.sig", Icon::Information);
    t.ui.message("plain", Icon::None);
    t.ui.message("VB Error found:Cannot read \"x\".", Icon::Critical);
    t.ui.message("careful\r\nnow", Icon::Exclamation);
    EXPECT_EQ(Passphrase(t.ui, "Passphrase for \"alice.key\""), "  secret with spaces ");
    EXPECT_EQ(Passphrase(t.ui, "Again:"), "");  // an empty line is an empty passphrase
    // A question's note stands between its text and the prompt.
    EXPECT_TRUE(t.ui.ask("Open?", {"Kept as \"a~\".", ""}));
    EXPECT_EQ(Passphrase(t.ui, "Again:"), std::nullopt);  // the end of input cancels
    // A lone CR stays.
    EXPECT_EQ(t.out.str(),
              "Signature applied.\n\nSaved to:\r/a b.sig\nplain\nPassphrase for \"alice.key\": "
              "Again: Open?\nKept as \"a~\". [y/N] Again: ");
    EXPECT_EQ(t.err.str(), "VB Error found:Cannot read \"x\".\ncareful\nnow\n");
    // Yes in any case with spaces around it, on the last line too; anything
    // else, or the end of input, is no.
    Terminal q("y\nYeS\n yes \ny\r\nn\n\nyess\ny");
    for (int i = 0; bool yes : {true, true, true, true, false, false, false, true, false}) {
        EXPECT_EQ(q.ui.ask("Open?"), yes) << "answer " << i++;
    }

    // The pick list takes a row number and asks again for anything else.
    const std::vector<CertificateRow> rows = {{"A", "R", "1/2/30", ""}, {"B", "C", "", ""}};
    Terminal pick("0\n3\n-1\n 2 \n");
    EXPECT_EQ(pick.ui.pickCertificate("Certificates", "P", rows), 1u);
    const std::string prompt = "Certificate number (empty to cancel): ";
    const std::string again = prompt + "Please type a number from 1 to 2.\n";
    EXPECT_EQ(pick.out.str(),
              "P\n1. A | issued by R | expires 1/2/30\n2. B | issued by C | expires \n" + again +
                  again + again + prompt);
    // An empty line or the end of input cancels, after wrong answers too.
    for (const std::string input : {"\n", "", "  \n", "7\n\n", "7\nx"}) {
        EXPECT_EQ(Terminal(input).ui.pickCertificate("", "P", rows), std::nullopt) << input;
    }
}

// A piped secret passes through no buffer of the process: the secret and the
// answer after it are read from standard input, and what follows stays unread.
TEST(TerminalUserInterface, ReadsStandardInputNoFurtherThanTheAnswers) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], "s3cret\ny\nleft\n", 14), 14);
    close(pipeFds[1]);
    const pid_t child = fork();
    if (child == 0) {
        // No terminal to ask on, and the answers' echo out of the way.
        const bool alone = setsid() > 0 && dup2(pipeFds[0], STDIN_FILENO) == STDIN_FILENO &&
                           std::freopen("/dev/null", "w", stdout) != nullptr;
        TerminalUserInterface ui = TerminalUserInterface::Standard();
        const bool answered = alone && Passphrase(ui, "P") == "s3cret" && ui.ask("Q");
        char rest[16];
        const ssize_t n = read(STDIN_FILENO, rest, sizeof rest);
        _exit(answered && n == 5 && std::string(rest, 5) == "left\n" ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << "standard input was read ahead, or the answers were lost";
}

// A child process whose terminal is a pseudo-terminal that the test types on
// once the prompt shows.
TEST(TerminalUserInterface, TheTerminalDoesNotShowThePassphrase) {
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        const std::optional<Secret> typed =
            TerminalPassphraseReader()("Passphrase for \"a.key\": ");
        _exit(typed && typed->text() == "s3cret words" ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    std::string screen;
    char buffer[256];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) {  // until the child is gone
        screen.append(buffer, static_cast<std::size_t>(n));
        if (screen.ends_with("Passphrase for \"a.key\": ")) {
            ASSERT_EQ(write(master, "s3cret words\n", 13), 13);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(master);
    EXPECT_EQ(status, 0) << "the child did not read the passphrase";
    EXPECT_EQ(screen.find("s3cret"), std::string::npos) << screen;
}

// A MIME database that knows one made-up type, and an application for it.
// GIO reads those folders once per process, so each call runs in a child.
TEST(OpenDocument, StartsTheApplicationOrGivesTheReasonWhyNot) {
    TempDir dir;
    const fs::path docs = dir / "docs", home = dir / "home", opener = dir / "opener";
    test::Run("cd " + Quote(dir.path().string()) + " && mkdir mime applications home docs");
    WriteFile(dir / "mime/globs2", "50:application/x-qv:*.qvtest\n");
    // The application writes its working folder and the path it was given
    // next to itself, in opener.out.
    WriteFile(opener, "#!/bin/sh\npwd -P >$0.part; echo \"$1\" >>$0.part; mv $0.part $0.out\n");
    WriteFile(
        dir / "applications/opener.desktop",
        "[Desktop Entry]\nType=Application\nName=O\nMimeType=application/x-qv;\nExec=/bin/sh " +
            opener.string() + " %f\n");
    // The index update-desktop-database keeps, through which GIO finds it.
    WriteFile(dir / "applications/mimeinfo.cache",
              "[MIME Cache]\napplication/x-qv=opener.desktop;\n");

    // OpenDocument(`name`) in a child working in the docs folder, on nothing
    // but the folders above.
    const auto open = [&](const std::string& name) {
        const pid_t child = fork();
        if (child == 0) {
            for (const char* v : {"HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"}) {
                setenv(v, home.c_str(), 1);
            }
            setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
            _exit(chdir(docs.c_str()) == 0 ? OpenDocument(name) : 99);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    WriteFile(docs / "blob", std::string("\x01\x02\x00\xff", 4));
    EXPECT_EQ(open("blob"), 31);  // no application for its type
    EXPECT_EQ(open("absent.qvtest"), 2);
    EXPECT_EQ(open("blob/a.qvtest"), 3);  // a file where a folder should be
    EXPECT_FALSE(fs::exists(dir / "opener.out"));

    const std::string name = "caf\xE9, \"quoted\" it's.qvtest";  // relative to the docs folder
    WriteFile(docs / name, "content");
    EXPECT_EQ(open(name), 42);
    for (int i = 0; i < 200 && !fs::exists(dir / "opener.out"); ++i) {
        usleep(50000);
    }
    EXPECT_EQ(ReadFile(dir / "opener.out"), fs::canonical(home).string() + "\n" +
                                                fs::canonical(docs).string() + "/" + name + "\n")
        << "the application did not start";
}

}  // namespace quilvane::test
