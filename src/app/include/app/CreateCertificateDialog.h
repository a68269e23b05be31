#pragma once
// The form that asks for a new self-signed certificate's details.

#include <QDialog>
#include <optional>
#include <utility>

#include "operations/UserInterface.h"

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;

namespace quilvane {

// The details of a new self-signed certificate: name, e-mail address, key
// type and the passphrase for its key, twice. OK is enabled once there is a
// name and the same passphrase twice; until then a line says what is missing.
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
    QLabel* reason_;
    QDialogButtonBox* buttons_;
};

}  // namespace quilvane
