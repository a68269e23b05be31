// The terminal mode: its user interface on string streams and on a
// pseudo-terminal, and opening a document through GIO on a desktop made up in
// temporary XDG folders.

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "app/AppTestSupport.h"
#include "app/OpenDocument.h"
#include "app/TerminalUserInterface.h"

namespace quilvane::test {
namespace {

struct Terminal {
    std::istringstream in;
    std::ostringstream out, err;
    TerminalUserInterface ui;

    explicit Terminal(const std::string& input) : in(input), ui(in, out, err) {}
};

TEST(TerminalUserInterface, MessagesGoToOutputOrErrorByIconWithCrLfAsLf) {
    Terminal t("");
    t.ui.message("Signature applied.\r\n\r\nSaved to:\r/a b.sig", Icon::Information);
    t.ui.message("plain", Icon::None);
    t.ui.message("VB Error found:Cannot read \"x\".", Icon::Critical);
    t.ui.message("careful\r\nnow", Icon::Exclamation);
    // A lone CR stays.
    EXPECT_EQ(t.out.str(), "Signature applied.\n\nSaved to:\r/a b.sig\nplain\n");
    EXPECT_EQ(t.err.str(), "VB Error found:Cannot read \"x\".\ncareful\nnow\n");
}

TEST(TerminalUserInterface, QuestionsAndPassphrasesTakeALineOfInput) {
    for (const std::string yes : {"y\n", "YeS\n", " yes \n", "y\r\n", "y"}) {
        EXPECT_TRUE(Terminal(yes).ui.ask("Open?")) << yes;
    }
    for (const std::string no : {"n\n", "\n", "yess\n", ""}) {
        EXPECT_FALSE(Terminal(no).ui.ask("Open?")) << no;
    }
    // Without a terminal, a passphrase is a line of input as it is.
    Terminal t("  secret with spaces \n\n");
    EXPECT_EQ(t.ui.passphrase("Passphrase for \"alice.key\""), "  secret with spaces ");
    EXPECT_EQ(t.ui.passphrase("Again:"), "");            // an empty line is an empty passphrase
    EXPECT_EQ(t.ui.passphrase("Again:"), std::nullopt);  // the end of input cancels
    EXPECT_EQ(t.out.str(), "Passphrase for \"alice.key\": Again: Again: ");
}

TEST(TerminalUserInterface, PickListTakesARowNumberAndAsksAgainForAnythingElse) {
    const std::vector<CertificateRow> rows = {{"Alice", "R", "1/2/30", ""}, {"Bob", "C", "", ""}};
    Terminal t("0\n3\n-1\n 2 \n");
    EXPECT_EQ(t.ui.pickCertificate("Certificates", "Pick", rows), 1u);
    const std::string prompt = "Certificate number (empty to cancel): ";
    const std::string again = prompt + "Please type a number from 1 to 2.\n";
    const std::string listing =
        "Pick\n1. Alice | issued by R | expires 1/2/30\n2. Bob | issued by C | expires \n";
    EXPECT_EQ(t.out.str(), listing + again + again + again + prompt);
    // An empty line or the end of input cancels, after wrong answers too.
    for (const std::string input : {"\n", "", "  \n", "7\n\n", "7\nx"}) {
        EXPECT_EQ(Terminal(input).ui.pickCertificate("", "Pick", rows), std::nullopt) << input;
    }
}

// A child process whose terminal is a pseudo-terminal that the test types on.
TEST(TerminalUserInterface, TheTerminalDoesNotShowThePassphrase) {
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        _exit(TerminalPassphraseReader()("Passphrase for \"a.key\"") == "s3cret words" ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    std::string screen;
    // Reads what the child writes on the terminal until `text` shows, or it is gone.
    const auto readUntil = [&](const std::string& text) {
        char buffer[256];
        for (ssize_t n = 0; screen.find(text) == std::string::npos &&
                            (n = read(master, buffer, sizeof buffer)) > 0;) {
            screen.append(buffer, static_cast<std::size_t>(n));
        }
    };
    readUntil("Passphrase for \"a.key\": ");
    ASSERT_EQ(write(master, "s3cret words\n", 13), 13);
    readUntil("(the end)");
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
    const fs::path docs = dir / "docs", marker = dir / "marker", opener = dir / "opener";
    for (const char* folder : {"data/mime", "data/applications", "empty", "home", "docs"}) {
        fs::create_directories(dir / folder);
    }
    // Another user may enter, for the call that leaves root's rights behind.
    fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
    const std::string type = "application/x-quilvane-test";
    WriteFile(dir / "data/mime/globs2", "50:" + type + ":*.qvtest\n");
    // The application writes its working folder and the path it was given.
    const std::string part = Quote(marker.string() + ".part");
    WriteFile(opener, "#!/bin/sh\n{ pwd -P; printf '%s\\n' \"$1\"; } > " + part + " && mv " + part +
                          " " + Quote(marker.string()) + "\n");
    fs::permissions(opener, fs::perms::owner_exec, fs::perm_options::add);
    WriteFile(dir / "data/applications/opener.desktop",
              "[Desktop Entry]\nType=Application\nName=Opener\nExec=" + opener.string() +
                  " %f\nMimeType=" + type + ";\n");
    // The index update-desktop-database keeps, through which GIO finds it.
    WriteFile(dir / "data/applications/mimeinfo.cache",
              "[MIME Cache]\n" + type + "=opener.desktop;\n");

    // OpenDocument(`name`) in a child working in the docs folder; as
    // `nobody`, without root's rights, so that file permissions apply.
    const auto open = [&](const std::string& name, bool nobody = false) {
        const pid_t child = fork();
        if (child == 0) {
            for (const auto& [variable, folder] : {std::pair{"XDG_DATA_HOME", "data"},
                                                   {"XDG_DATA_DIRS", "empty"},
                                                   {"XDG_CONFIG_HOME", "empty"},
                                                   {"XDG_CONFIG_DIRS", "empty"},
                                                   {"HOME", "home"}}) {
                setenv(variable, (dir / folder).c_str(), 1);
            }
            const bool user =
                !nobody || geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0);
            _exit(user && chdir(docs.c_str()) == 0 ? OpenDocument(name) : 99);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    WriteFile(docs / "blob", std::string("\x01\x02\x00\xff", 4));
    WriteFile(docs / "secret.qvtest", "x");
    fs::permissions(docs / "secret.qvtest", fs::perms::none);
    EXPECT_EQ(open("blob"), 31);  // no application for its type
    EXPECT_EQ(open("absent.qvtest"), 2);
    EXPECT_EQ(open("no such folder/a.qvtest"), 3);
    EXPECT_EQ(open("blob/a.qvtest"), 3);  // a file where a folder should be
    EXPECT_EQ(open("secret.qvtest", true), 5);
    EXPECT_FALSE(fs::exists(marker));

    const std::string name = "caf\xE9, \"quoted\" it's.qvtest";  // relative to the docs folder
    WriteFile(docs / name, "content");
    EXPECT_EQ(open(name), 42);
    for (int i = 0; i < 200 && !fs::exists(marker); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(fs::exists(marker)) << "the application did not start";
    EXPECT_EQ(ReadFile(marker), fs::canonical(dir / "home").string() + "\n" +
                                    fs::canonical(docs).string() + "/" + name + "\n");
}

}  // namespace
}  // namespace quilvane::test
