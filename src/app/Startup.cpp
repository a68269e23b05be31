#include "app/Startup.h"

#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/Dispatch.h"
#include "app/MainWindow.h"
#include "app/OperationTable.h"
#include "app/QtUserInterface.h"
#include "app/TerminalUserInterface.h"

namespace quilvane {
namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// A display to show windows on: DISPLAY or WAYLAND_DISPLAY names one.
bool HasDisplay() {
    return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
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
            std::cerr << "Unknown option \"" << command.option << "\".\n"
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

int RunInWindow(const CommandLine& command, const char* argv0) {
    // Qt sees only the program's name: the paths on our command line are not
    // options of its own, even when they look like "-style" or "-platform".
    int qtArgc = 1;
    char* qtArgv[] = {const_cast<char*>(argv0), nullptr};
    QApplication application(qtArgc, qtArgv);
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

int RunQuilvane(int argc, char** argv) {
    // Dates and times in the user's own form, in either mode.
    std::setlocale(LC_ALL, "");
    const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "quilvane";
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    const CommandLine command = ParseCommandLine(arguments);

    if (std::optional<int> status = AnswerWithoutRunning(command, program)) {
        return *status;
    }
    if (!HasDisplay()) {
        return RunInTerminal(command, program);
    }
    return RunInWindow(command, program.c_str());
}

}  // namespace quilvane
