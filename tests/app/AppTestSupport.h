#pragma once
// Shared by the app tests: operations that only write down how they were
// called, the QApplication of the window tests, and a way to answer the modal
// dialogs that the code under test opens and waits on.

#include <gtest/gtest.h>

#include <QtWidgets>

#include "app/Operations.h"
#include "support/ScriptedUserInterface.h"
#include "support/TestPki.h"

// Readable failure messages for the Qt values the tests compare.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QRect& r, std::ostream* out) {
    *out << r.x() << ',' << r.y() << ' ' << r.width() << 'x' << r.height();
}

namespace quilvane::test {

using Calls = std::vector<std::vector<std::string>>;

// Operations that write down each call: the operation's name, then its paths.
struct Recorder {
    Calls calls;
    Outcome outcome = Outcome::Completed;

    Operations operations() {
        auto record = [this](const char* name) {
            return [this, name](UserInterface&, auto... paths) {
                calls.push_back({name, paths...});
                return outcome;
            };
        };
        return {record("SignFile"), record("VerifySig"), record("CoSignContent"),
                record("Envelope"), record("ReceiveMessage")};
    }
};

// One QApplication for the whole test program, offscreen unless the
// environment names another platform.
struct QtEnvironment : ::testing::Environment {
    int argc = 1;
    char* argv[2] = {const_cast<char*>("app_tests"), nullptr};
    std::unique_ptr<QApplication> app;

    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app.reset(); }
};
inline ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs `action`, and hands the first modal widget it shows to `answer` inside
// the modal loop the code under test runs. Returns whether one showed.
inline bool Answering(const std::function<void(QWidget*)>& answer,
                      const std::function<void()>& action) {
    bool answered = false;
    QTimer timer;  // polled, since the dialog only shows inside the code's own loop
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QPointer<QWidget> modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible() && !std::exchange(answered, true)) {
            answer(modal);
            // An answer that failed half-way must not leave the test waiting.
            if (modal != nullptr && modal->isVisible()) {
                modal->close();
            }
        }
    });
    timer.start(5);
    action();
    return answered;
}

}  // namespace quilvane::test
