#pragma once
// The user interface of the window mode: Qt message boxes, the certificate pick
// list and the passphrase dialog, all modal.

#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "operations/UserInterface.h"

class QProgressDialog;

namespace quilvane {

// The title of every message box and of the passphrase dialog.
inline constexpr const char* kApplicationTitle = "Quilvane";

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
