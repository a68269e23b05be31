// The window mode: the main window's controls as laid out, its shared file
// dialog and the commands' routing to the operations; then the Qt user
// interface's message boxes, question, certificate pick list and passphrase
// dialog, each answered as a person would.

#include "app/AppTestSupport.h"
#include "app/MainWindow.h"
#include "app/QtUserInterface.h"

namespace quilvane::test {
namespace {

class MainWindowTest : public ::testing::Test {
  protected:
    template <typename T = QWidget>
    T* find(const char* name) {
        return window.findChild<T*>(name);
    }
    QLineEdit* box(const char* name) { return find<QLineEdit>(name); }
    template <typename... Names>
    void click(Names... names) {
        (find<QPushButton>(names)->click(), ...);
    }

    // Clicks `button` and answers the shared file dialog: types `file` and
    // confirms, or cancels when `file` is empty.
    void browse(const char* button, const QString& file = {}) {
        const auto answer = [&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_EQ(dialog, find<QFileDialog>("dlgBrowse"));
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(file);
            // QFileDialog's own accept() checks the typed name.
            file.isEmpty() ? dialog->reject() : static_cast<QDialog*>(dialog)->accept();
        };
        EXPECT_TRUE(Answering(answer, [&] { click(button); })) << button;
    }

    Recorder recorder;
    ScriptedUserInterface ui;
    frmMain window{recorder.operations(), &ui};
};

TEST_F(MainWindowTest, ControlsStandAsLaidOutAndTakeTheFocusInOrder) {
    // In pixels; on a tab, from the tab control's top-left corner. The
    // controls that take the focus come first, in the order they take it.
    const struct {
        const char* name;
        const char* caption;  // null: checked on its own
        QRect rect;
        int tab;  // -1: on the window itself
    } layout[] = {
        {"sstMain", "", {8, 15, 361, 185}, -1},
        {"cmdClose", "Clos&e", {152, 208, 81, 25}, -1},
        {"txtSignFile", "", {72, 76, 241, 25}, 0},
        {"cmdBrowse", "...", {312, 76, 33, 25}, 0},
        {"cmdSign", "&Sign", {144, 124, 81, 25}, 0},
        {"cmdBrowseSign", "...", {312, 76, 33, 25}, 2},
        {"txtSignature", "", {72, 76, 241, 25}, 2},
        {"cmdVerify", "&Verify and Show", {144, 124, 105, 25}, 2},
        {"cmdCoSign", "&Co-Sign", {144, 124, 81, 25}, 1},
        {"cmdBrowseCoSign", "...", {312, 76, 33, 25}, 1},
        {"txtFileCoSign", "", {72, 76, 241, 25}, 1},
        {"chkEncrypt", "Encrypt File", {232, 124, 97, 25}, 0},
        {"chkDecrypt", "Decrypt File", {256, 124, 81, 25}, 2},
        {"Label2", nullptr, {8, 239, 369, 17}, -1},
        {"Label1", "Select File:", {16, 84, 52, 13}, 0},
        {"Label4", "Select File:", {16, 84, 52, 13}, 1},
        {"Label3", "Select File:", {16, 84, 52, 13}, 2},
        {"Image1", "", {16, 40, 39, 43}, 3},
        {"Label5", "Quilvane", {112, 40, 78, 16}, 3},
        {"Label6", "Version 1.00", {112, 65, 60, 13}, 3},
        {"Label7", nullptr, {112, 88, 116, 13}, 3},
    };
    EXPECT_EQ(window.windowTitle(), "ZARAN Quilvane");
    EXPECT_TRUE(window.minimumSize() == QSize(379, 256) && window.maximumSize() == QSize(379, 256));
    auto* sst = find<QTabWidget>("sstMain");
    EXPECT_EQ((QStringList{sst->tabText(0), sst->tabText(1), sst->tabText(2), sst->tabText(3)}),
              (QStringList{"Sign", "&Co-Sign", "&Verify", "About"}));
    EXPECT_TRUE(find<QLabel>("Label2")->text().contains(
        QRegularExpression("^ZARAN Quilvane v1\\.00 {51}\\S")));
    window.show();
    QStringList order;
    for (int tab = 0; tab < 4; ++tab) {
        sst->setCurrentIndex(tab);
        QCoreApplication::processEvents();
        for (const auto& p : layout) {
            SCOPED_TRACE(std::string(p.name) + " with tab " + std::to_string(tab) + " in front");
            QWidget* w = find(p.name);
            ASSERT_NE(w, nullptr);
            const QString caption = w->property("text").toString();
            EXPECT_TRUE(p.caption == nullptr || caption == p.caption) << caption.toStdString();
            EXPECT_EQ(w->font().families().value(0), "Tahoma");
            EXPECT_EQ(w->font().pointSizeF(), w == find("Label5") ? 9.75 : 8.25);
            EXPECT_EQ(w->font().bold(), w == find("Label5")) << "only the title is bold";
            // Only the front tab's controls show, and never the check boxes.
            const bool front = p.tab < 0 || p.tab == tab;
            EXPECT_EQ(w->isVisible(), front && !w->inherits("QCheckBox"));
            EXPECT_EQ(sst->indexOf(w->parentWidget()), p.tab);
            const QPoint origin = p.tab < 0 ? QPoint() : sst->pos();
            if (front) {
                EXPECT_EQ(QRect(w->mapTo(&window, QPoint()) - origin, w->size()), p.rect);
            }
            if (tab == 0 && w->focusPolicy() != Qt::NoFocus) {
                order << p.name;  // the labels never take the focus
            }
        }
    }
    // The tab control takes the focus through its tab bar.
    QWidget* start = sst->findChild<QTabBar*>();
    QStringList seen{"sstMain"};
    for (QWidget* w = start->nextInFocusChain(); w != start; w = w->nextInFocusChain()) {
        if (order.contains(w->objectName()) && !seen.contains(w->objectName())) {
            seen << w->objectName();
        }
    }
    EXPECT_EQ(order.size(), 13);
    EXPECT_EQ(seen, order);
}

TEST_F(MainWindowTest, BrowseSharesOneDialogAndItsLastConfirmedName) {
    TempDir dir;
    WriteFile(dir / "report.pdf", "%PDF-1.4\n");
    const QString report = QString::fromStdString((dir / "report.pdf").string());
    auto* dialog = find<QFileDialog>("dlgBrowse");
    // A cancel before anything was confirmed empties the box, typed text and all.
    box("txtSignFile")->setText("typed by hand.pdf");
    browse("cmdBrowse");
    EXPECT_EQ(box("txtSignFile")->text(), "");
    EXPECT_EQ(dialog->windowTitle(), "Select File to Sign");
    EXPECT_EQ(dialog->nameFilters(), (QStringList{"PDF(*.pdf)", "Text(*.txt)"}));
    EXPECT_EQ(dialog->selectedNameFilter(), "PDF(*.pdf)");
    EXPECT_EQ(dialog->directory().path(), QDir::homePath());
    browse("cmdBrowse", report);
    EXPECT_EQ(box("txtSignFile")->text(), report);
    // The confirmed name lands in the other tabs' boxes when browsing there is cancelled.
    browse("cmdBrowseSign");
    EXPECT_EQ(box("txtSignature")->text(), report);
    EXPECT_EQ(dialog->nameFilters(), QStringList{"Signature (*.sig)"});
    EXPECT_EQ(dialog->selectedNameFilter(), "Signature (*.sig)");
    browse("cmdBrowseCoSign");
    EXPECT_EQ(box("txtFileCoSign")->text(), report);
}

TEST_F(MainWindowTest, CommandsPassTheirPathsOnAndRefuseOnlyAnExactlyEmptyOne) {
    click("cmdSign", "cmdCoSign", "cmdVerify");  // with every box empty
    const std::string odd = "/docs/r\xc3\xa9sum\xc3\xa9 (1),\"x\".pdf";
    box("txtSignFile")->setText(QString::fromStdString(odd));
    box("txtFileCoSign")->setText("   ");
    box("txtSignature")->setText(" ");
    click("cmdSign", "cmdCoSign", "cmdVerify");
    // Ticked from code, the hidden boxes turn Sign into Envelope and Verify into ReceiveMessage.
    find<QCheckBox>("chkEncrypt")->setChecked(true);
    find<QCheckBox>("chkDecrypt")->setChecked(true);
    click("cmdSign", "cmdCoSign", "cmdVerify");
    EXPECT_EQ(recorder.calls, (Calls{{"SignFile", odd, odd + ".sig"},
                                     {"CoSignContent", "   ", "   "},
                                     {"VerifySig", " "},
                                     {"Envelope", odd, odd + ".sig"},
                                     {"CoSignContent", "   ", "   "},
                                     {"ReceiveMessage", " "}}));
    // Only the empty boxes were refused, each with its warning.
    ASSERT_EQ(ui.messages.size(), 3u);
    for (std::size_t i = 0; const char* subject : {"Sign", "Co-Sign", "Verify"}) {
        EXPECT_EQ(ui.messages[i].text, std::string("Please choose a file to ") + subject + ".");
        EXPECT_EQ(ui.messages[i++].icon, Icon::Exclamation);
    }
}

TEST_F(MainWindowTest, CloseEndsTheEventLoop) {
    window.show();
    QTimer::singleShot(0, &window, [this] { click("cmdClose"); });
    // A failure ends the loop too, with a status of its own.
    QTimer::singleShot(30000, &window, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(window.isVisible());
}

TEST(MainWindow, NameFiltersTurnDescriptionPatternPairsIntoQtFilters) {
    // The window's own two filters are checked through its file dialog.
    EXPECT_EQ(NameFilters("Docs|*.doc;*.docx|All|*.*|Pics (PNG)|*.png|Any"),
              (QStringList{"Docs (*.doc *.docx)", "All (*.*)", "Pics (PNG) (*.png)", "Any (*)"}));
    EXPECT_EQ(NameFilters(""), QStringList{});
}

TEST(QtUserInterface, BoxesShowTheTextWithTheirIconAndButtons) {
    const struct {
        std::optional<Icon> icon;  // none: a question
        QMessageBox::Icon shown;
        QMessageBox::StandardButton press;  // NoButton: closed from the title bar, or Escape
    } cases[] = {{Icon::Information, QMessageBox::Information, QMessageBox::Ok},
                 {Icon::Critical, QMessageBox::Critical, QMessageBox::Ok},
                 {Icon::Exclamation, QMessageBox::Warning, QMessageBox::Ok},
                 {Icon::None, QMessageBox::NoIcon, QMessageBox::Ok},
                 {std::nullopt, QMessageBox::Question, QMessageBox::Yes},
                 {std::nullopt, QMessageBox::Question, QMessageBox::No},
                 {std::nullopt, QMessageBox::Question, QMessageBox::NoButton}};
    QtUserInterface ui;
    const std::string text = "Signed by:\r\nAlice <a@example.org>\r\n\r\nJ\xc3\xa9r\xc3\xb4me";
    for (const auto& c : cases) {
        bool yes = false;
        const auto answer = [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), "Quilvane");
            EXPECT_EQ(box->icon(), c.shown);
            // CR LF is a line break; markup and non-ASCII text are shown as they are.
            EXPECT_EQ(box->text(), "Signed by:\nAlice <a@example.org>\n\nJérôme");
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            EXPECT_EQ(box->standardButtons(),
                      c.icon ? QMessageBox::Ok : QMessageBox::Yes | QMessageBox::No);
            c.press == QMessageBox::NoButton ? (void)box->close() : box->button(c.press)->click();
        };
        EXPECT_TRUE(Answering(
            answer, [&] { c.icon ? ui.message(text, *c.icon) : void(yes = ui.ask(text)); }));
        EXPECT_EQ(yes, c.press == QMessageBox::Yes);
    }
}

TEST(QtUserInterface, PickListShowsEveryCertificateAndGivesTheChosenRowOrNothing) {
    const std::vector<CertificateRow> rows = {
        {"Alice Example", "Test Root", "31/12/2030", "/a.pem"},
        {"J\xc3\xa9r\xc3\xb4me", "Other CA", "02/02/2028", "/j\xc3\xa9r\xc3\xb4me.pem"}};
    QtUserInterface ui;
    for (bool confirm : {true, false}) {
        std::optional<std::size_t> chosen = 7;
        const auto answer = [&](QWidget* modal) {
            auto* list = modal->findChild<QTreeWidget*>("certificateList");
            auto* buttons = modal->findChild<QDialogButtonBox*>("buttons");
            ASSERT_TRUE(qobject_cast<CertificateDialog*>(modal) && list && buttons);
            EXPECT_EQ(modal->windowTitle(), "Title");
            EXPECT_EQ(modal->findChild<QLabel*>("prompt")->text(), "Pick");
            QStringList cells;  // the headers, then the rows
            for (int r = -1; r < list->topLevelItemCount(); ++r) {
                for (int c = 0; c < list->columnCount(); ++c) {
                    cells << (r < 0 ? list->headerItem() : list->topLevelItem(r))->text(c);
                }
            }
            EXPECT_EQ(cells.join('|'),
                      "Issued to|Issued by|Expiration date|File|Alice Example|Test Root|31/12/2030|"
                      "/a.pem|Jérôme|Other CA|02/02/2028|/jérôme.pem");
            QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
            EXPECT_FALSE(ok->isEnabled()) << "nothing is chosen yet";
            list->setCurrentItem(list->topLevelItem(1));
            EXPECT_TRUE(ok->isEnabled());
            (confirm ? ok : buttons->button(QDialogButtonBox::Cancel))->click();
        };
        EXPECT_TRUE(Answering(answer, [&] { chosen = ui.pickCertificate("Title", "Pick", rows); }));
        EXPECT_EQ(chosen, confirm ? std::optional<std::size_t>(1) : std::nullopt);
    }
}

TEST(QtUserInterface, PassphraseIsAskedHiddenAndCancelGivesNothing) {
    QtUserInterface ui;
    const std::string typing = "s3cr\xc3\xa9t with spaces ";
    for (bool confirm : {true, false}) {
        std::optional<std::string> typed = "unset";
        const auto answer = [&](QWidget* modal) {
            auto* dialog = qobject_cast<QInputDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->windowTitle(), "Quilvane");
            EXPECT_EQ(dialog->labelText(), "Passphrase for \"a.key\":");
            EXPECT_EQ(dialog->textEchoMode(), QLineEdit::Password);
            dialog->setTextValue(QString::fromStdString(typing));
            confirm ? dialog->accept() : dialog->reject();
        };
        EXPECT_TRUE(Answering(answer, [&] { typed = ui.passphrase("Passphrase for \"a.key\":"); }));
        EXPECT_EQ(typed, confirm ? std::optional(typing) : std::nullopt);
    }
}

}  // namespace
}  // namespace quilvane::test
