// The window mode: the main window's controls as laid out, its shared file
// dialog and the commands' routing to the operations; then the Qt user
// interface's message boxes, question, certificate pick list and passphrase
// dialog, each answered as a person would.

#include "app/AppTestSupport.h"
#include "app/CertificateDialog.h"
#include "app/CreateCertificateDialog.h"
#include "app/MainWindow.h"
#include "app/QtUserInterface.h"
#include "app/Version.h"
#include "operations/Signing.h"
#include "operations/Streaming.h"

#include <QTest>
#include <chrono>
#include <thread>

namespace quilvane::test {

class MainWindowTest : public ::testing::Test {
  protected:
    template <typename T = QWidget>
    T* find(const char* name) {
        return window.findChild<T*>(name);
    }
    template <typename... Names>
    void click(Names... names) {
        (find<QPushButton>(names)->click(), ...);
    }

    // Clicks `button` and answers the shared file dialog: types `file` and
    // confirms, or cancels when `file` is empty. Returns the text of the box `target`.
    QString browse(const char* button, const char* target, const QString& file = {}) {
        SCOPED_TRACE(button);
        const auto answer = [&](QFileDialog* dialog) {
            EXPECT_EQ(dialog, find<QFileDialog>("dlgBrowse"));
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(file);
            // QFileDialog's own accept(), protected there, checks the typed name.
            file.isEmpty() ? dialog->reject() : static_cast<QDialog*>(dialog)->accept();
        };
        Answer<QFileDialog>([&] { click(button); }, answer);
        return find<QLineEdit>(target)->text();
    }

