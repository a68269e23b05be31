// The main window: its controls as laid out, the shared file dialog, and the
// commands' routing to the operations.

#include "app/MainWindow.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <string>
#include <vector>

#include "app/QtTestSupport.h"
#include "support/ScriptedUserInterface.h"
#include "support/TestPki.h"

namespace quilvane::test {
namespace {

// One call of an operation, as the window made it.
struct Call {
    std::string operation;
    std::vector<std::string> paths;
    bool operator==(const Call&) const = default;
};

Operations Recorder(std::vector<Call>& calls) {
    Operations ops;
    ops.SignFile = [&calls](UserInterface&, std::string in, std::string out) {
        calls.push_back({"SignFile", {in, out}});
        return Outcome::Completed;
    };
    ops.VerifySig = [&calls](UserInterface&, std::string file) {
        calls.push_back({"VerifySig", {file}});
        return Outcome::Completed;
    };
    ops.CoSignContent = [&calls](UserInterface&, std::string in, std::string out) {
        calls.push_back({"CoSignContent", {in, out}});
        return Outcome::Completed;
    };
    ops.Envelope = [&calls](UserInterface&, std::string in, std::string out) {
        calls.push_back({"Envelope", {in, out}});
        return Outcome::Failed;
    };
    ops.ReceiveMessage = [&calls](UserInterface&, std::string file) {
        calls.push_back({"ReceiveMessage", {file}});
        return Outcome::Cancelled;
    };
    return ops;
}

class MainWindowTest : public ::testing::Test {
  protected:
    MainWindowTest() : window(Recorder(calls), &ui) {}

    template <typename T = QWidget>
    T* control(const char* name) {
        T* found = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QTabWidget* tabs() { return control<QTabWidget>("sstMain"); }
    QLineEdit* text(const char* name) { return control<QLineEdit>(name); }
    QCheckBox* check(const char* name) { return control<QCheckBox>(name); }
    void click(const char* name) { control<QPushButton>(name)->click(); }
    void showOn(int tab) {
        window.show();
        tabs()->setCurrentIndex(tab);
        QCoreApplication::processEvents();
    }

    std::vector<Call> calls;
    ScriptedUserInterface ui;
    frmMain window;
};

// The layout in pixels (twips / 15); controls on a tab are measured from the
// tab control's top-left corner.
struct Placed {
    const char* name;
    const char* kind;
    const char* caption;
    QRect rect;
    int tab;  // -1: on the window itself
};

const Placed kTable[] = {
    {"sstMain", "QTabWidget", "", {8, 15, 361, 185}, -1},
    {"cmdClose", "QPushButton", "Clos&e", {152, 208, 81, 25}, -1},
    {"Label2", "QLabel", nullptr, {8, 239, 369, 17}, -1},
    {"Label1", "QLabel", "Select File:", {16, 84, 52, 13}, 0},
    {"txtSignFile", "QLineEdit", "", {72, 76, 241, 25}, 0},
    {"cmdBrowse", "QPushButton", "...", {312, 76, 33, 25}, 0},
    {"cmdSign", "QPushButton", "&Sign", {144, 124, 81, 25}, 0},
    {"chkEncrypt", "QCheckBox", "Encrypt File", {232, 124, 97, 25}, 0},
    {"Label4", "QLabel", "Select File:", {16, 84, 52, 13}, 1},
    {"txtFileCoSign", "QLineEdit", "", {72, 76, 241, 25}, 1},
    {"cmdBrowseCoSign", "QPushButton", "...", {312, 76, 33, 25}, 1},
    {"cmdCoSign", "QPushButton", "&Co-Sign", {144, 124, 81, 25}, 1},
    {"Label3", "QLabel", "Select File:", {16, 84, 52, 13}, 2},
    {"txtSignature", "QLineEdit", "", {72, 76, 241, 25}, 2},
    {"cmdBrowseSign", "QPushButton", "...", {312, 76, 33, 25}, 2},
    {"cmdVerify", "QPushButton", "&Verify and Show", {144, 124, 105, 25}, 2},
    {"chkDecrypt", "QCheckBox", "Decrypt File", {256, 124, 81, 25}, 2},
    {"Image1", "QLabel", "", {16, 40, 39, 43}, 3},
    {"Label5", "QLabel", "Quilvane", {112, 40, 78, 16}, 3},
    {"Label6", "QLabel", "Version 1.00", {112, 65, 60, 13}, 3},
    {"Label7", "QLabel", nullptr, {112, 88, 116, 13}, 3},
};

QString Caption(QWidget* w) {
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        return button->text();
    }
    if (auto* label = qobject_cast<QLabel*>(w)) {
        return label->text();
    }
    auto* box = qobject_cast<QLineEdit*>(w);
    return box != nullptr ? box->text() : QString();
}

TEST_F(MainWindowTest, WindowIsFixedCaptionedCentredWithItsIconAndNoMenuOrDefaultButton) {
    EXPECT_EQ(window.windowTitle(), "ZARAN Quilvane");
    EXPECT_EQ(window.minimumSize(), QSize(379, 256));
    EXPECT_EQ(window.maximumSize(), QSize(379, 256));
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window.findChild<QMenuBar*>(), nullptr);
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(47, 51)) && sizes.contains(QSize(16, 16)));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window.geometry().center() - screen.center()).manhattanLength(), 2);
    for (QPushButton* button : window.findChildren<QPushButton*>(QRegularExpression("^cmd"))) {
        EXPECT_FALSE(button->isDefault() || button->autoDefault())
            << button->objectName().toStdString();
    }
}

