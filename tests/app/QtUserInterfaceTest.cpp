// The Qt user interface: message boxes, the Yes/No question, the certificate
// pick list and the passphrase dialog, each answered as a person would.

#include "app/QtUserInterface.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>
#include <string>
#include <vector>

#include "app/QtTestSupport.h"

namespace quilvane::test {
namespace {

// What a message box showed.
struct BoxSeen {
    QString objectName, title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    Qt::TextFormat format = Qt::AutoText;
    QWidget* parent = nullptr;
};

BoxSeen Describe(QMessageBox* box) {
    return {box->objectName(),      box->windowTitle(), box->text(),        box->icon(),
            box->standardButtons(), box->textFormat(),  box->parentWidget()};
}

// Answers the next message box by pressing `button`, recording what it showed.
ModalAnswer PressOnBox(BoxSeen& seen, QMessageBox::StandardButton button) {
    return ModalAnswer([&seen, button](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr) << "not a message box: " << modal->metaObject()->className();
        seen = Describe(box);
        box->button(button)->click();
    });
}

TEST(QtUserInterface, MessageShowsItsTextIconAndOkUnderTheApplicationTitle) {
    const struct {
        Icon icon;
        QMessageBox::Icon expected;
    } cases[] = {{Icon::Information, QMessageBox::Information},
                 {Icon::Critical, QMessageBox::Critical},
                 {Icon::Exclamation, QMessageBox::Warning},
                 {Icon::None, QMessageBox::NoIcon}};
    QtUserInterface ui;
    for (const auto& c : cases) {
        BoxSeen seen;
        ModalAnswer answer = PressOnBox(seen, QMessageBox::Ok);
        ui.message("Signature applied successfully.", c.icon);
        ASSERT_TRUE(answer.answered());
        EXPECT_EQ(seen.icon, c.expected);
        EXPECT_EQ(seen.title, "Quilvane");
        EXPECT_EQ(seen.text, "Signature applied successfully.");
        EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_EQ(seen.objectName, "messageBox");
        EXPECT_EQ(seen.parent, nullptr);
    }
    // CR LF is a line break; markup and non-ASCII text are shown as they are.
    BoxSeen seen;
    ModalAnswer answer = PressOnBox(seen, QMessageBox::Ok);
    ui.message("Signed by:\r\nAlice <alice@example.org>\r\n\r\nJ\xc3\xa9r\xc3\xb4me", Icon::None);
    ASSERT_TRUE(answer.answered());
    EXPECT_EQ(seen.text, QString::fromUtf8("Signed by:\nAlice <alice@example.org>\n\nJérôme"));
    EXPECT_EQ(seen.format, Qt::PlainText);
}

TEST(QtUserInterface, AskIsAYesNoQuestionThatOnlyYesAnswersWithTrue) {
    QtUserInterface ui;
    {
        BoxSeen seen;
        ModalAnswer answer = PressOnBox(seen, QMessageBox::Yes);
        EXPECT_TRUE(ui.ask("Do you want to open the file?"));
        ASSERT_TRUE(answer.answered());
        EXPECT_EQ(seen.icon, QMessageBox::Question);
        EXPECT_EQ(seen.title, "Quilvane");
        EXPECT_EQ(seen.text, "Do you want to open the file?");
        EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(seen.objectName, "questionBox");
    }
    {
        BoxSeen seen;
        ModalAnswer answer = PressOnBox(seen, QMessageBox::No);
        EXPECT_FALSE(ui.ask("Open?"));
        EXPECT_TRUE(answer.answered());
    }
    {
        // Closing the box from its title bar (or Escape) is No.
        ModalAnswer answer([](QWidget* modal) { modal->close(); });
        EXPECT_FALSE(ui.ask("Open?"));
        EXPECT_TRUE(answer.answered());
    }
}

std::vector<CertificateRow> ThreeRows() {
    return {{"Alice Example", "Quilvane Test Root", "31/12/2030", "/store/alice.pem"},
            {"Bob Example", "Quilvane Test Root", "01/06/2029", "/store/bob.p12"},
            {"J\xc3\xa9r\xc3\xb4me", "Other CA", "02/02/2028", "/store/j\xc3\xa9r\xc3\xb4me.pem"}};
}

struct PickList {
    CertificateDialog* dialog;
    QLabel* prompt;
    QTreeWidget* list;
    QPushButton* ok;
    QPushButton* cancel;
};

PickList Parts(QWidget* modal) {
    auto* dialog = qobject_cast<CertificateDialog*>(modal);
    EXPECT_NE(dialog, nullptr);
    auto* buttons = dialog->findChild<QDialogButtonBox*>("buttons");
    return {dialog, dialog->findChild<QLabel*>("prompt"),
            dialog->findChild<QTreeWidget*>("certificateList"),
            buttons->button(QDialogButtonBox::Ok), buttons->button(QDialogButtonBox::Cancel)};
}

TEST(QtUserInterface, PickListShowsEveryCertificateAndReturnsTheChosenRow) {
    QtUserInterface ui;
    QString title, prompt;
    QStringList headers;
    std::vector<QStringList> shown;
    bool okBeforeChoice = true;
    bool okAfterChoice = false;
    QAbstractItemView::SelectionMode mode{};
    ModalAnswer answer([&](QWidget* modal) {
        PickList p = Parts(modal);
        title = p.dialog->windowTitle();
        prompt = p.prompt->text();
        mode = p.list->selectionMode();
        for (int c = 0; c < p.list->columnCount(); ++c) {
            headers << p.list->headerItem()->text(c);
        }
        for (int r = 0; r < p.list->topLevelItemCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < p.list->columnCount(); ++c) {
                cells << p.list->topLevelItem(r)->text(c);
            }
            shown.push_back(cells);
        }
        okBeforeChoice = p.ok->isEnabled();
        p.list->setCurrentItem(p.list->topLevelItem(1));
        okAfterChoice = p.ok->isEnabled();
        p.ok->click();
    });
    const std::optional<std::size_t> chosen =
        ui.pickCertificate("Certificates", "ZARAN Certificates", ThreeRows());
    ASSERT_TRUE(answer.answered());
    EXPECT_EQ(chosen, std::optional<std::size_t>(1));
    EXPECT_EQ(title, "Certificates");
    EXPECT_EQ(prompt, "ZARAN Certificates");
    EXPECT_EQ(headers, (QStringList{"Issued to", "Issued by", "Expiration date", "File"}));
    EXPECT_EQ(mode, QAbstractItemView::SingleSelection);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], (QStringList{"Alice Example", "Quilvane Test Root", "31/12/2030",
                                     "/store/alice.pem"}));
    EXPECT_EQ(shown[2][0], QString::fromUtf8("Jérôme"));
    EXPECT_EQ(shown[2][3], QString::fromUtf8("/store/jérôme.pem"));
    EXPECT_FALSE(okBeforeChoice);
    EXPECT_TRUE(okAfterChoice);
}

