#include "app/QtUserInterface.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QStringList>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>

#include "app/OpenDocument.h"
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

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString MessageText(const std::string& text) {
    QString shown = FromUtf8(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

CertificateDialog::CertificateDialog(const QString& title, const QString& prompt,
                                     const std::vector<CertificateRow>& rows, QWidget* parent)
    : QDialog(parent),
      prompt_(new QLabel(prompt, this)),
      list_(new QTreeWidget(this)),
      buttons_(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)) {
    setObjectName(QStringLiteral("certificateDialog"));
    setWindowTitle(title);
    setModal(true);

    prompt_->setObjectName(QStringLiteral("prompt"));
    prompt_->setTextFormat(Qt::PlainText);

    list_->setObjectName(QStringLiteral("certificateList"));
    list_->setColumnCount(4);
    list_->setHeaderLabels({tr("Issued to"), tr("Issued by"), tr("Expiration date"), tr("File")});
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    // The rows stay in the store's order: the chosen row's number is the answer.
    list_->setSortingEnabled(false);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const CertificateRow& row = rows[i];
        auto* item = new QTreeWidgetItem(
            list_, QStringList{FromUtf8(row.issuedTo), FromUtf8(row.issuedBy),
                               FromUtf8(row.expires), QFile::decodeName(row.location.c_str())});
        item->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(i));
        item->setToolTip(3, item->text(3));
    }
    list_->header()->setStretchLastSection(true);
    for (int column = 0; column < 3; ++column) {
        list_->resizeColumnToContents(column);
        list_->setColumnWidth(column, list_->columnWidth(column) + 16);
    }
    list_->clearSelection();

    buttons_->setObjectName(QStringLiteral("buttons"));
    QPushButton* ok = buttons_->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);
    connect(list_, &QTreeWidget::itemSelectionChanged, this,
            [this, ok] { ok->setEnabled(!list_->selectedItems().isEmpty()); });
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        list_->setCurrentItem(item);
        item->setSelected(true);
        accept();
    });
    connect(buttons_, &QDialogButtonBox::accepted, this, [this] {
        if (!list_->selectedItems().isEmpty()) {
            accept();
        }
    });
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt_);
    layout->addWidget(list_, 1);
    layout->addWidget(buttons_);
    resize(620, 320);
}

std::optional<std::size_t> CertificateDialog::chosen() const {
    if (result() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(selected.first()->data(0, Qt::UserRole).toULongLong());
}

void CertificateDialog::offerFirstCertificate(const QString& places) {
    auto* note = new QLabel(this);
    note->setObjectName(QStringLiteral("emptyStore"));
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);
    QString lines;
    for (const QString& place : places.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        lines += QStringLiteral("\n    ") + place;
    }
    note->setText(tr("You have no certificate to sign with yet. Quilvane looked in:") + lines +
                  QStringLiteral("\n\n") +
                  tr("Import a certificate you have (PKCS #12, PEM or DER), or create a "
                     "self-signed one to try Quilvane with."));
    static_cast<QVBoxLayout*>(layout())->insertWidget(1, note);
    list_->hide();

    QPushButton* import = buttons_->addButton(tr("Import…"), QDialogButtonBox::ActionRole);
    import->setObjectName(QStringLiteral("importButton"));
    QPushButton* create = buttons_->addButton(tr("Create…"), QDialogButtonBox::ActionRole);
    create->setObjectName(QStringLiteral("createButton"));
    buttons_->button(QDialogButtonBox::Ok)->hide();
    connect(import, &QPushButton::clicked, this, &CertificateDialog::importFile);
    connect(create, &QPushButton::clicked, this, &CertificateDialog::createCertificate);
    // Without the list, the note and the buttons are all there is.
    resize(width(), sizeHint().height());
}

