// The terminal mode's user interface, on string streams: what it prints where,
// and how it reads answers, choices and passphrases.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/TerminalUserInterface.h"

namespace quilvane {
namespace {

struct Terminal {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    TerminalUserInterface ui;

    explicit Terminal(const std::string& input, PassphraseReader reader = {})
        : in(input), ui(in, out, err, std::move(reader)) {}
};

const std::vector<CertificateRow> kRows = {
    {"Alice Example", "Quilvane Test Root", "12/31/2030", "alice.pem"},
    {"Bob Example", "Other CA", "01/15/2029", "bob.p12"},
};

TEST(TerminalMessages, GoToStandardOutputOrErrorByIcon) {
    Terminal t("");
    t.ui.message("Signature applied successfully.\r\nFile saved to location:/tmp/a b.sig",
                 Icon::Information);
    t.ui.message("plain", Icon::None);
    t.ui.message("VB Error found:Cannot read \"x\": No such file or directory.", Icon::Critical);
    t.ui.message("careful\r\nnow", Icon::Exclamation);

    EXPECT_EQ(t.out.str(),
              "Signature applied successfully.\nFile saved to location:/tmp/a b.sig\nplain\n");
    EXPECT_EQ(t.err.str(),
              "VB Error found:Cannot read \"x\": No such file or directory.\ncareful\nnow\n");
}

TEST(TerminalMessages, OnlyCarriageReturnLineFeedPairsBecomeLineFeeds) {
    Terminal t("");
    t.ui.message("a\rb\nc\r\n\r\nd\r", Icon::None);
    EXPECT_EQ(t.out.str(), "a\rb\nc\n\nd\r\n");
}

TEST(TerminalQuestions, YesOnlyForYOrYesInAnyCase) {
    struct Case {
        std::string input;
        bool yes;
    };
    const std::vector<Case> cases = {
        {"y\n", true},     {"Y\n", true},   {"yes\n", true}, {"YeS\n", true}, {" yes \n", true},
        {"y\r\n", true},   {"y", true},     {"n\n", false},  {"no\n", false}, {"\n", false},
        {"yess\n", false}, {"ja\n", false}, {"", false},     {"1\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("input \"" + c.input + "\"");
        Terminal t(c.input);
        EXPECT_EQ(t.ui.ask("Open it?"), c.yes);
        EXPECT_EQ(t.out.str(), "Open it? [y/N] ");
    }
}

TEST(TerminalQuestions, EachQuestionReadsOneLine) {
    Terminal t("y\nn\nyes\n");
    EXPECT_TRUE(t.ui.ask("The file is decoded\r\nDo you want to view this file now?"));
    EXPECT_FALSE(t.ui.ask("second"));
    EXPECT_TRUE(t.ui.ask("third"));
    EXPECT_FALSE(t.ui.ask("after the end"));
    EXPECT_EQ(t.out.str(),
              "The file is decoded\nDo you want to view this file now? [y/N] second [y/N] "
              "third [y/N] after the end [y/N] ");
}

TEST(TerminalPickList, ListsEveryCertificateAndTakesItsNumber) {
    Terminal t("2\n");
    EXPECT_EQ(t.ui.pickCertificate("Certificates", "ZARAN Certificates", kRows), 1u);
    EXPECT_EQ(t.out.str(),
              "ZARAN Certificates\n"
              "1. Alice Example | issued by Quilvane Test Root | expires 12/31/2030\n"
              "2. Bob Example | issued by Other CA | expires 01/15/2029\n"
              "Certificate number (empty to cancel): ");
    EXPECT_EQ(t.err.str(), "");
}

TEST(TerminalPickList, EmptyLineOrEndOfInputCancels) {
    for (const std::string input : {"\n", "", "  \n", "\r\n"}) {
        SCOPED_TRACE("input \"" + input + "\"");
        Terminal t(input);
        EXPECT_EQ(t.ui.pickCertificate("Certificates", "Pick", kRows), std::nullopt);
    }
}

TEST(TerminalPickList, AnyOtherAnswerAsksAgain) {
    Terminal t("0\n3\nfirst\n1.\n-1\n 1 \n");
    EXPECT_EQ(t.ui.pickCertificate("Certificates", "Pick", kRows), 0u);
    const std::string out = t.out.str();
    std::size_t asked = 0;
    for (std::size_t at = out.find("Certificate number"); at != std::string::npos;
         at = out.find("Certificate number", at + 1)) {
        ++asked;
    }
    EXPECT_EQ(asked, 6u) << out;
    EXPECT_NE(out.find("Please type a number from 1 to 2."), std::string::npos) << out;

    // Giving up after wrong answers still cancels.
    Terminal giveUp("7\n\n");
    EXPECT_EQ(giveUp.ui.pickCertificate("Certificates", "Pick", kRows), std::nullopt);
    Terminal runOut("7\nx");
    EXPECT_EQ(runOut.ui.pickCertificate("Certificates", "Pick", kRows), std::nullopt);
}

TEST(TerminalPickList, AnEmptyListCanOnlyBeCancelled) {
    Terminal t("1\n");
    EXPECT_EQ(t.ui.pickCertificate("Certificates", "Pick", {}), std::nullopt);
    // Nothing was read: the next answer is still there.
    EXPECT_TRUE(t.ui.ask("next") == false);
    EXPECT_NE(t.out.str().find("(no certificates)"), std::string::npos);
}

TEST(TerminalPassphrase, WithoutATerminalOneLineOfInputIsThePassphrase) {
    Terminal t("  secret with spaces \nnext\n");
    EXPECT_EQ(t.ui.passphrase("Passphrase for \"alice.key\""), "  secret with spaces ");
    EXPECT_EQ(t.out.str(), "Passphrase for \"alice.key\": ");
    EXPECT_EQ(t.ui.passphrase("Again:"), "next");

    Terminal empty("\n");
    EXPECT_EQ(empty.ui.passphrase("p"), "") << "an empty line is an empty passphrase";
    Terminal ended("");
    EXPECT_EQ(ended.ui.passphrase("p"), std::nullopt) << "the end of input cancels";
}

TEST(TerminalPassphrase, WithATerminalTheReaderIsAskedAndInputIsLeftAlone) {
    std::vector<std::string> prompts;
    Terminal t("y\n", [&prompts](const std::string& prompt) -> std::optional<std::string> {
        prompts.push_back(prompt);
        return prompts.size() == 1 ? std::optional<std::string>("hunter2") : std::nullopt;
    });
    EXPECT_EQ(t.ui.passphrase("Passphrase for \"bob.p12\""), "hunter2");
    EXPECT_EQ(t.ui.passphrase("Passphrase for \"bob.p12\""), std::nullopt);
    EXPECT_EQ(prompts, (std::vector<std::string>{"Passphrase for \"bob.p12\"",
                                                 "Passphrase for \"bob.p12\""}));
    EXPECT_EQ(t.out.str(), "");
    EXPECT_TRUE(t.ui.ask("still there?"));
}

// A pseudo-terminal that becomes the controlling terminal of a child process,
// which asks for a passphrase on it while the test types.
class PseudoTerminal {
  public:
    PseudoTerminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        slave_ = ptsname(master_);
    }
    ~PseudoTerminal() { close(master_); }

