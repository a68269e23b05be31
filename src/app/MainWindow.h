#pragma once
// The program's one window: four tabs (Sign, Co-Sign, Verify, About), a Close
// button and a footer line. Its commands check that a path was given and hand
// it to the operations, which tell the user every outcome themselves.

#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <string>

#include "app/Operations.h"
#include "crypto/UserInterface.h"

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

class frmMain : public QWidget {
    Q_OBJECT

  public:
    // `ui` is the user interface the operations talk to; when it is null the
    // window makes its own Qt one, with the window as the boxes' parent.
    explicit frmMain(Operations operations, UserInterface* ui = nullptr, QWidget* parent = nullptr);
    ~frmMain() override;

    UserInterface& userInterface() const { return *ui_; }

  private:
    void buildControls();
    void setFonts();
    void setFocusOrder();

    void cmdBrowse_Click();
    void cmdBrowseCoSign_Click();
    void cmdBrowseSign_Click();
    void cmdSign_Click();
    void cmdCoSign_Click();
    void cmdVerify_Click();
    void cmdClose_Click();

    // Shows the shared file dialog with `filter` and puts its current file
    // name into `target`, confirmed or not.
    void Browse(const QString& filter, QLineEdit* target);

    Operations operations_;
    std::unique_ptr<QtUserInterface> ownUi_;
    UserInterface* ui_;

    QTabWidget* sstMain = nullptr;
    QPushButton* cmdClose = nullptr;
    QLabel* Label2 = nullptr;

    QLabel* Label1 = nullptr;
    QLineEdit* txtSignFile = nullptr;
    QPushButton* cmdBrowse = nullptr;
    QPushButton* cmdSign = nullptr;
    QCheckBox* chkEncrypt = nullptr;

    QLabel* Label4 = nullptr;
    QLineEdit* txtFileCoSign = nullptr;
    QPushButton* cmdBrowseCoSign = nullptr;
    QPushButton* cmdCoSign = nullptr;

    QLabel* Label3 = nullptr;
    QLineEdit* txtSignature = nullptr;
    QPushButton* cmdBrowseSign = nullptr;
    QPushButton* cmdVerify = nullptr;
    QCheckBox* chkDecrypt = nullptr;

    QLabel* Image1 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;

    QFileDialog* dlgBrowse = nullptr;
    // The dialog's current file name: the last file confirmed with any of the
    // three browse buttons, kept through cancels.
    QString browseFileName_;
};

}  // namespace quilvane