void CertificateDialog::importFile() {
    QFileDialog files(this, tr("Import a Certificate"), QDir::homePath(),
                      tr("Certificates (*.p12 *.pfx *.pem *.crt *.cer *.der);;All files (*)"));
    files.setObjectName(QStringLiteral("importDialog"));
    files.setFileMode(QFileDialog::ExistingFile);
    files.setAcceptMode(QFileDialog::AcceptOpen);
    if (files.exec() != QDialog::Accepted || files.selectedFiles().isEmpty()) {
        return;
    }
    choice_.kind = EmptyStoreChoice::Kind::Import;
    choice_.path = QFile::encodeName(files.selectedFiles().first()).toStdString();
    accept();
}

void CertificateDialog::createCertificate() {
    CreateCertificateDialog form(this);
    if (form.exec() != QDialog::Accepted) {
        return;
    }
    choice_.kind = EmptyStoreChoice::Kind::Create;
    choice_.create = form.takeRequest();
    accept();
}

CreateCertificateDialog::CreateCertificateDialog(QWidget* parent)
    : QDialog(parent),
      name_(new QLineEdit(this)),
      email_(new QLineEdit(this)),
      passphrase_(new QLineEdit(this)),
      again_(new QLineEdit(this)),
      keyType_(new QComboBox(this)),
      hint_(new QLabel(this)),
      buttons_(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)) {
    setObjectName(QStringLiteral("createCertificateDialog"));
    setWindowTitle(tr("Create a Certificate"));
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
        tr("A self-signed certificate, valid for one year, for trying Quilvane. "
           "The passphrase protects its private key."));

    auto* form = new QFormLayout;
    form->addRow(tr("&Name:"), name_);
    form->addRow(tr("&E-mail address:"), email_);
    form->addRow(tr("&Key type:"), keyType_);
    form->addRow(tr("&Passphrase:"), passphrase_);
    form->addRow(tr("&Again:"), again_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(hint_);
    layout->addLayout(form);
    layout->addWidget(buttons_);

    QPushButton* ok = buttons_->button(QDialogButtonBox::Ok);
    const auto check = [this, ok] {
        ok->setEnabled(!name_->text().trimmed().isEmpty() && !passphrase_->text().isEmpty() &&
                       passphrase_->text() == again_->text());
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

QtUserInterface::QtUserInterface(QWidget* parent) : parent_(parent) {}
QtUserInterface::~QtUserInterface() = default;

namespace {

// What a box says besides its text: a line below it, and details to open.
void AddNotes(QMessageBox& box, const MessageNotes& notes) {
    if (!notes.informative.empty()) {
        box.setInformativeText(MessageText(notes.informative));
        // Its label is made without the box's format: a file name such as
        // "<b>.txt" must show as it is, not as markup nor as escapes.
        if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
            label->setTextFormat(Qt::PlainText);
        }
    }
    if (!notes.details.empty()) {
        box.setDetailedText(MessageText(notes.details));
    }
}

}  // namespace

void QtUserInterface::message(const std::string& text, Icon icon, const MessageNotes& notes) {
    progress_.reset();
    QMessageBox box(BoxIcon(icon), QString::fromLatin1(kApplicationTitle), MessageText(text),
                    QMessageBox::Ok, parent());
    box.setObjectName(QStringLiteral("messageBox"));
    // File names may hold anything, "<" included: never read the text as markup.
    box.setTextFormat(Qt::PlainText);
    AddNotes(box, notes);
    box.exec();
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
    CertificateDialog dialog(FromUtf8(title), FromUtf8(prompt), rows, parent());
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return dialog.chosen();
}

EmptyStoreChoice QtUserInterface::emptyStore(const std::string& places) {
    CertificateDialog dialog(QStringLiteral("Certificates"), QStringLiteral("ZARAN Certificates"),
                             {}, parent());
    dialog.offerFirstCertificate(FromUtf8(places));
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
        throw Error(EINVAL, "The passphrase dialog has no text field.");
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
    progress_->setLabelText(MessageText(now.label));
    progress_->setMaximum(std::max(1, scale(now.total)));
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