    Recorder recorder;
    ScriptedUserInterface ui;
    MainWindow window{recorder.operations(), &ui};
};

TEST_F(MainWindowTest, ControlsFitTogetherOnTheirPages) {
    EXPECT_EQ(window.windowTitle(), "ZARAN Quilvane");
    EXPECT_TRUE(window.minimumSize() == QSize(379, 256) && window.maximumSize() == QSize(379, 256));
    auto* sst = find<QTabWidget>("sstMain");
    EXPECT_EQ((QStringList{sst->tabText(0), sst->tabText(1), sst->tabText(2), sst->tabText(3)}),
              (QStringList{"Sign", "&Co-Sign", "&Verify", "About"}));
    EXPECT_EQ(sst->currentIndex(), 0);
    EXPECT_PRED2(Like, find<QLabel>("Label2")->text().toStdString(),
                 "ZARAN Quilvane v" + std::string(kVersion) + std::string(51, ' ') + "[! ]*");
    // What a screen reader says for the fields, the bare "..." and the footer, unpadded.
    QStringList read;
    for (const char* name : {"txtSignFile", "cmdBrowse", "txtFileCoSign", "cmdBrowseCoSign",
                             "txtSignature", "cmdBrowseSign", "Label2"}) {
        read << QAccessible::queryAccessibleInterface(find(name))->text(QAccessible::Name);
    }
    EXPECT_EQ(read, (QStringList{"Select File:", "Browse for the document to sign",
                                 "Select File:", "Browse for the signed file to co-sign",
                                 "Select File:", "Browse for the signed file to verify",
                                 find<QLabel>("Label2")->text().simplified()}));
    window.show();
    const QList<QWidget*> controls =
        window.findChildren<QWidget*>(QRegularExpression("^(sst|cmd|txt|chk|Label|Image)"));
    EXPECT_EQ(controls.size(), 21);
    for (qsizetype i = 0; i < controls.size(); ++i) {
        QWidget* w = controls[i];
        SCOPED_TRACE(w->objectName().toStdString());
        // The check boxes never show, but keep their place; every page takes
        // the place of the one in front.
        EXPECT_EQ(w->isHidden(), w->inherits("QCheckBox"));
        EXPECT_TRUE((w->parentWidget() == &window ? window.rect() : sst->currentWidget()->rect())
                        .contains(w->geometry()));
        // A label's caption is not cut off, nor the picture.
        if (auto* label = qobject_cast<QLabel*>(w)) {
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
            const QSize picture = label->pixmap().size();
            EXPECT_TRUE(picture.width() <= w->width() && picture.height() <= w->height());
        }
        // A shared edge of a pixel, as a text box has with its browse button, is no overlap.
        for (const QWidget* other : controls.first(i)) {
            const QRect shared = other->geometry() & w->geometry();
            EXPECT_TRUE(other->parentWidget() != w->parentWidget() || shared.width() <= 1 ||
                        shared.height() <= 1)
                << "overlaps " << other->objectName().toStdString();
        }
    }
    EXPECT_EQ(find<QLabel>("Image1")->pixmap().size(), QSize(39, 43));
}

TEST_F(MainWindowTest, BrowseSharesOneDialogAndItsLastConfirmedName) {
    const QString file = QCoreApplication::applicationFilePath();  // the dialog takes one that is
    auto* dialog = find<QFileDialog>("dlgBrowse");
    // A cancel before anything was confirmed empties the box, typed text and all.
    find<QLineEdit>("txtSignFile")->setText("typed by hand.pdf");
    EXPECT_EQ(browse("cmdBrowse", "txtSignFile"), "");
    EXPECT_EQ(dialog->windowTitle(), "Select File to Sign");
    EXPECT_EQ(dialog->nameFilters(), (QStringList{"PDF(*.pdf)", "Text(*.txt)"}));
    EXPECT_EQ(dialog->selectedNameFilter(), "PDF(*.pdf)");
    EXPECT_EQ(dialog->directory().path(), QDir::homePath());
    EXPECT_EQ(browse("cmdBrowse", "txtSignFile", file), file);
    // The confirmed name lands in the other tabs' boxes when browsing there is cancelled.
    EXPECT_EQ(browse("cmdBrowseSign", "txtSignature"), file);
    EXPECT_EQ(dialog->nameFilters(), QStringList{"Signature (*.sig)"});
    EXPECT_EQ(browse("cmdBrowseCoSign", "txtFileCoSign"), file);
}

TEST_F(MainWindowTest, CommandsPassTheirPathsOnRefuseOnlyAnExactlyEmptyOneAndClose) {
    click("cmdSign", "cmdCoSign", "cmdVerify");  // with every box empty
    const std::string odd = "/docs/r\xc3\xa9sum\xc3\xa9 (1),\"x\".pdf";
    find<QLineEdit>("txtSignFile")->setText(QString::fromStdString(odd));
    find<QLineEdit>("txtFileCoSign")->setText("   ");
    find<QLineEdit>("txtSignature")->setText(" ");
    click("cmdSign", "cmdCoSign", "cmdVerify");
    // Ticked from code, the hidden boxes turn Sign into Envelope and Verify into ReceiveMessage.
    find<QCheckBox>("chkEncrypt")->setChecked(true);
    find<QCheckBox>("chkDecrypt")->setChecked(true);
    click("cmdSign", "cmdCoSign", "cmdVerify");
    const std::string sign = odd + "|" + odd + ".sig";
    EXPECT_EQ(recorder.calls,
              (Calls{"SignFile|" + sign, "CoSignContent|   |   ", "VerifySig| ", "Envelope|" + sign,
                     "CoSignContent|   |   ", "ReceiveMessage| "}));
    // Only the empty boxes were refused, each with its warning.
    ASSERT_EQ(ui.messages.size(), 3u);
    for (std::size_t i = 0; const char* subject : {"Sign", "Co-Sign", "Verify"}) {
        EXPECT_EQ(ui.messages[i].text, std::string("Please choose a file to ") + subject + ".");
        EXPECT_EQ(ui.messages[i++].icon, Icon::Exclamation);
    }

    // Close ends the event loop; a failure ends it too, with a status of its own.
    window.show();
    QTimer::singleShot(0, &window, [this] { click("cmdClose"); });
    QTimer::singleShot(30000, &window, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(window.isVisible());
}

// An operation's progress lets events through: while it runs, the window
// takes no other command, even a click that slips through.
TEST(MainWindow, TakesNoCommandWhileAnOperationRuns) {
    Recorder recorder;
    ScriptedUserInterface ui;
    OperationTable operations = recorder.operations();
    MainWindow* window = nullptr;
    const auto usable = [&] {  // the commands, and the tabs
        QStringList names;
        for (const char* name : {"cmdSign", "cmdCoSign", "cmdVerify"}) {
            names << (window->findChild<QPushButton*>(name)->isEnabled() ? name : "");
        }
        return names << (window->findChild<QTabWidget*>("sstMain")->tabBar()->isEnabled() ? "tabs"
                                                                                          : "");
    };
    QStringList whileRunning;
    operations.SignFile = [&](UserInterface&, std::string path, std::string) {
        recorder.calls.push_back(path);
        whileRunning << usable();
        if (recorder.calls.size() == 1) {
            emit window->findChild<QPushButton*>("cmdSign")->clicked();
        }
        return Outcome::Completed;
    };
    MainWindow shown(operations, &ui);
    window = &shown;
    shown.findChild<QLineEdit*>("txtSignFile")->setText("a.pdf");
    for (int i = 0; i < 2; ++i) {  // and again once it ended
        shown.findChild<QPushButton*>("cmdSign")->click();
    }
    EXPECT_EQ(recorder.calls, (Calls{"a.pdf", "a.pdf"}));
    EXPECT_EQ(whileRunning.join(""), "");
    EXPECT_EQ(usable(), (QStringList{"cmdSign", "cmdCoSign", "cmdVerify", "tabs"}));
}

// Keys go where a keyboard's would: to the widget with the focus.
void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
           const QString& typed = {}) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr) << "nothing has the focus";
    QTest::keyClicks(focus, typed);
    QTest::keyClick(focus, key, modifiers);
}

