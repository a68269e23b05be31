#pragma once
// The user interface of the window mode: Qt message boxes, the certificate pick
// list and the passphrase dialog, all modal.

#include <QDialog>
#include <QPointer>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "operations/UserInterface.h"

class QComboBox;
class QDialogButtonBox;
class QLineEdit;
class QProgressDialog;
class QLabel;
class QTreeWidget;

namespace quilvane {

// The title of every message box and of the passphrase dialog.
inline constexpr const char* kApplicationTitle = "Quilvane";

// The modal pick list of certificates: the prompt above a list with one row
// per certificate, OK and Cancel. OK is only enabled once a row is chosen; a
// double-click on a row chooses it and closes the list.
class CertificateDialog : public QDialog {
    Q_OBJECT

  public:
    CertificateDialog(const QString& title, const QString& prompt,
                      const std::vector<CertificateRow>& rows, QWidget* parent = nullptr);

    // The row chosen, once the dialog was accepted.
    std::optional<std::size_t> chosen() const;

    // For an empty store: says so and where certificates were looked for
    // (`places`, one a line), and offers "Import…" (a file dialog) and
    // "Create…" (CreateCertificateDialog). Either, once answered, ends the
    // dialog; choice() then tells what to do.
    void offerFirstCertificate(const QString& places);
    EmptyStoreChoice takeChoice() { return std::move(choice_); }

  private:
    void importFile();
    void createCertificate();

    QLabel* prompt_;
    QTreeWidget* list_;
    QDialogButtonBox* buttons_;
    EmptyStoreChoice choice_;
};

// The details of a new self-signed certificate: name, e-mail address, key
// type and the passphrase for its key, twice. OK is enabled once there is a
// name and the same passphrase twice.
class CreateCertificateDialog : public QDialog {
    Q_OBJECT

  public:
    explicit CreateCertificateDialog(QWidget* parent = nullptr);

    // What was typed, once the dialog was accepted; taken only once.
    std::optional<CertificateRequest> takeRequest() { return std::move(request_); }

    // The passphrase leaves its fields as the dialog ends, whatever the answer.
    void done(int result) override;

  private:
    std::optional<CertificateRequest> request_;
    QLineEdit *name_, *email_, *passphrase_, *again_;
    QComboBox* keyType_;
    QLabel* hint_;
    QDialogButtonBox* buttons_;
};

class QtUserInterface : public UserInterface {
  public:
    // Boxes and dialogs are centred over `parent`; with no parent they stand
    // alone, as they must when the command line runs one action and the
    // window is never shown.
    explicit QtUserInterface(QWidget* parent = nullptr);
    ~QtUserInterface() override;

    void message(const std::string& text, Icon icon, const MessageNotes& notes = {}) override;
    bool ask(const std::string& text, const MessageNotes& notes = {}) override;
    std::optional<std::size_t> pickCertificate(const std::string& title, const std::string& prompt,
                                               const std::vector<CertificateRow>& rows) override;
    EmptyStoreChoice emptyStore(const std::string& places) override;
    std::optional<CertificateRequest> newCertificate() override;
    std::optional<Secret> secret(const SecretRequest& request) override;
    bool progress(const Progress& now) override;
    void progressDone() override;
    std::int32_t openDocument(const std::string& path) override;

  private:
    QWidget* parent() const { return parent_.data(); }

    QPointer<QWidget> parent_;
    // Shown once work has taken half a second; kept until progressDone().
    std::unique_ptr<QProgressDialog> progress_;
};

// A message text as a box shows it: UTF-8 decoded, CR LF as a line break.
QString MessageText(const std::string& text);

}  // namespace quilvane