    // Runs the terminal reader in a child whose only terminal is this one;
    // standard input is not a terminal there.
    void start() {
        if (pipe(result_) != 0) {
            throw std::runtime_error("pipe failed");
        }
        child_ = fork();
        if (child_ == 0) {
            setsid();
            // The first terminal a session leader opens becomes its own.
            const int tty = open(slave_.c_str(), O_RDWR);
            const int none = open("/dev/null", O_RDONLY);
            if (tty < 0 || none < 0 || dup2(none, STDIN_FILENO) < 0) {
                _exit(3);
            }
            PassphraseReader reader = TerminalPassphraseReader();
            if (!reader) {
                _exit(4);
            }
            std::optional<std::string> answer = reader("Passphrase for \"alice.key\"");
            if (answer) {
                (void)!write(result_[1], answer->data(), answer->size());
            }
            _exit(answer ? 0 : 1);
        }
        close(result_[1]);
    }

    // Reads what the child wrote on the terminal until `text` has appeared.
    void waitFor(const std::string& text) {
        while (screen_.find(text) == std::string::npos && readScreen()) {
        }
    }
    void type(const std::string& keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Waits for the child; returns its exit status and what it read.
    int finish(std::string& answer) {
        char buffer[256];
        ssize_t n = 0;
        while ((n = read(result_[0], buffer, sizeof buffer)) > 0) {
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        close(result_[0]);
        int status = 0;
        waitpid(child_, &status, 0);
        while (readScreen()) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& screen() const { return screen_; }

  private:
    bool readScreen() {
        pollfd ready = {master_, POLLIN, 0};
        if (poll(&ready, 1, 10000) <= 0) {
            return false;
        }
        char buffer[256];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        screen_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    int master_ = -1;
    std::string slave_;
    int result_[2] = {-1, -1};
    pid_t child_ = -1;
    std::string screen_;
};

TEST(TerminalPassphrase, TheTerminalDoesNotShowWhatIsTyped) {
    PseudoTerminal terminal;
    terminal.start();
    terminal.waitFor("Passphrase for \"alice.key\": ");
    terminal.type("s3cret words\n");
    std::string answer;
    EXPECT_EQ(terminal.finish(answer), 0);
    EXPECT_EQ(answer, "s3cret words");
    EXPECT_EQ(terminal.screen().find("s3cret"), std::string::npos) << terminal.screen();
}

TEST(TerminalPassphrase, EndOfInputOnTheTerminalCancels) {
    PseudoTerminal terminal;
    terminal.start();
    terminal.waitFor("Passphrase for \"alice.key\": ");
    terminal.type("\x04");  // Ctrl-D on an empty line
    std::string answer;
    EXPECT_EQ(terminal.finish(answer), 1);
    EXPECT_EQ(answer, "");
}

}  // namespace
}  // namespace quilvane
