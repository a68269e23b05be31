#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

#include "app/TerminalPassphrase.h"
#include "operations/FileStreams.h"

namespace quilvane {
namespace {

// Appends `c` to a secret being read. When the text must grow, its old
// buffer is wiped first, so that no copy of the secret stays behind.
void AppendSecretly(std::string& text, char c) {
    if (text.size() == text.capacity()) {
        std::string grown;
        grown.reserve(2 * text.capacity() + 1);
        grown.assign(text);
        WipeText(text);
        text.swap(grown);
    }
    text.push_back(c);
}

}  // namespace

std::optional<Secret> ReadSecretLine(const std::function<std::optional<char>()>& next,
                                     bool& ended) {
    std::string line;
    std::optional<char> c;
    while ((c = next()) && *c != '\n') {
        AppendSecretly(line, *c);
    }
    ended = !c;
    if (ended && line.empty()) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();  // still in the buffer, which the Secret wipes
    }
    return Secret(std::move(line));
}

namespace {

// While echo is off, a signal that ends the program first gives the terminal
// its settings back, so that the shell is not left without echo.
volatile std::sig_atomic_t gQuietFd = -1;
termios gSavedSettings{};

extern "C" void RestoreTerminalAndRaise(int signal) {
    if (gQuietFd >= 0) {
        tcsetattr(gQuietFd, TCSANOW, &gSavedSettings);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void WriteAll(int fd, const std::string& text) {
    // A terminal that takes nothing more is not waited on.
    (void)quilvane::WriteAll(fd, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// Shows `prompt` on the terminal `fd` and reads one line with echo off. Nothing when the
// input ends before anything was typed.
std::optional<Secret> ReadQuietly(int fd, const std::string& prompt) {
    termios saved{};
    const bool quiet = tcgetattr(fd, &saved) == 0;
    struct sigaction previous[std::size(kEndingSignals)] = {};
    if (quiet) {
        gSavedSettings = saved;
        gQuietFd = fd;
        struct sigaction restore = {};
        restore.sa_handler = RestoreTerminalAndRaise;
        sigemptyset(&restore.sa_mask);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            sigaction(kEndingSignals[i], &restore, &previous[i]);
        }
        termios settings = saved;
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        settings.c_lflag |= ECHONL;  // the Enter key still moves to the next line
        tcsetattr(fd, TCSAFLUSH, &settings);
    }
    // Echo is off before the prompt shows, so nothing typed after it is seen.
    WriteAll(fd, prompt);

    bool ended = false;  // the input ended before a line feed
    std::optional<Secret> answer = ReadSecretLine(
        [fd]() -> std::optional<char> {
            char c = 0;
            ssize_t n = 0;
            while ((n = ::read(fd, &c, 1)) < 0 && errno == EINTR) {
            }
            return n == 1 ? std::optional<char>(c) : std::nullopt;
        },
        ended);

    if (quiet) {
        // Whatever was typed after the line stays for the questions to come.
        tcsetattr(fd, TCSANOW, &saved);
        gQuietFd = -1;
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            sigaction(kEndingSignals[i], &previous[i], nullptr);
        }
        if (ended) {
            WriteAll(fd, "\n");
        }
    }
    return answer;
}

}  // namespace

PassphraseReader TerminalPassphraseReader() {
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
        ::close(tty);
        return [](const std::string& prompt) -> std::optional<Secret> {
            const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (fd < 0) {
                return std::nullopt;
            }
            std::optional<Secret> answer = ReadQuietly(fd, prompt);
            ::close(fd);
            return answer;
        };
    }
    if (isatty(STDIN_FILENO) != 0) {
        return [](const std::string& prompt) { return ReadQuietly(STDIN_FILENO, prompt); };
    }
    return {};
}

}  // namespace quilvane