TEST_F(MainWindowTest, ControlsStandWhereTheTableSaysWithTheirCaptions) {
    QTabWidget* sst = tabs();
    EXPECT_EQ(sst->currentIndex(), 0);
    ASSERT_EQ(sst->count(), 4);
    EXPECT_EQ((QStringList{sst->tabText(0), sst->tabText(1), sst->tabText(2), sst->tabText(3)}),
              (QStringList{"Sign", "&Co-Sign", "&Verify", "About"}));
    for (int tab = 0; tab < 4; ++tab) {
        showOn(tab);
        for (const Placed& p : kTable) {
            QWidget* w = control(p.name);
            ASSERT_NE(w, nullptr);
            EXPECT_TRUE(w->inherits(p.kind)) << p.name;
            if (p.caption != nullptr) {
                EXPECT_EQ(Caption(w), p.caption) << p.name;
            }
            if (p.tab < 0) {
                EXPECT_EQ(w->parentWidget(), &window) << p.name;
                EXPECT_EQ(w->geometry(), p.rect) << p.name;
                continue;
            }
            EXPECT_EQ(sst->indexOf(w->parentWidget()), p.tab) << p.name;
            // Only the front tab's controls show, and never the check boxes.
            const bool hiddenBox = w->inherits("QCheckBox");
            EXPECT_EQ(w->isVisible(), p.tab == tab && !hiddenBox) << p.name << " on tab " << tab;
            if (p.tab == tab) {
                EXPECT_EQ(QRect(w->mapTo(sst, QPoint(0, 0)), w->size()), p.rect) << p.name;
            }
        }
    }
    EXPECT_FALSE(check("chkEncrypt")->isChecked());
    EXPECT_FALSE(check("chkDecrypt")->isChecked());
}

TEST_F(MainWindowTest, FontsAreTahomaAndEveryCaptionFitsItsBox) {
    for (const Placed& p : kTable) {
        QWidget* w = control(p.name);
        const bool title = std::string(p.name) == "Label5";
        EXPECT_EQ(w->font().families().value(0), "Tahoma") << p.name;
        EXPECT_DOUBLE_EQ(w->font().pointSizeF(), title ? 9.75 : 8.25) << p.name;
        EXPECT_EQ(w->font().bold(), title) << p.name;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            const QFontMetrics metrics(label->font());
            EXPECT_LE(metrics.horizontalAdvance(label->text()), label->width()) << p.name;
            EXPECT_LE(metrics.height(), label->height()) << p.name;
        }
    }
    // The footer: name and version, 51 spaces, then a credit, all in plain text.
    const QLabel* footer = control<QLabel>("Label2");
    const QString start = QStringLiteral("ZARAN Quilvane v1.00") + QString(51, QLatin1Char(' '));
    ASSERT_TRUE(footer->text().startsWith(start));
    EXPECT_FALSE(footer->text().mid(start.size()).isEmpty());
    EXPECT_FALSE(footer->text().at(start.size()).isSpace());
    EXPECT_EQ(footer->textFormat(), Qt::PlainText);
    EXPECT_FALSE(control<QLabel>("Label7")->text().trimmed().isEmpty());
    EXPECT_EQ(control<QLabel>("Image1")->pixmap().size(), QSize(39, 43));
}