TEST(QtUserInterface, PickListCancelledOrClosedChoosesNothing) {
    QtUserInterface ui;
    {
        ModalAnswer answer([](QWidget* modal) {
            PickList p = Parts(modal);
            p.list->setCurrentItem(p.list->topLevelItem(0));
            p.cancel->click();
        });
        EXPECT_EQ(ui.pickCertificate("Certificates", "ZARAN Certificates", ThreeRows()),
                  std::nullopt);
        EXPECT_TRUE(answer.answered());
    }
    {
        ModalAnswer answer([](QWidget* modal) { modal->close(); });
        EXPECT_EQ(ui.pickCertificate("Certificates", "ZARAN Certificates", ThreeRows()),
                  std::nullopt);
        EXPECT_TRUE(answer.answered());
    }
    {
        // An empty store: nothing to choose, OK stays off, Cancel is the way out.
        bool okEnabled = true;
        ModalAnswer answer([&](QWidget* modal) {
            PickList p = Parts(modal);
            okEnabled = p.ok->isEnabled();
            p.ok->click();
            if (p.dialog->isVisible()) {
                p.cancel->click();
            }
        });
        EXPECT_EQ(ui.pickCertificate("Certificates", "ZARAN Certificates", {}), std::nullopt);
        EXPECT_TRUE(answer.answered());
        EXPECT_FALSE(okEnabled);
    }
}

TEST(QtUserInterface, PickListDoubleClickChoosesTheRow) {
    QtUserInterface ui;
    ModalAnswer answer([](QWidget* modal) {
        PickList p = Parts(modal);
        QWidget* viewport = p.list->viewport();
        const QPoint at = p.list->visualItemRect(p.list->topLevelItem(2)).center();
        const QPointF global = viewport->mapToGlobal(QPointF(at));
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                  QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
            const bool down = type != QEvent::MouseButtonRelease;
            QMouseEvent event(type, QPointF(at), global, Qt::LeftButton,
                              down ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(viewport, &event);
        }
    });
    EXPECT_EQ(ui.pickCertificate("Certificates", "ZARAN Certificates", ThreeRows()),
              std::optional<std::size_t>(2));
    EXPECT_TRUE(answer.answered());
}

TEST(QtUserInterface, PassphraseIsAskedHiddenAndCancelGivesNothing) {
    QtUserInterface ui;
    {
        QString title, label;
        QLineEdit::EchoMode echo = QLineEdit::Normal;
        ModalAnswer answer([&](QWidget* modal) {
            auto* dialog = qobject_cast<QInputDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->objectName(), "passphraseDialog");
            title = dialog->windowTitle();
            label = dialog->labelText();
            echo = dialog->textEchoMode();
            dialog->setTextValue(QString::fromUtf8("s3cr\xc3\xa9t with spaces "));
            dialog->accept();
        });
        EXPECT_EQ(ui.passphrase("Passphrase for \"alice.key\":"),
                  std::optional<std::string>("s3cr\xc3\xa9t with spaces "));
        ASSERT_TRUE(answer.answered());
        EXPECT_EQ(title, "Quilvane");
        EXPECT_EQ(label, "Passphrase for \"alice.key\":");
        EXPECT_EQ(echo, QLineEdit::Password);
    }
    {
        ModalAnswer answer([](QWidget* modal) {
            auto* dialog = qobject_cast<QInputDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            dialog->setTextValue("typed, then cancelled");
            dialog->reject();
        });
        EXPECT_EQ(ui.passphrase("Passphrase:"), std::nullopt);
        EXPECT_TRUE(answer.answered());
    }
}

}  // namespace
}  // namespace quilvane::test
