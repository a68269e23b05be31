#pragma once
// The program's one window: four tabs (Sign, Co-Sign, Verify, About), a Close
// button and a footer line. Its commands check that a path was given and hand
// it to the operations, which tell the user every outcome themselves.

#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <string>

#include "app/OperationTable.h"
#include "operations/UserInterface.h"

class QCheckBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace quilvane {

class QtUserInterface;

// Qt's name filters from a filter text of description and pattern pairs, all
// separated by "|" ("PDF(*.pdf)|*.pdf|Text(*.txt)|*.txt"). A pair becomes
// "description (patterns)", or just the description when it already ends with
// its patterns in brackets; several patterns of one pair, separated by ";",
// are separated by spaces in Qt's form.
QStringList NameFilters(const QString& filter);

// A path as the operations take it: the bytes the file system knows it by.
std::string PathBytes(const QString& path);

class MainWindow : public QWidget {
    Q_OBJECT

  public:
    // `ui` is the user interface the operations talk to; when it is null the
    // window makes its own Qt one, with the window as the boxes' parent.
    explicit MainWindow(OperationTable operations, UserInterface* ui = nullptr,
                        QWidget* parent = nullptr);
    ~MainWindow() override;

    UserInterface& userInterface() const { return *ui_; }

  private:
    void buildControls();
    void setFonts();
    void setFocusOrder();

    void browseForSigning();
    void browseForCoSigning();
    void browseForVerifying();
    // Runs one of the commands below with the action buttons and the tabs
    // disabled, and never while another runs.
    void runCommand(void (MainWindow::*command)());
    void sign();
    void coSign();
    void verify();
    void quit();

    // Shows the shared file dialog with `filter` and puts its current file
    // name into `target`, confirmed or not.
    void browse(const QString& filter, QLineEdit* target);

    OperationTable operations_;
    std::unique_ptr<QtUserInterface> ownUi_;
    UserInterface* ui_;

    QTabWidget* tabs_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QLabel* footer_ = nullptr;

    QLabel* signLabel_ = nullptr;
    QLineEdit* signPath_ = nullptr;
    QPushButton* signBrowse_ = nullptr;
    QPushButton* signButton_ = nullptr;
    QCheckBox* encryptBox_ = nullptr;

    QLabel* coSignLabel_ = nullptr;
    QLineEdit* coSignPath_ = nullptr;
    QPushButton* coSignBrowse_ = nullptr;
    QPushButton* coSignButton_ = nullptr;

    QLabel* verifyLabel_ = nullptr;
    QLineEdit* verifyPath_ = nullptr;
    QPushButton* verifyBrowse_ = nullptr;
    QPushButton* verifyButton_ = nullptr;
    QCheckBox* decryptBox_ = nullptr;

    QLabel* picture_ = nullptr;
    QLabel* productName_ = nullptr;
    QLabel* version_ = nullptr;
    QLabel* credit_ = nullptr;

    bool running_ = false;

    QFileDialog* browseDialog_ = nullptr;
    // The dialog's current file name: the last file confirmed with any of the
    // three browse buttons, kept through cancels.
    QString browseFileName_;
};

}  // namespace quilvane