struct Keys {  // text typed, then a key pressed
    QString typed;
    Qt::Key key;
};

// Runs `action` and answers each modal dialog it opens, in turn, with the next
// keys. Returns each dialog's kind, what had the focus as it opened and the
// first line it showed.
QStringList AnswerWithKeys(const std::function<void()>& action, const std::vector<Keys>& answers) {
    QStringList seen;
    QPointer<QWidget> answered;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        // A dialog that the keys did not close would hold the test for good.
        if (modal != nullptr && modal == answered && ++ticks > 1000) {
            ADD_FAILURE() << modal->metaObject()->className() << " stayed open";
            modal->close();
        }
        if (modal == nullptr || modal == answered || QApplication::activeWindow() != modal) {
            return;
        }
        answered = modal;
        ticks = 0;
        const QWidget* focus = QApplication::focusWidget();
        auto* box = qobject_cast<QMessageBox*>(modal);
        seen << QStringList{modal->metaObject()->className(),
                            focus ? focus->metaObject()->className() : "",
                            box ? box->text().section('\n', 0, 0) : ""}
                    .join('/');
        if (static_cast<std::size_t>(seen.size()) > answers.size()) {
            modal->close();
            return;
        }
        Press(answers[seen.size() - 1].key, Qt::NoModifier, answers[seen.size() - 1].typed);
    });
    timer.start(5);
    action();
    return seen;
}

// Sign, co-sign and verify with keys alone: a tab's mnemonic, Tab to its field,
// the path typed and Return; the pick list taken with Enter, the passphrase typed.
TEST(MainWindow, SignsCoSignsAndVerifiesWithKeysAlone) {
    TempDir dir;
    StoreHome store(dir / "data");
    SharedPki& shared = SharedPki::get();
    store.add({shared.alice.cert});
    fs::copy_file(shared.pki.root().cert, store.root() / "root.pem");
    Openssl("pkey -aes128 -passout pass:pw -in", shared.alice.key, "-out",
            store.my() / "alice.key");
    const std::string doc = (dir / "a.txt").string();
    WriteFile(doc, "signed with keys alone");
    MainWindow window(OperationTable::Real());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    const auto run = [&](Qt::Key tab, const char* field, const std::string& path,
                         const std::vector<Keys>& answers) {
        // A desktop gives the window the keyboard back once its dialog went;
        // the offscreen platform does not.
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window)) {
            return QStringList{"the window is not active"};
        }
        if (tab != Qt::Key_unknown) {
            Press(tab, Qt::AltModifier);
        }
        for (int i = 0; i < 20 && QApplication::focusWidget()->objectName() != field; ++i) {
            Press(Qt::Key_Tab);
        }
        EXPECT_EQ(QApplication::focusWidget()->objectName(), field);
        QTest::keyClicks(QApplication::focusWidget(), QString::fromStdString(path));
        return AnswerWithKeys([] { Press(Qt::Key_Return); }, answers);
    };
    const Keys enter{"", Qt::Key_Return}, passphrase{"pw", Qt::Key_Return};
    const QString pick = "quilvane::CertificateDialog/QTreeWidget/",
                  typed = "QInputDialog/QLineEdit/", box = "QMessageBox/QPushButton/",
                  verified = box + "Verification complete. Document is untampered.";
    EXPECT_EQ(run(Qt::Key_unknown, "txtSignFile", doc, {enter, passphrase, enter}),
              (QStringList{pick, typed, box + "Signature applied successfully."}));
    // Co-signing shows what it co-signs first.
    EXPECT_EQ(run(Qt::Key_C, "txtFileCoSign", doc + ".sig", {enter, enter, passphrase, enter}),
              (QStringList{verified, pick, typed, box + "Co-Signature applied successfully."}));
    // Escape says No to opening the document.
    EXPECT_EQ(
        run(Qt::Key_V, "txtSignature", doc + ".sig", {enter, {"", Qt::Key_Escape}}),
        (QStringList{verified, box + "The file is decoded and stored at the following location:"}));
    // Signed, then co-signed: two signer-infos.
    EXPECT_EQ(Openssl("cms -cmsout -print -inform DER -in", fs::path(doc + ".sig"),
                      "| grep -c signatureAlgorithm:"),
              "2\n");
}

