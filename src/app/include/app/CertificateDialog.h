#pragma once
// The modal pick list of certificates, which for an empty store offers to
// import or create a first one instead.

#include <QDialog>
#include <QString>
#include <cstddef>
#include <optional>
#include <vector>

#include "operations/UserInterface.h"

class QDialogButtonBox;
class QLabel;
class QTreeWidget;

namespace quilvane {

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

}  // namespace quilvane
