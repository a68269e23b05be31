#include "app/CreateCertificateDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/QtText.h"
#include "app/SecretField.h"
#include "crypto/Text.h"

namespace quilvane {

CreateCertificateDialog::CreateCertificateDialog(QWidget* parent)
    : QDialog(parent),
      name_(new QLineEdit(this)),
      email_(new QLineEdit(this)),
      passphrase_(new QLineEdit(this)),
      again_(new QLineEdit(this)),
      keyType_(new QComboBox(this)),
      hint_(new QLabel(this)),
      reason_(new QLabel(this)),
      buttons_(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)) {
    setObjectName(QStringLiteral("createCertificateDialog"));
    setWindowTitle(QTr("Create a Certificate"));
    setModal(true);
    name_->setObjectName(QStringLiteral("name"));
    email_->setObjectName(QStringLiteral("email"));
    passphrase_->setObjectName(QStringLiteral("passphrase"));
    again_->setObjectName(QStringLiteral("passphraseAgain"));
    keyType_->setObjectName(QStringLiteral("keyType"));
    buttons_->setObjectName(QStringLiteral("buttons"));
    passphrase_->setEchoMode(QLineEdit::Password);
    again_->setEchoMode(QLineEdit::Password);
    keyType_->addItems({QStringLiteral("RSA-3072"), QStringLiteral("P-256")});
    hint_->setWordWrap(true);
    hint_->setText(
        QTr("A self-signed certificate, valid for one year, for trying Quilvane. "
            "The passphrase protects its private key."));

    auto* form = new QFormLayout;
    form->addRow(QTr("&Name:"), name_);
    form->addRow(QTr("&E-mail address:"), email_);
    form->addRow(QTr("&Key type:"), keyType_);
    form->addRow(QTr("&Passphrase:"), passphrase_);
    form->addRow(QTr("&Again:"), again_);
    reason_->setObjectName(QStringLiteral("reason"));
    reason_->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(hint_);
    layout->addLayout(form);
    layout->addWidget(reason_);
    layout->addWidget(buttons_);

    QPushButton* ok = buttons_->button(QDialogButtonBox::Ok);
    // A greyed OK says why, on the form and to a screen reader on the button.
    const auto check = [this, ok] {
        const char* reason =
            name_->text().trimmed().isEmpty()       ? QUILVANE_N_("A name is needed.")
            : passphrase_->text().isEmpty()         ? QUILVANE_N_("A passphrase is needed.")
            : passphrase_->text() != again_->text() ? QUILVANE_N_("The passphrases do not match.")
                                                    : nullptr;
        const QString why = reason != nullptr ? QString::fromUtf8(Tr(reason)) : QString();
        reason_->setText(why);
        ok->setAccessibleDescription(why);
        ok->setEnabled(reason == nullptr);
    };
    for (QLineEdit* edit : {name_, passphrase_, again_}) {
        connect(edit, &QLineEdit::textChanged, this, check);
    }
    check();
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    setMinimumWidth(380);
}

void CreateCertificateDialog::done(int result) {
    if (result == QDialog::Accepted) {
        request_ = CertificateRequest{
            {name_->text().trimmed().toStdString(), email_->text().trimmed().toStdString(),
             keyType_->currentIndex() == 1 ? NewKeyType::P256 : NewKeyType::Rsa3072},
            TakeSecret(*passphrase_)};
    }
    // Whatever the answer, the passphrase stays in the fields no longer than the dialog.
    WipeField(*passphrase_);
    WipeField(*again_);
    QDialog::done(result);
}

}  // namespace quilvane
