#pragma once
// Shared by the app tests: operations that only write down how they were
// called, the QApplication of the window tests, and a way to answer the modal
// dialogs that the code under test opens and waits on.

#include <gtest/gtest.h>

#include <QtWidgets>

#include "app/OperationTable.h"
#include "crypto/Text.h"
#include "support/Raised.h"
#include "support/ScriptedUserInterface.h"
#include "support/TestPki.h"

// Readable failure messages for the Qt texts the tests compare.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace quilvane::test {

using Calls = std::vector<std::string>;

// Operations that write down each call: the operation's name, then its paths,
// separated by "|".
struct Recorder {
    Calls calls;
    Outcome outcome = Outcome::Completed;

    OperationTable operations() {
        auto record = [this](const char* name) {
            return [this, name](UserInterface&, auto... paths) {
                calls.push_back((std::string(name) + ... + ("|" + paths)));
                return outcome;
            };
        };
        const auto batch = [this](UserInterface&, BatchAction action,
                                  const std::vector<std::string>& paths, BatchMessages) {
            std::string call = "RunBatch|" + std::to_string(static_cast<int>(action));
            for (const std::string& path : paths) {
                call += "|" + path;
            }
            calls.push_back(call);
            return outcome;
        };
        const auto report = [this](const std::string& path) {
            calls.push_back("VerifyForReport|" + path);
            FileReport file;
            file.path = path;
            file.outcome = outcome == Outcome::Completed ? FileReport::Outcome::Verified
                                                         : FileReport::Outcome::Refused;
            return file;
        };
        return {record("SignFile"),
                record("VerifySig"),
                record("CoSignContent"),
                record("Envelope"),
                record("ReceiveMessage"),
                batch,
                record("ImportCertificate"),
                record("CreateCertificate"),
                record("TrustCertificate"),
                record("ExportCertificate"),
                report};
    }
};

// Runs the built program on `file` and the shell words `letter` in `folder`
// with `input` on its standard input, in a session of its own (so without a
// terminal to ask passphrases on) and without a display; `before`, words for
// env, may name one or run the program as another user. Returns its standard
// output, then in brackets its standard error and exit status.
inline std::string RunProgram(const fs::path& folder, const std::string& file,
                              const std::string& letter, const std::string& input,
                              const std::string& before = "") {
    const char* binary = std::getenv("QUILVANE_BINARY");  // set by ctest
    TempDir io;
    WriteFile(io / "in", input);
    const std::string status = std::to_string(
        RunStatus("I=" + Quote(io.path().string()) + "; cd " + Quote(folder.string()) +
                  " && timeout -k 5 20 env -u DISPLAY -u WAYLAND_DISPLAY " + before +
                  " setsid -w " + Quote(binary ? binary : "QUILVANE_BINARY-unset") + " " +
                  Quote(file) + " " + letter + " <\"$I/in\" >\"$I/out\" 2>\"$I/err\""));
    return ReadFile(io / "out") + "(" + ReadFile(io / "err") + "exit " + status + ")";
}

// The passphrase that `ui` is given when it asks with `prompt`, as text.
inline std::optional<std::string> Passphrase(UserInterface& ui, const std::string& prompt) {
    std::optional<Secret> answer = ui.secret({SecretRequest::Kind::Passphrase, prompt});
    return answer ? std::optional(answer->text()) : std::nullopt;
}

// One QApplication for the whole test program, offscreen unless the
// environment names another platform.
struct QtEnvironment : ::testing::Environment {
    int argc = 1;
    char* argv[2] = {const_cast<char*>("app_tests"), nullptr};
    std::optional<QApplication> app;

    QtEnvironment() {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        // English texts, whatever the machine's language, and this build's
        // catalogues for the tests that ask for another.
        setenv("LC_ALL", "C.UTF-8", 1);
        unsetenv("LANGUAGE");
        setenv("QUILVANE_LOCALEDIR", QUILVANE_LOCALE_BUILD_DIR, 1);
        UseCatalogues(QUILVANE_LOCALE_BUILD_DIR);
    }
    void SetUp() override { app.emplace(argc, argv); }
    void TearDown() override { app.reset(); }
};
inline auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs `action`, and inside the modal loop it runs hands the first modal
// dialog it shows, which must be a `Dialog`, to `answer`, which must close it.
template <typename Dialog>
void Answer(const std::function<void()>& action, const std::function<void(Dialog*)>& answer) {
    bool answered = false;
    QTimer timer;  // polled, since the dialog only shows inside the code's own loop
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QPointer<QWidget> modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible() && !std::exchange(answered, true)) {
            if (auto* dialog = qobject_cast<Dialog*>(modal)) {
                answer(dialog);
            }
            // Another kind of dialog, or one that an answer which failed half-way
            // left open, is closed so that the test does not wait on it.
            if (modal != nullptr && modal->isVisible()) {
                ADD_FAILURE() << modal->metaObject()->className() << " was left open";
                modal->close();
            }
        }
    });
    timer.start(5);
    action();
    EXPECT_TRUE(answered) << "no dialog showed";
}

}  // namespace quilvane::test