TEST_F(MainWindowTest, FocusMovesInTheTablesOrder) {
    const QStringList expected{"sstMain",   "cmdClose",        "txtSignFile",   "cmdBrowse",
                               "cmdSign",   "cmdBrowseSign",   "txtSignature",  "cmdVerify",
                               "cmdCoSign", "cmdBrowseCoSign", "txtFileCoSign", "chkEncrypt",
                               "chkDecrypt"};
    // The tab control takes the focus through its tab bar.
    QWidget* start = tabs()->findChild<QTabBar*>();
    QStringList seen{"sstMain"};
    for (QWidget* w = start->nextInFocusChain(); w != start; w = w->nextInFocusChain()) {
        if (expected.contains(w->objectName()) && !seen.contains(w->objectName())) {
            seen << w->objectName();
        }
    }
    EXPECT_EQ(seen, expected);
    for (QLabel* label : window.findChildren<QLabel*>(QRegularExpression("^(Label|Image)"))) {
        EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
    }
}

TEST_F(MainWindowTest, OnlyAnExactlyEmptyPathIsRefusedWithItsWarning) {
    click("cmdSign");
    click("cmdCoSign");
    click("cmdVerify");
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(ui.messages.size(), 3u);
    EXPECT_EQ(ui.messages[0].text, "Please choose a file to Sign.");
    EXPECT_EQ(ui.messages[1].text, "Please choose a file to Co-Sign.");
    EXPECT_EQ(ui.messages[2].text, "Please choose a file to Verify.");
    for (const auto& m : ui.messages) {
        EXPECT_EQ(m.icon, Icon::Exclamation);
    }

    ui.messages.clear();
    const std::string odd = "/docs/r\xc3\xa9sum\xc3\xa9 (1),\"x\".pdf";
    text("txtSignFile")->setText(QString::fromStdString(odd));
    text("txtFileCoSign")->setText("   ");
    text("txtSignature")->setText(" ");
    click("cmdSign");
    click("cmdCoSign");
    click("cmdVerify");
    EXPECT_EQ(calls, (std::vector<Call>{{"SignFile", {odd, odd + ".sig"}},
                                        {"CoSignContent", {"   ", "   "}},
                                        {"VerifySig", {" "}}}));
    EXPECT_TRUE(ui.messages.empty());
    // Nothing is reset after a command.
    EXPECT_EQ(text("txtSignFile")->text().toStdString(), odd);
    EXPECT_EQ(text("txtFileCoSign")->text(), "   ");
}

TEST_F(MainWindowTest, TickedCheckBoxesTurnSignIntoEnvelopeAndVerifyIntoReceive) {
    text("txtSignFile")->setText("a.txt");
    text("txtSignature")->setText("a.txt.sig");
    check("chkEncrypt")->setChecked(true);
    check("chkDecrypt")->setChecked(true);
    click("cmdSign");
    click("cmdVerify");
    EXPECT_TRUE(check("chkEncrypt")->isChecked());
    check("chkEncrypt")->setChecked(false);
    check("chkDecrypt")->setChecked(false);
    click("cmdSign");
    click("cmdVerify");
    EXPECT_EQ(calls, (std::vector<Call>{{"Envelope", {"a.txt", "a.txt.sig"}},
                                        {"ReceiveMessage", {"a.txt.sig"}},
                                        {"SignFile", {"a.txt", "a.txt.sig"}},
                                        {"VerifySig", {"a.txt.sig"}}}));
}

TEST(NameFilters, TurnDescriptionPatternPairsIntoQtFilters) {
    EXPECT_EQ(NameFilters("PDF(*.pdf)|*.pdf|Text(*.txt)|*.txt"),
              (QStringList{"PDF(*.pdf)", "Text(*.txt)"}));
    EXPECT_EQ(NameFilters("Signature (*.sig) | *.sig"), QStringList{"Signature (*.sig)"});
    EXPECT_EQ(NameFilters("Documents|*.doc;*.docx|All files|*.*"),
              (QStringList{"Documents (*.doc *.docx)", "All files (*.*)"}));
    EXPECT_EQ(NameFilters("Pictures (PNG)|*.png"), QStringList{"Pictures (PNG) (*.png)"});
    EXPECT_EQ(NameFilters("Everything"), QStringList{"Everything (*)"});
    EXPECT_EQ(NameFilters(""), QStringList{});
}

// What the shared file dialog showed.
struct DialogSeen {
    QFileDialog* dialog = nullptr;
    QString title, selectedFilter, directory;
    QStringList filters;
};

