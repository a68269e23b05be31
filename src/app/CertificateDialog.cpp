#include "app/CertificateDialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/CreateCertificateDialog.h"
#include "app/QtText.h"

namespace quilvane {

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
    // The prompt names the list for a screen reader; a list takes no name from a buddy.
    list_->setAccessibleName(prompt);

    list_->setObjectName(QStringLiteral("certificateList"));
    list_->setColumnCount(4);
    list_->setHeaderLabels(
        {QTr("Issued to"), QTr("Issued by"), QTr("Expiration date"), QTr("File")});
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
        auto* item =
            new QTreeWidgetItem(list_, QStringList{QString::fromStdString(row.issuedTo),
                                                   QString::fromStdString(row.issuedBy),
                                                   QString::fromStdString(row.expires),
                                                   QFile::decodeName(row.location.c_str())});
        item->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(i));
        item->setToolTip(3, item->text(3));
    }
    list_->header()->setStretchLastSection(true);
    for (int column = 0; column < 3; ++column) {
        list_->resizeColumnToContents(column);
        list_->setColumnWidth(column, list_->columnWidth(column) + 16);
    }

    buttons_->setObjectName(QStringLiteral("buttons"));
    QPushButton* ok = buttons_->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);
    connect(list_, &QTreeWidget::itemSelectionChanged, this,
            [this, ok] { ok->setEnabled(!list_->selectedItems().isEmpty()); });
    // The first row is chosen, not only highlighted, so that Enter takes it.
    if (list_->topLevelItemCount() > 0) {
        list_->setCurrentItem(list_->topLevelItem(0));
    }
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
    note->setText(QTr("You have no certificate to sign with yet. Quilvane looked in:") + lines +
                  QStringLiteral("\n\n") +
                  QTr("Import a certificate you have (PKCS #12, PEM or DER), or create a "
                      "self-signed one to try Quilvane with."));
    static_cast<QVBoxLayout*>(layout())->insertWidget(1, note);
    list_->hide();

    QPushButton* import = buttons_->addButton(QTr("Import…"), QDialogButtonBox::ActionRole);
    import->setObjectName(QStringLiteral("importButton"));
    QPushButton* create = buttons_->addButton(QTr("Create…"), QDialogButtonBox::ActionRole);
    create->setObjectName(QStringLiteral("createButton"));
    buttons_->button(QDialogButtonBox::Ok)->hide();
    connect(import, &QPushButton::clicked, this, &CertificateDialog::importFile);
    connect(create, &QPushButton::clicked, this, &CertificateDialog::createCertificate);
    // Without the list, the note and the buttons are all there is.
    resize(width(), sizeHint().height());
}

void CertificateDialog::importFile() {
    QFileDialog files(this, QTr("Import a Certificate"), QDir::homePath(),
                      QTr("Certificates (*.p12 *.pfx *.pem *.crt *.cer *.der);;All files (*)"));
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

}  // namespace quilvane