// The Qt user interface's boxes, pick list and passphrase dialog, each with
// the answers a person can give.
TEST(QtUserInterface, DialogsShowWhatTheyAskAndGiveTheAnswer) {
    // The icon (none: a question), the icon shown and the button pressed
    // (NoButton: closed from the title bar, or Escape).
    const std::tuple<std::optional<Icon>, QMessageBox::Icon, QMessageBox::StandardButton> boxes[] =
        {{Icon::Exclamation, QMessageBox::Warning, QMessageBox::Ok},
         {std::nullopt, QMessageBox::Question, QMessageBox::Yes},
         {std::nullopt, QMessageBox::Question, QMessageBox::NoButton}};
    QtUserInterface ui;
    const std::string text = "Signed by:\r\nAlice <a@example.org>\r\n\r\nJ\xc3\xa9r\xc3\xb4me";
    for (const auto& [icon, shown, press] : boxes) {
        bool yes = false;
        const auto answer = [&](QMessageBox* box) {
            EXPECT_EQ(box->windowTitle(), "Quilvane");
            EXPECT_EQ(box->icon(), shown);
            // CR LF is a line break; markup and non-ASCII text are shown as they are.
            EXPECT_EQ(box->text(), "Signed by:\nAlice <a@example.org>\n\nJérôme");
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            EXPECT_EQ(box->standardButtons(),
                      icon ? QMessageBox::Ok : QMessageBox::Yes | QMessageBox::No);
            // A question's note shows below its text as it is.
            auto* note = box->findChild<QLabel*>("qt_msgbox_informativelabel");
            EXPECT_EQ(note && note->textFormat() == Qt::PlainText ? note->text() : "",
                      icon ? "" : "Kept as \"<b>~\".");
            press == QMessageBox::NoButton ? (void)box->close() : box->button(press)->click();
        };
        Answer<QMessageBox>(
            [&] {
                icon ? ui.message(text, *icon)
                     : void(yes = ui.ask(text, {"Kept as \"<b>~\".", ""}));
            },
            answer);
        EXPECT_EQ(yes, press == QMessageBox::Yes);
    }

    const std::vector<CertificateRow> rows = {
        {"Alice Example", "Test Root", "31/12/2030", "/a.pem"},
        {"J\xc3\xa9r\xc3\xb4me", "Other CA", "02/02/2028", "/j\xc3\xa9r\xc3\xb4me.pem"}};
    const std::string typing = "s3cr\xc3\xa9t with spaces ";
    for (bool confirm : {true, false}) {
        std::optional<std::size_t> chosen = 7;
        const auto pick = [&](CertificateDialog* dialog) {
            auto* list = dialog->findChild<QTreeWidget*>("certificateList");
            auto* buttons = dialog->findChild<QDialogButtonBox*>("buttons");
            ASSERT_TRUE(list && buttons);
            EXPECT_EQ(dialog->windowTitle(), "T");
            EXPECT_EQ(dialog->findChild<QLabel*>("prompt")->text(), "Pick");
            // The prompt names the list for a screen reader.
            EXPECT_EQ(QAccessible::queryAccessibleInterface(list)->text(QAccessible::Name), "Pick");
            EXPECT_EQ(list->topLevelItemCount(), 2);
            EXPECT_EQ(list->topLevelItem(1)->text(3), "/jérôme.pem");
            QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
            // The first row comes chosen, so that Enter takes it.
            EXPECT_TRUE(list->topLevelItem(0)->isSelected() && ok->isEnabled());
            list->setCurrentItem(list->topLevelItem(1));
            (confirm ? ok : buttons->button(QDialogButtonBox::Cancel))->click();
        };
        Answer<CertificateDialog>([&] { chosen = ui.pickCertificate("T", "Pick", rows); }, pick);
        EXPECT_EQ(chosen, confirm ? std::optional<std::size_t>(1) : std::nullopt);

        // The passphrase is typed hidden, and does not stay in the field.
        std::optional<std::string> typed = "unset";
        QString left = "unset";
        const auto type = [&](QInputDialog* dialog) {
            QObject::connect(dialog->findChild<QLineEdit*>(), &QLineEdit::textChanged,
                             [&](const QString& text) { left = text; });
            EXPECT_EQ(dialog->windowTitle(), "Quilvane");
            EXPECT_EQ(dialog->labelText(), "Passphrase for \"a.key\":");
            EXPECT_EQ(dialog->textEchoMode(), QLineEdit::Password);
            dialog->setTextValue(QString::fromStdString(typing));
            confirm ? dialog->accept() : dialog->reject();
        };
        Answer<QInputDialog>([&] { typed = Passphrase(ui, "Passphrase for \"a.key\":"); }, type);
        EXPECT_EQ(typed, confirm ? std::optional(typing) : std::nullopt);
        EXPECT_EQ(left, "");
    }
}