// Answers the next file dialog: types `file` and confirms, or cancels when it is empty.
ModalAnswer AnswerBrowse(DialogSeen& seen, const QString& file) {
    return ModalAnswer([&seen, file](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr) << modal->metaObject()->className();
        ASSERT_EQ(dialog->objectName(), "dlgBrowse");
        seen = {dialog, dialog->windowTitle(), dialog->selectedNameFilter(),
                dialog->directory().path(), dialog->nameFilters()};
        if (file.isEmpty()) {
            dialog->reject();
            return;
        }
        auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText(file);
        // accept() checks the typed name; QFileDialog makes it protected.
        static_cast<QDialog*>(dialog)->accept();
    });
}

TEST_F(MainWindowTest, BrowseSharesOneDialogAndItsLastConfirmedName) {
    TempDir dir;
    WriteFile(dir / "report.pdf", "%PDF-1.4\n");
    const QString report = QString::fromStdString((dir / "report.pdf").string());
    showOn(0);

    // A cancel before anything was confirmed empties the box, typed text and all.
    text("txtSignFile")->setText("typed by hand.pdf");
    DialogSeen first, second, third;
    {
        ModalAnswer answer = AnswerBrowse(first, "");
        click("cmdBrowse");
        ASSERT_TRUE(answer.answered());
    }
    EXPECT_EQ(text("txtSignFile")->text(), "");
    EXPECT_EQ(first.title, "Select File to Sign");
    EXPECT_EQ(first.filters, (QStringList{"PDF(*.pdf)", "Text(*.txt)"}));
    EXPECT_EQ(first.selectedFilter, "PDF(*.pdf)");
    EXPECT_EQ(QDir(first.directory), QDir::home());
    EXPECT_TRUE(first.dialog->isModal());

    // A file confirmed on the Sign tab lands in the Verify tab's box when
    // browsing there is cancelled.
    {
        ModalAnswer answer = AnswerBrowse(second, report);
        click("cmdBrowse");
        ASSERT_TRUE(answer.answered());
    }
    EXPECT_EQ(text("txtSignFile")->text(), report);
    showOn(2);
    {
        ModalAnswer answer = AnswerBrowse(third, "");
        click("cmdBrowseSign");
        ASSERT_TRUE(answer.answered());
    }
    EXPECT_EQ(text("txtSignature")->text(), report);
    EXPECT_EQ(third.dialog, first.dialog);
    EXPECT_EQ(third.title, "Select File to Sign");
    EXPECT_EQ(third.filters, QStringList{"Signature (*.sig)"});
    EXPECT_EQ(third.selectedFilter, "Signature (*.sig)");

    // The Co-Sign tab shares the name too, and the path reaches the operation.
    showOn(1);
    {
        ModalAnswer answer = AnswerBrowse(third, "");
        click("cmdBrowseCoSign");
        ASSERT_TRUE(answer.answered());
    }
    EXPECT_EQ(third.filters, QStringList{"Signature (*.sig)"});
    click("cmdCoSign");
    const std::string path = (dir / "report.pdf").string();
    EXPECT_EQ(calls, (std::vector<Call>{{"CoSignContent", {path, path}}}));
}

TEST(MainWindowOwnInterface, WarningsAppearInQtBoxesOverTheWindow) {
    std::vector<Call> calls;
    frmMain window(Recorder(calls));
    window.show();
    QMessageBox* seen = nullptr;
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    ModalAnswer answer([&](QWidget* modal) {
        seen = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(seen, nullptr);
        text = seen->text();
        title = seen->windowTitle();
        icon = seen->icon();
        EXPECT_EQ(seen->parentWidget(), &window);
        seen->button(QMessageBox::Ok)->click();
    });
    window.findChild<QPushButton*>("cmdVerify")->click();
    ASSERT_TRUE(answer.answered());
    EXPECT_EQ(text, "Please choose a file to Verify.");
    EXPECT_EQ(title, "Quilvane");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_TRUE(calls.empty());
}

TEST(MainWindowClose, CloseEndsTheEventLoopAndHidesTheWindow) {
    std::vector<Call> calls;
    ScriptedUserInterface ui;
    frmMain window(Recorder(calls), &ui);
    window.show();
    QTimer::singleShot(0, &window,
                       [&window] { window.findChild<QPushButton*>("cmdClose")->click(); });
    // A guard so that a failure ends the loop too, with a status of its own.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(30000);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace quilvane::test
