#include "app/Startup.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Dispatch.h"
#include "app/MainWindow.h"
#include "app/OperationTable.h"
#include "app/QtUserInterface.h"
#include "app/TerminalUserInterface.h"
#include "crypto/Error.h"
#include "crypto/Text.h"
#include "operations/Settings.h"

namespace quilvane {
namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

struct XcbDisconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// Whether an X server answers at `display`. The connection that asked stays
// open until the program ends: a server left with no client starts afresh
// (Xvfb does unless told otherwise) and turns away whoever connects during
// that moment, which would be Qt, right after this check.
bool X11Answers(const std::string& display) {
    static std::unique_ptr<xcb_connection_t, XcbDisconnect> kept;
    std::unique_ptr<xcb_connection_t, XcbDisconnect> connection(
        xcb_connect(display.c_str(), nullptr));
    if (xcb_connection_has_error(connection.get()) != 0) {
        return false;
    }
    kept = std::move(connection);
    return true;
}

// Why the Wayland display `display` cannot be used; "" when it can.
std::string WaylandProblem(const std::string& display) {
    const std::string named = Format(Tr("the Wayland display \"%1\""), display);
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
    if (platforms.entryList({QStringLiteral("libqwayland-*.so")}, QDir::Files).isEmpty()) {
        return Format(Tr("%1 cannot be used without Qt's Wayland platform plugin (qt6-wayland)"),
                      named);
    }
    const std::string folder = Variable("XDG_RUNTIME_DIR");
    const std::string socketPath = display.starts_with('/') ? display : folder + "/" + display;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    bool answers = false;
    if ((display.starts_with('/') || !folder.empty()) &&
        socketPath.size() < sizeof address.sun_path) {
        socketPath.copy(address.sun_path, socketPath.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        answers = fd >= 0 &&
                  ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return answers ? "" : Format(Tr("%1 cannot be reached"), named);
}

// Whether the window can be shown. Of two displays named, the one that works
// is handed to Qt, which would otherwise abort on the other; when none does,
// one line says why before the terminal takes over.
bool CanShowWindow() {
    const std::string x11 = Variable("DISPLAY");
    const std::string wayland = Variable("WAYLAND_DISPLAY");
    if (x11.empty() && wayland.empty()) {
        return false;
    }
    // A platform the person chose themselves is theirs to answer for.
    const std::string chosen = Variable("QT_QPA_PLATFORM");
    if (!chosen.empty() && chosen != "xcb" && chosen != "wayland") {
        return true;
    }
    std::string problems;
    if (!wayland.empty() && chosen != "xcb") {
        const std::string problem = WaylandProblem(wayland);
        if (problem.empty()) {
            setenv("QT_QPA_PLATFORM", "wayland", 0);
            return true;
        }
        problems = problem;
    }
    if (!x11.empty() && chosen != "wayland") {
        if (X11Answers(x11)) {
            setenv("QT_QPA_PLATFORM", "xcb", 0);
            return true;
        }
        const std::string problem = Format(Tr("the display \"%1\" cannot be reached"), x11);
        problems = problems.empty() ? problem : Format(Tr("%1 and %2"), problems, problem);
    }
    if (problems.empty()) {
        problems = Format(Tr("no display is named for the platform \"%1\""), chosen);
    }
    std::cerr << Format(Tr("Quilvane: %1; working in the terminal."), problems) << "\n";
    return false;
}

// Prints what the command line asks for that needs no operation and no
// window. Returns the exit status, or nothing when there is work to do.
std::optional<int> AnswerWithoutRunning(const CommandLine& command, const std::string& program) {
    switch (command.form) {
        case CommandLine::Form::Help:
            std::cout << UsageText(program);
            return kExitCompleted;
        case CommandLine::Form::Version:
            std::cout << VersionText();
            return kExitCompleted;
        case CommandLine::Form::UnknownOption:
            std::cerr << Format(Tr("Unknown option \"%1\"."), command.option) << "\n"
                      << ShortUsageText(program);
            return kExitUsage;
        case CommandLine::Form::OptionValue:
            std::cerr << Format(Tr("The option \"%1\" needs %2 after it."), command.option,
                                ValueWanted(command.option))
                      << "\n"
                      << ShortUsageText(program);
            return kExitUsage;
        case CommandLine::Form::OptionMisplaced:
            std::cerr << Format(
                             Tr("The option \"%1\" goes only before --verify FILE... or FILE v."),
                             command.option)
                      << "\n"
                      << ShortUsageText(program);
            return kExitUsage;
        default:
            return std::nullopt;
    }
}

// Without a display there is no window: messages are printed and questions
// answered on standard input.
int RunInTerminal(const CommandLine& command, const std::string& program) {
    if (command.form == CommandLine::Form::Interactive) {
        std::cerr << ShortUsageText(program);
        return kExitUsage;
    }
    TerminalUserInterface ui = TerminalUserInterface::Standard();
    const int status = RunCommandLine(command, OperationTable::Real(), ui, BatchMessages::Each);
    std::cout.flush();
    return status;
}

// Qt's own texts (OK, Cancel, Yes, No) in the person's language, from
// qtbase's catalogues; English when there is none.
void UseQtCatalogue(QApplication& application, QTranslator& translator) {
    if (translator.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        application.installTranslator(&translator);
    }
}

// The message of a run that ends before its window is made.
void ShowAlone(const std::string& text, const char* argv0) {
    int qtArgc = 1;
    char* qtArgv[] = {const_cast<char*>(argv0), nullptr};
    QApplication application(qtArgc, qtArgv);
    QTranslator qtTexts;
    UseQtCatalogue(application, qtTexts);
    QtUserInterface().message(text, Icon::Critical);
}

int RunInWindow(const CommandLine& command, const char* argv0) {
    // Qt sees only the program's name: the paths on our command line are not
    // options of its own, even when they look like "-style" or "-platform".
    int qtArgc = 1;
    char* qtArgv[] = {const_cast<char*>(argv0), nullptr};
    QApplication application(qtArgc, qtArgv);
    QTranslator qtTexts;
    UseQtCatalogue(application, qtTexts);
    QApplication::setApplicationName(kApplicationTitle);
    // Lets a Wayland desktop match the window to its launcher and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quilvane.Quilvane"));

    const OperationTable operations = OperationTable::Real();
    MainWindow window(operations);

    // The window is loaded but not shown yet, so the operation's boxes stand
    // on their own.
    QtUserInterface ui;
    const int status = RunCommandLine(command, operations, ui, BatchMessages::SummaryOnly);
    if (command.endsProgram()) {
        return status;
    }

    window.show();  // centred on the screen as it was made
    return QApplication::exec();
}

}  // namespace

bool KeepSecretsInProcess() {
    // Without this a crash would write the passphrase and the unlocked key
    // into a core file, and another process of the user could read them.
    const rlimit noCore{0, 0};
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 || ::setrlimit(RLIMIT_CORE, &noCore) != 0) {
        std::cerr << Format(Tr("Quilvane: cannot keep secrets out of core dumps: %1."),
                            std::strerror(errno))
                  << "\n";
        return false;
    }
    return true;
}

int RunQuilvane(int argc, char** argv) {
    // Before anything that could touch a secret.
    if (!KeepSecretsInProcess()) {
        return kExitFailed;
    }
    // Dates, times and texts in the user's own form and language, in either
    // mode. Numbers are read with from_chars, which no locale changes.
    std::setlocale(LC_ALL, "");
    UseCatalogues(QUILVANE_LOCALE_DIR);
    const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "quilvane";
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    const CommandLine command = ParseCommandLine(arguments);

    if (std::optional<int> status = AnswerWithoutRunning(command, program)) {
        return *status;
    }
    // A settings file that says something unusable stops the run before any
    // work, as an unusable command line does: its intent is not guessed at.
    try {
        UseNetworkSettings(WithOptions(ReadSettings(SettingsPath()), command.options));
    } catch (const Error& error) {
        std::cerr << Format(Tr("Quilvane: %1"), error.description()) << "\n";
        if (!command.options.json && CanShowWindow()) {
            ShowAlone(error.description(), program.c_str());
        }
        return kExitUsage;
    }
    // The report is all that is printed: no window, no question. Programs
    // read it, so its texts stay English whatever the person's language.
    if (command.options.json) {
        std::setlocale(LC_MESSAGES, "C");
        return RunJsonReport(command, OperationTable::Real(), std::cout);
    }
    if (!CanShowWindow()) {
        return RunInTerminal(command, program);
    }
    return RunInWindow(command, program.c_str());
}

}  // namespace quilvane