// A verified file's box: the verdict right below the report, and for a signer
// not trusted a Trust… button, which runs what it offers.
TEST(QtUserInterface, AVerifiedFileShowsItsVerdictAndOffersToTrustItsSigner) {
    TempDir dir;
    StoreHome store(dir / "data");  // no root is trusted
    WriteFile(dir / "a.txt", "a");
    OpensslSign(dir / "a.txt", dir / "a.txt.sig", {SharedPki::get().alice});
    QtUserInterface ui;
    const auto answer = [](QMessageBox* box) {
        EXPECT_PRED2(StartsWith, box->text().toStdString(), "Verification complete.");
        EXPECT_PRED2(Like, box->informativeText().toStdString(),
                     "Certificate of Alice Example: *not trusted*");
        auto* trust = box->findChild<QAbstractButton*>("messageAction");
        EXPECT_EQ(trust ? trust->text() : "", "Trust…");
        box->button(QMessageBox::Ok)->click();
    };
    Answer<QMessageBox>([&] { VerifySig(ui, (dir / "a.txt.sig").string(), false); }, answer);

    bool ran = false;
    const MessageNotes notes{"note", "", MessageNotes::Action{"Do…", [&] { ran = true; }}};
    Answer<QMessageBox>(
        [&] { ui.message("text", Icon::Information, notes); },
        [](QMessageBox* box) { box->findChild<QAbstractButton*>("messageAction")->click(); });
    EXPECT_TRUE(ran);
}

