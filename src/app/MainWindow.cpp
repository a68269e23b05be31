#include "app/MainWindow.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <utility>
#include <vector>

#include "app/QtText.h"
#include "app/QtUserInterface.h"
#include "app/Version.h"
#include "crypto/Text.h"

// The pictures are compiled into the static library; a program linking it
// would drop them unless something asks for them by name.
static void InitResources() {
    Q_INIT_RESOURCE(resources);
}

namespace quilvane {

namespace {

// Window geometry is laid out in twips, 15 to a pixel at 96 dots per inch.
constexpr int Px(int twips) {
    return (twips * 2 + 15) / 30;
}
constexpr QRect Twips(int left, int top, int width, int height) {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

const char* const kCaption = QUILVANE_N_("ZARAN Quilvane");
const char* const kBrowseTitle = QUILVANE_N_("Select File to Sign");
const char* const kDocumentFilter = "PDF(*.pdf)|*.pdf|Text(*.txt)|*.txt";
const char* const kSignatureFilter = "Signature (*.sig) | *.sig";
const char* const kCredit = QUILVANE_N_("Quilvane team");
const char* const kCreditLine = QUILVANE_N_("By the Quilvane team");

// A tab control whose pages' controls are placed relative to the tab
// control's own top-left corner. Qt puts a page's origin below the tab bar,
// at a distance that depends on the style and font, so the controls are
// moved whenever the tab control lays its pages out.
class TabControl : public QTabWidget {
  public:
    using QTabWidget::QTabWidget;

    void place(QWidget* control, QRect rect) {
        placed_.emplace_back(control, rect);
        arrange();
    }

  protected:
    void showEvent(QShowEvent* event) override {
        QTabWidget::showEvent(event);
        arrange();
    }
    void resizeEvent(QResizeEvent* event) override {
        QTabWidget::resizeEvent(event);
        arrange();
    }
    void changeEvent(QEvent* event) override {
        QTabWidget::changeEvent(event);
        arrange();
    }

  private:
    void arrange() {
        for (const auto& [control, rect] : placed_) {
            if (control == nullptr) {
                continue;
            }
            // Every page fills the contents of the same page stack.
            const QWidget* page = control->parentWidget();
            const QWidget* stack = page->parentWidget();
            QPoint origin = page->pos();
            if (stack != nullptr && stack != this) {
                origin = stack->mapTo(this, stack->contentsRect().topLeft());
            }
            control->setGeometry(rect.translated(-origin));
        }
    }

    std::vector<std::pair<QPointer<QWidget>, QRect>> placed_;
};

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    // No button answers Enter or Escape for the window.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    // Plain text keeps runs of spaces and never reads the caption as markup.
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLineEdit* MakeTextBox(QWidget* parent, const char* name) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QCheckBox* MakeHiddenCheckBox(QWidget* parent, const char* name, const QString& caption) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setChecked(false);
    // Kept in the window with its caption and focus place, but never shown,
    // so the user cannot tick it.
    box->setVisible(false);
    return box;
}

// The label names its field for a screen reader, which tells the three apart by
// what they hold; the browse button, a bare "...", is named by what it looks for.
// Return in the field acts as `action` would.
void Describe(QLabel* label, QLineEdit* field, const QString& holds, QPushButton* browse,
              const QString& browseName, QPushButton* action) {
    label->setBuddy(field);
    field->setAccessibleDescription(holds);
    browse->setAccessibleName(browseName);
    QObject::connect(field, &QLineEdit::returnPressed, action, &QPushButton::click);
}

QWidget* MakePage(QWidget* parent, const char* name) {
    auto* page = new QWidget(parent);
    page->setObjectName(QString::fromLatin1(name));
    return page;
}

// The window's text font: Tahoma, or the desktop's sans-serif in its place.
QFont BaseFont() {
    QFont font(QStringList{QStringLiteral("Tahoma"),
                           QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setWeight(QFont::Normal);
    return font;
}

QFont BoldFont(QFont font) {
    font.setPointSizeF(9.75);
    font.setWeight(QFont::Bold);
    return font;
}

}  // namespace

QStringList NameFilters(const QString& filter) {
    QStringList filters;
    const QStringList parts = filter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        QStringList patterns;
        if (i + 1 < parts.size()) {
            for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'))) {
                if (!pattern.trimmed().isEmpty()) {
                    patterns << pattern.trimmed();
                }
            }
        }
        if (description.isEmpty() && patterns.isEmpty()) {
            continue;
        }
        if (patterns.isEmpty()) {
            patterns << QStringLiteral("*");
        }
        const QString bracketed =
            QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
        if (description.isEmpty()) {
            filters << bracketed;
        } else if (description.endsWith(bracketed)) {
            filters << description;
        } else {
            filters << description + QLatin1Char(' ') + bracketed;
        }
    }
    return filters;
}

std::string PathBytes(const QString& path) {
    const QByteArray bytes = QFile::encodeName(path);
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

MainWindow::MainWindow(OperationTable operations, UserInterface* ui, QWidget* parent)
    : QWidget(parent, Qt::Window), operations_(std::move(operations)), ui_(ui) {
    InitResources();
    if (ui_ == nullptr) {
        ownUi_ = std::make_unique<QtUserInterface>(this);
        ui_ = ownUi_.get();
    }

    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QTr(kCaption));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    QIcon icon;
    icon.addFile(QStringLiteral(":/quilvane/icon-47x51.png"), QSize(47, 51));
    icon.addFile(QStringLiteral(":/quilvane/icon-16x16.png"), QSize(16, 16));
    setWindowIcon(icon);
    setFixedSize(Px(5685), Px(3840));

    buildControls();
    setFonts();
    setFocusOrder();

    browseDialog_ = new QFileDialog(this, QTr(kBrowseTitle), QDir::homePath());
    browseDialog_->setObjectName(QStringLiteral("dlgBrowse"));
    browseDialog_->setAcceptMode(QFileDialog::AcceptOpen);
    browseDialog_->setFileMode(QFileDialog::ExistingFile);
    browseDialog_->setWindowModality(Qt::ApplicationModal);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls() {
    auto* tabs = new TabControl(this);
    tabs_ = tabs;
    tabs_->setObjectName(QStringLiteral("sstMain"));
    tabs_->setGeometry(Twips(120, 225, 5415, 2775));
    QWidget* signPage = MakePage(tabs_, "tabSign");
    QWidget* coSignPage = MakePage(tabs_, "tabCoSign");
    QWidget* verifyPage = MakePage(tabs_, "tabVerify");
    QWidget* aboutPage = MakePage(tabs_, "tabAbout");
    tabs_->addTab(signPage, QTr("Sign"));
    tabs_->addTab(coSignPage, QTr("&Co-Sign"));
    tabs_->addTab(verifyPage, QTr("&Verify"));
    tabs_->addTab(aboutPage, QTr("About"));
    tabs_->setCurrentIndex(0);

    closeButton_ = MakeButton(this, "cmdClose", QTr("Clos&e"));
    closeButton_->setGeometry(Twips(2280, 3120, 1215, 375));

    footer_ = MakeLabel(this, "Label2",
                        QTr("ZARAN Quilvane v%1").arg(QString::fromLatin1(kVersion)) +
                            QString(51, QLatin1Char(' ')) + QTr(kCredit));
    footer_->setGeometry(Twips(120, 3585, 5535, 255));
    // Read aloud, the padding that spaces the credit out would be fifty pauses.
    footer_->setAccessibleName(footer_->text().simplified());

    // Sign tab.
    signLabel_ = MakeLabel(signPage, "Label1", QTr("Select File:"));
    signPath_ = MakeTextBox(signPage, "txtSignFile");
    signBrowse_ = MakeButton(signPage, "cmdBrowse", QStringLiteral("..."));
    signButton_ = MakeButton(signPage, "cmdSign", QTr("&Sign"));
    encryptBox_ = MakeHiddenCheckBox(signPage, "chkEncrypt", QTr("Encrypt File"));
    tabs->place(signLabel_, Twips(240, 1260, 780, 195));
    tabs->place(signPath_, Twips(1080, 1140, 3615, 375));
    tabs->place(signBrowse_, Twips(4680, 1140, 495, 375));
    tabs->place(signButton_, Twips(2160, 1860, 1215, 375));
    tabs->place(encryptBox_, Twips(3480, 1860, 1455, 375));

    // Co-Sign tab.
    coSignLabel_ = MakeLabel(coSignPage, "Label4", QTr("Select File:"));
    coSignPath_ = MakeTextBox(coSignPage, "txtFileCoSign");
    coSignBrowse_ = MakeButton(coSignPage, "cmdBrowseCoSign", QStringLiteral("..."));
    coSignButton_ = MakeButton(coSignPage, "cmdCoSign", QTr("&Co-Sign"));
    tabs->place(coSignLabel_, Twips(240, 1260, 780, 195));
    tabs->place(coSignPath_, Twips(1080, 1140, 3615, 375));
    tabs->place(coSignBrowse_, Twips(4680, 1140, 495, 375));
    tabs->place(coSignButton_, Twips(2160, 1860, 1215, 375));

    // Verify tab.
    verifyLabel_ = MakeLabel(verifyPage, "Label3", QTr("Select File:"));
    verifyPath_ = MakeTextBox(verifyPage, "txtSignature");
    verifyBrowse_ = MakeButton(verifyPage, "cmdBrowseSign", QStringLiteral("..."));
    verifyButton_ = MakeButton(verifyPage, "cmdVerify", QTr("&Verify and Show"));
    decryptBox_ = MakeHiddenCheckBox(verifyPage, "chkDecrypt", QTr("Decrypt File"));
    tabs->place(verifyLabel_, Twips(240, 1260, 780, 195));
    tabs->place(verifyPath_, Twips(1080, 1140, 3615, 375));
    tabs->place(verifyBrowse_, Twips(4680, 1140, 495, 375));
    tabs->place(verifyButton_, Twips(2160, 1860, 1575, 375));
    tabs->place(decryptBox_, Twips(3840, 1860, 1215, 375));

    // About tab.
    picture_ = MakeLabel(aboutPage, "Image1", QString());
    picture_->setPixmap(QPixmap(QStringLiteral(":/quilvane/about.png")));
    productName_ = MakeLabel(aboutPage, "Label5", QStringLiteral("Quilvane"));
    version_ = MakeLabel(aboutPage, "Label6", QTr("Version %1").arg(QString::fromLatin1(kVersion)));
    credit_ = MakeLabel(aboutPage, "Label7", QTr(kCreditLine));
    tabs->place(picture_, Twips(240, 600, 585, 645));
    tabs->place(productName_, Twips(1680, 600, 1170, 240));
    tabs->place(version_, Twips(1680, 982, 900, 195));
    tabs->place(credit_, Twips(1680, 1320, 1740, 195));

    // The tab control takes the focus too; unnamed, it would be read as nothing.
    tabs_->setAccessibleName(QString::fromUtf8(Tr("Tasks")));
    picture_->setAccessibleName(QString::fromUtf8(Tr("Quilvane logo")));
    Describe(signLabel_, signPath_, QString::fromUtf8(Tr("The document to sign")), signBrowse_,
             QString::fromUtf8(Tr("Browse for the document to sign")), signButton_);
    Describe(coSignLabel_, coSignPath_, QString::fromUtf8(Tr("The signed file to co-sign")),
             coSignBrowse_, QString::fromUtf8(Tr("Browse for the signed file to co-sign")),
             coSignButton_);
    Describe(verifyLabel_, verifyPath_, QString::fromUtf8(Tr("The signed file to verify")),
             verifyBrowse_, QString::fromUtf8(Tr("Browse for the signed file to verify")),
             verifyButton_);

    connect(signBrowse_, &QPushButton::clicked, this, &MainWindow::browseForSigning);
    connect(coSignBrowse_, &QPushButton::clicked, this, &MainWindow::browseForCoSigning);
    connect(verifyBrowse_, &QPushButton::clicked, this, &MainWindow::browseForVerifying);
    connect(signButton_, &QPushButton::clicked, this, [this] { runCommand(&MainWindow::sign); });
    connect(coSignButton_, &QPushButton::clicked, this,
            [this] { runCommand(&MainWindow::coSign); });
    connect(verifyButton_, &QPushButton::clicked, this,
            [this] { runCommand(&MainWindow::verify); });
    connect(closeButton_, &QPushButton::clicked, this, &MainWindow::quit);
}

void MainWindow::setFonts() {
    // Tahoma is seldom installed on Linux, and the sans-serif that stands in
    // for it is usually wider. The labels' boxes were sized for Tahoma, so
    // the font is narrowed step by step until every caption fits its box.
    const std::vector<QLabel*> labels{signLabel_,   footer_,  verifyLabel_, coSignLabel_,
                                      productName_, version_, credit_};
    QFont regular = BaseFont();
    QFont bold = BoldFont(regular);
    for (int stretch = QFont::Unstretched; stretch >= QFont::ExtraCondensed; --stretch) {
        if (stretch != QFont::Unstretched) {
            regular.setStretch(stretch);
            bold.setStretch(stretch);
        }
        bool fits = true;
        for (const QLabel* label : labels) {
            const QFontMetrics metrics(label == productName_ ? bold : regular);
            if (metrics.horizontalAdvance(label->text()) > label->width()) {
                fits = false;
                break;
            }
        }
        if (fits) {
            break;
        }
    }
    setFont(regular);
    productName_->setFont(bold);
}

void MainWindow::setFocusOrder() {
    // The window's focus sequence; labels and the picture never take the focus.
    const std::vector<QWidget*> order{tabs_,         closeButton_,  signPath_,   signBrowse_,
                                      signButton_,   verifyBrowse_, verifyPath_, verifyButton_,
                                      coSignButton_, coSignBrowse_, coSignPath_, encryptBox_,
                                      decryptBox_};
    for (std::size_t i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
}

void MainWindow::browse(const QString& filter, QLineEdit* target) {
    const QStringList filters = NameFilters(filter);
    browseDialog_->setNameFilters(filters);
    if (!filters.isEmpty()) {
        browseDialog_->selectNameFilter(filters.first());
    }
    if (!browseFileName_.isEmpty()) {
        browseDialog_->selectFile(browseFileName_);
    }
    if (browseDialog_->exec() == QDialog::Accepted) {
        const QStringList chosen = browseDialog_->selectedFiles();
        if (!chosen.isEmpty()) {
            browseFileName_ = chosen.first();
        }
    }
    // A cancel is not told apart: the box gets the last confirmed name.
    target->setText(browseFileName_);
}

void MainWindow::browseForSigning() {
    browse(QString::fromLatin1(kDocumentFilter), signPath_);
}

void MainWindow::browseForCoSigning() {
    browse(QString::fromLatin1(kSignatureFilter), coSignPath_);
}

void MainWindow::browseForVerifying() {
    browse(QString::fromLatin1(kSignatureFilter), verifyPath_);
}

void MainWindow::runCommand(void (MainWindow::*command)()) {
    // A progress report lets events through, and with them a second click that
    // would start an operation inside the first one; it is refused.
    if (running_) {
        return;
    }
    running_ = true;
    const std::vector<QWidget*> controls{signButton_, coSignButton_, verifyButton_,
                                         tabs_->tabBar()};
    for (QWidget* control : controls) {
        control->setEnabled(false);
    }
    // The operations raise nothing; the window comes back whatever happens.
    struct Restore {
        MainWindow* window;
        const std::vector<QWidget*>& controls;
        ~Restore() {
            for (QWidget* control : controls) {
                control->setEnabled(true);
            }
            window->running_ = false;
        }
    } restore{this, controls};
    (this->*command)();
}

void MainWindow::sign() {
    const QString text = signPath_->text();
    if (text.isEmpty()) {
        ui_->message(Tr("Please choose a file to Sign."), Icon::Exclamation);
        return;
    }
    const std::string path = PathBytes(text);
    if (encryptBox_->isChecked()) {
        operations_.Envelope(*ui_, path, path + ".sig");
    } else {
        operations_.SignFile(*ui_, path, path + ".sig");
    }
}

void MainWindow::coSign() {
    const QString text = coSignPath_->text();
    if (text.isEmpty()) {
        ui_->message(Tr("Please choose a file to Co-Sign."), Icon::Exclamation);
        return;
    }
    const std::string path = PathBytes(text);
    operations_.CoSignContent(*ui_, path, path);
}

void MainWindow::verify() {
    const QString text = verifyPath_->text();
    if (text.isEmpty()) {
        ui_->message(Tr("Please choose a file to Verify."), Icon::Exclamation);
        return;
    }
    const std::string path = PathBytes(text);
    if (decryptBox_->isChecked()) {
        operations_.ReceiveMessage(*ui_, path);
    } else {
        operations_.VerifySig(*ui_, path);
    }
}

void MainWindow::quit() {
    close();
    QCoreApplication::quit();
}

}  // namespace quilvane
