#include "app/QtUserInterface.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <algorithm>
#include <cerrno>

#include "app/CertificateDialog.h"
#include "app/CreateCertificateDialog.h"
#include "app/OpenDocument.h"
#include "app/QtText.h"
#include "app/SecretField.h"
#include "crypto/Error.h"

namespace quilvane {

namespace {

QMessageBox::Icon BoxIcon(Icon icon) {
    switch (icon) {
        case Icon::Information:
            return QMessageBox::Information;
        case Icon::Critical:
            return QMessageBox::Critical;
        case Icon::Exclamation:
            return QMessageBox::Warning;
        case Icon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

// What a box says besides its text: a line below it, and details to open.
void AddNotes(QMessageBox& box, const MessageNotes& notes) {
    if (!notes.informative.empty()) {
        box.setInformativeText(MessageText(notes.informative));
        // Its label is made without the box's format: a file name such as
        // "<b>.txt" must show as it is, not as markup nor as escapes.
        if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
            label->setTextFormat(Qt::PlainText);
            // Wide enough for a verdict's fingerprint to stay on one line.
            label->setMinimumWidth(label->fontMetrics().averageCharWidth() * 96);
        }
    }
    if (!notes.details.empty()) {
        box.setDetailedText(MessageText(notes.details));
    }
}

}  // namespace

QString MessageText(const std::string& text) {
    QString shown = QString::fromStdString(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

QtUserInterface::QtUserInterface(QWidget* parent) : parent_(parent) {}
QtUserInterface::~QtUserInterface() = default;

void QtUserInterface::message(const std::string& text, Icon icon, const MessageNotes& notes) {
    progress_.reset();
    QMessageBox box(BoxIcon(icon), QString::fromLatin1(kApplicationTitle), MessageText(text),
                    QMessageBox::Ok, parent());
    box.setObjectName(QStringLiteral("messageBox"));
    // File names may hold anything, "<" included: never read the text as markup.
    box.setTextFormat(Qt::PlainText);
    AddNotes(box, notes);
    QAbstractButton* action = nullptr;
    if (notes.action) {
        action =
            box.addButton(QString::fromStdString(notes.action->label), QMessageBox::ActionRole);
        action->setObjectName(QStringLiteral("messageAction"));
        // Enter and Escape still mean OK, as in a box without it.
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    box.exec();
    if (action != nullptr && box.clickedButton() == action) {
        notes.action->run();
    }
}

bool QtUserInterface::ask(const std::string& text, const MessageNotes& notes) {
    progress_.reset();
    QMessageBox box(QMessageBox::Question, QString::fromLatin1(kApplicationTitle),
                    MessageText(text), QMessageBox::Yes | QMessageBox::No, parent());
    box.setObjectName(QStringLiteral("questionBox"));
    box.setTextFormat(Qt::PlainText);
    AddNotes(box, notes);
    box.setDefaultButton(QMessageBox::Yes);
    box.exec();
    // Escape and the title bar's close count as No.
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

std::optional<std::size_t> QtUserInterface::pickCertificate(
    const std::string& title, const std::string& prompt, const std::vector<CertificateRow>& rows) {
    progress_.reset();
    CertificateDialog dialog(QString::fromStdString(title), QString::fromStdString(prompt), rows,
                             parent());
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return dialog.chosen();
}

EmptyStoreChoice QtUserInterface::emptyStore(const std::string& places) {
    CertificateDialog dialog(QTr("Certificates"), QTr("ZARAN Certificates"), {}, parent());
    dialog.offerFirstCertificate(QString::fromStdString(places));
    dialog.exec();
    return dialog.takeChoice();
}

std::optional<CertificateRequest> QtUserInterface::newCertificate() {
    CreateCertificateDialog dialog(parent());
    dialog.exec();
    return dialog.takeRequest();
}

std::optional<Secret> QtUserInterface::secret(const SecretRequest& request) {
    progress_.reset();
    QInputDialog dialog(parent());
    dialog.setObjectName(QStringLiteral("passphraseDialog"));
    dialog.setWindowTitle(QString::fromLatin1(kApplicationTitle));
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setTextEchoMode(QLineEdit::Password);
    dialog.setLabelText(MessageText(request.prompt));
    dialog.setMinimumWidth(360);
    const bool confirmed = dialog.exec() == QDialog::Accepted;
    // The dialog's own field, which exists once the dialog takes text.
    QLineEdit* field = dialog.findChild<QLineEdit*>();
    if (field == nullptr) {
        throw Error(EINVAL, Tr("The passphrase dialog has no text field."));
    }
    if (!confirmed) {
        WipeField(*field);
        return std::nullopt;
    }
    return TakeSecret(*field);
}

// A progress dialog goes whenever another dialog asks something: it would
// otherwise show over that dialog once its half second has passed, and take
// clicks meant for it. The next report starts a new one.
bool QtUserInterface::progress(const Progress& now) {
    if (!progress_) {
        progress_ = std::make_unique<QProgressDialog>(parent());
        progress_->setObjectName(QStringLiteral("progressDialog"));
        progress_->setWindowTitle(QString::fromLatin1(kApplicationTitle));
        progress_->setWindowModality(Qt::ApplicationModal);
        progress_->setMinimumDuration(500);
        progress_->setAutoClose(false);
        progress_->setAutoReset(false);
    }
    // Bytes are counted in kibibytes, so that any size fits Qt's int range.
    const auto scale = [&now](std::uint64_t value) {
        return static_cast<int>(now.bytes ? value >> 10 : value);
    };
    const QString label = MessageText(now.label);
    if (label != progress_->labelText()) {
        progress_->setLabelText(label);
        // What it waits for is read with the dialog and its bar, not only shown.
        progress_->setAccessibleDescription(label);
        if (auto* bar = progress_->findChild<QProgressBar*>()) {
            bar->setAccessibleName(label);
        }
    }
    // No total (a wait for the network, a stream of unknown length): the bar
    // only shows that something goes on.
    progress_->setRange(0, now.total == 0 ? 0 : std::max(1, scale(now.total)));
    progress_->setValue(scale(now.done));
    QCoreApplication::processEvents();
    return !progress_->wasCanceled();
}

void QtUserInterface::progressDone() {
    progress_.reset();
}

std::int32_t QtUserInterface::openDocument(const std::string& path) {
    return OpenDocument(path);
}

}  // namespace quilvane