// An empty store's dialog says where certificates were looked for and offers
// Import… (a file dialog) and Create… (a form whose OK waits for a name and
// the same passphrase twice).
TEST(QtUserInterface, AnEmptyStoreOffersToImportOrCreateACertificate) {
    QtUserInterface ui;
    const QString file = QCoreApplication::applicationFilePath();
    // The button pressed, and the choice: its kind, path and new certificate.
    using Case = std::pair<std::string, std::string>;
    for (const auto& [button, expected] :
         {Case{"importButton", "1|" + file.toStdString() + "|"},
          Case{"createButton", "2||Ada ada@example.org 1 pw"}, Case{"cancel", "0||"}}) {
        SCOPED_TRACE(button);
        EmptyStoreChoice choice;
        const auto answer = [&](CertificateDialog* dialog) {
            EXPECT_EQ(dialog->windowTitle(), "Certificates");
            EXPECT_PRED2(Like, dialog->findChild<QLabel*>("emptyStore")->text().toStdString(),
                         "You have no certificate to sign with yet. Quilvane looked in:\n    the "
                         "folder /u/My\n    NSS databases: none found\n\nImport *");
            auto* buttons = dialog->findChild<QDialogButtonBox*>("buttons");
            EXPECT_FALSE(buttons->button(QDialogButtonBox::Ok)->isVisible());
            if (button == "cancel") {
                return buttons->button(QDialogButtonBox::Cancel)->click();
            }
            auto* push = dialog->findChild<QPushButton*>(button.c_str());
            if (button == "importButton") {
                return Answer<QFileDialog>(
                    [&] { push->click(); },
                    [&](QFileDialog* files) {
                        files->findChild<QLineEdit*>("fileNameEdit")->setText(file);
                        static_cast<QDialog*>(files)->accept();
                    });
            }
            Answer<CreateCertificateDialog>(
                [&] { push->click(); },
                [](QDialog* form) {
                    auto* ok =
                        form->findChild<QDialogButtonBox*>("buttons")->button(QDialogButtonBox::Ok);
                    form->findChild<QComboBox*>("keyType")->setCurrentIndex(1);
                    // A greyed OK says why, on the form and on the button.
                    const auto type = [&](const char* name, const char* text, const char* why) {
                        SCOPED_TRACE(std::string("before ") + name + " " + text);
                        EXPECT_FALSE(ok->isEnabled());
                        EXPECT_EQ(form->findChild<QLabel*>("reason")->text(), why);
                        EXPECT_EQ(ok->accessibleDescription(), why);
                        form->findChild<QLineEdit*>(name)->setText(text);
                    };
                    type("name", " Ada ", "A name is needed.");
                    type("email", "ada@example.org", "A passphrase is needed.");
                    type("passphrase", "pw", "A passphrase is needed.");
                    type("passphraseAgain", "px", "The passphrases do not match.");
                    type("passphraseAgain", "pw", "The passphrases do not match.");
                    EXPECT_EQ(ok->accessibleDescription(), "");
                    ok->click();
                    for (const char* name : {"passphrase", "passphraseAgain"}) {
                        EXPECT_EQ(form->findChild<QLineEdit*>(name)->text(), "") << name;
                    }
                });
        };
        Answer<CertificateDialog>(
            [&] { choice = ui.emptyStore("the folder /u/My\nNSS databases: none found"); }, answer);
        std::string got = std::to_string(static_cast<int>(choice.kind)) + "|" + choice.path + "|";
        if (const auto& made = choice.create) {
            got += made->details.name + " " + made->details.email + " " +
                   std::to_string(static_cast<int>(made->details.keyType)) + " " +
                   made->passphrase.text();
        }
        EXPECT_EQ(got, expected);
    }
}

// While a request waits for the network, the progress dialog says what for,
// and its Cancel stops the wait.
TEST(QtUserInterface, AWaitForTheNetworkShowsAndStopsOnCancel) {
    QtUserInterface ui;
    const NetworkWait wait(ui);
    const NetworkWaitCheck check = UseNetworkWaitCheck({});
    UseNetworkWaitCheck(check);
    Answer<QProgressDialog>(
        [&] {
            // As a request calls it while it waits, for at most five seconds.
            EXPECT_EQ(Raised([&] {
                          for (int slice = 0; slice < 250; ++slice) {
                              check("tsa.example");
                              std::this_thread::sleep_for(std::chrono::milliseconds(20));
                          }
                      }).first,
                      status::Stopped);
        },
        [](QProgressDialog* dialog) {
            EXPECT_EQ(dialog->labelText(), "Waiting for tsa.example\u2026");
            // Read out too, with the focus on its one button.
            EXPECT_EQ(dialog->accessibleDescription(), dialog->labelText());
            EXPECT_TRUE(QTest::qWaitForWindowActive(dialog));
            EXPECT_EQ(QApplication::focusWidget(), dialog->findChild<QPushButton*>());
            EXPECT_EQ(dialog->maximum(), 0);  // nothing to count: it only shows that it waits
            dialog->cancel();
        });
}

}  // namespace quilvane::test
