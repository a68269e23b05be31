#pragma once
// The QApplication of the window tests, and a way to answer the modal dialogs
// and boxes that the code under test opens and waits on.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>

// Readable failure messages for the Qt values the tests compare.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out) {
    *out << '{';
    for (qsizetype i = 0; i < list.size(); ++i) {
        *out << (i == 0 ? "" : ", ");
        PrintTo(list[i], out);
    }
    *out << '}';
}
inline void PrintTo(const QRect& r, std::ostream* out) {
    *out << r.x() << ',' << r.y() << ' ' << r.width() << 'x' << r.height();
}
inline void PrintTo(const QSize& s, std::ostream* out) {
    *out << s.width() << 'x' << s.height();
}

namespace quilvane::test {

// One QApplication for the whole test program, on Qt's offscreen platform
// unless the environment names another.
class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        if (QCoreApplication::instance() == nullptr) {
            app_ = std::make_unique<QApplication>(argc_, argv_);
        }
    }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[10] = "app_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Waits, inside the modal loop the code under test runs, for a modal widget
// to show, then hands it to `answer` once. Create it just before the action
// that opens the dialog; it stops watching when it goes.
class ModalAnswer {
  public:
    explicit ModalAnswer(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
        // Polled, since the dialog only shows inside the code's own modal loop.
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || !modal->isVisible()) {
                return;
            }
            timer_.stop();
            answered_ = true;
            QPointer<QWidget> shown(modal);
            answer_(modal);
            // An answer that failed half-way must not leave the test waiting.
            if (shown != nullptr && shown->isVisible()) {
                ADD_FAILURE() << "the dialog " << shown->objectName().toStdString()
                              << " was left open";
                if (auto* dialog = qobject_cast<QDialog*>(shown.data())) {
                    dialog->reject();
                }
            }
        });
        timer_.start();
    }

    bool answered() const { return answered_; }

  private:
    std::function<void(QWidget*)> answer_;
    QTimer timer_;
    bool answered_ = false;
};

}  // namespace quilvane::test
