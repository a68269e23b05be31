#include "app/TerminalUserInterface.h"
#include "crypto/Text.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <streambuf>

#include "app/OpenDocument.h"
#include "app/TerminalPassphrase.h"

namespace quilvane {
namespace {

// Texts of the service and the operations break lines with CR LF.
std::string WithLineFeeds(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        result += text[i];
    }
    return result;
}

// The prompt as it stands before the typed passphrase.
std::string PassphrasePrompt(const std::string& prompt) {
    std::string text = WithLineFeeds(prompt);
    if (text.empty()) {
        return Tr("Passphrase: ");
    }
    const char last = text.back();
    if (std::isspace(static_cast<unsigned char>(last)) != 0) {
        return text;
    }
    return text + (last == ':' || last == '?' ? " " : ": ");
}

// The row number typed for a list of `count`, or nothing when it is not one.
std::optional<std::size_t> RowNumber(const std::string& answer, std::size_t count) {
    if (answer.empty() || answer.size() > 9) {
        return std::nullopt;
    }
    std::size_t number = 0;
    for (char c : answer) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<std::size_t>(c - '0');
    }
    if (number < 1 || number > count) {
        return std::nullopt;
    }
    return number;
}

// Standard input read a byte at a time: what follows an answer stays unread
// rather than in a buffer of the process, where a piped secret line would
// linger unwiped until the memory is reused.
class UnbufferedInput : public std::streambuf {
  public:
    explicit UnbufferedInput(int fd) : fd_(fd) {}

  protected:
    int_type underflow() override {
        ssize_t n = 0;
        while ((n = ::read(fd_, &byte_, 1)) < 0 && errno == EINTR) {
        }
        if (n != 1) {
            byte_ = 0;  // it may hold the last character of a secret
            return traits_type::eof();
        }
        setg(&byte_, &byte_, &byte_ + 1);
        return traits_type::to_int_type(byte_);
    }

  private:
    int fd_;
    char byte_ = 0;
};

}  // namespace

TerminalUserInterface::TerminalUserInterface(std::istream& in, std::ostream& out, std::ostream& err,
                                             PassphraseReader readPassphrase)
    : in_(in), out_(out), err_(err), readPassphrase_(std::move(readPassphrase)) {}

TerminalUserInterface TerminalUserInterface::Standard() {
    // One reader for every line of standard input, secret or not: two would
    // each lose what the other had read ahead.
    auto buffer = std::make_unique<UnbufferedInput>(STDIN_FILENO);
    auto in = std::make_unique<std::istream>(buffer.get());
    TerminalUserInterface ui(*in, std::cout, std::cerr, TerminalPassphraseReader());
    ui.ownBuffer_ = std::move(buffer);
    ui.ownInput_ = std::move(in);
    ui.echoAnswers_ = isatty(STDIN_FILENO) == 0;
    ui.showProgress_ = isatty(STDERR_FILENO) != 0;
    return ui;
}

std::optional<std::string> TerminalUserInterface::readLine() {
    std::string line;
    const bool ended = !std::getline(in_, line);
    if (echoAnswers_) {
        out_ << line << '\n';
        out_.flush();
    }
    // A last line without its line feed still counts.
    if (ended && line.empty()) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

void TerminalUserInterface::message(const std::string& text, Icon icon, const MessageNotes& notes) {
    std::ostream& stream = (icon == Icon::Critical || icon == Icon::Exclamation) ? err_ : out_;
    // What was said so far on the other stream comes first.
    (&stream == &err_ ? out_ : err_).flush();
    stream << WithLineFeeds(text) << '\n';
    for (const std::string* note : {&notes.informative, &notes.details}) {
        if (!note->empty()) {
            stream << WithLineFeeds(*note) << '\n';
        }
    }
    stream.flush();
}

bool TerminalUserInterface::ask(const std::string& text, const MessageNotes& notes) {
    err_.flush();
    out_ << WithLineFeeds(text);
    // The note comes before the prompt, so the answer is the last thing on the screen.
    if (!notes.informative.empty()) {
        out_ << '\n' << WithLineFeeds(notes.informative);
    }
    out_ << ' ' << Tr("[y/N]") << ' ';
    out_.flush();
    const std::optional<std::string> answer = readLine();
    if (!answer) {
        return false;
    }
    const std::string word = Lowered(Trimmed(*answer));
    // The English answers stay understood in every language.
    return word == "y" || word == "yes" || word == Lowered(Tr("y")) || word == Lowered(Tr("yes"));
}

std::optional<std::size_t> TerminalUserInterface::pickCertificate(
    const std::string& /*title*/, const std::string& prompt,
    const std::vector<CertificateRow>& rows) {
    err_.flush();
    out_ << WithLineFeeds(prompt) << '\n';
    if (rows.empty()) {
        // Nothing to choose: all that is left is to cancel.
        out_ << Tr("(no certificates)") << '\n';
        out_.flush();
        return std::nullopt;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        out_ << Format(Tr("%1. %2 | issued by %3 | expires %4"), std::to_string(i + 1),
                       rows[i].issuedTo, rows[i].issuedBy, rows[i].expires);
        // Where it lives tells apart two certificates of the same name.
        if (!rows[i].location.empty()) {
            out_ << " | " << rows[i].location;
        }
        out_ << '\n';
    }
    for (;;) {
        out_ << Tr("Certificate number (empty to cancel): ");
        out_.flush();
        const std::optional<std::string> answer = readLine();
        if (!answer) {
            return std::nullopt;
        }
        const std::string typed = Trimmed(*answer);
        if (typed.empty()) {
            return std::nullopt;
        }
        if (std::optional<std::size_t> number = RowNumber(typed, rows.size())) {
            return *number - 1;
        }
        out_ << Format(Tr("Please type a number from 1 to %1."), std::to_string(rows.size()))
             << '\n';
    }
}

std::optional<std::string> TerminalUserInterface::askLine(const std::string& prompt) {
    err_.flush();
    out_ << prompt;
    out_.flush();
    return readLine();
}

EmptyStoreChoice TerminalUserInterface::emptyStore(const std::string& places) {
    err_.flush();
    out_ << Tr("You have no certificate to sign with yet. Quilvane looked in:") << '\n';
    std::istringstream lines(places);
    for (std::string line; std::getline(lines, line);) {
        out_ << "  " << line << '\n';
    }
    out_ << Tr(
        "Bring in a certificate you have (PKCS #12, PEM or DER) with\n"
        "  quilvane --import FILE\n"
        "or make a self-signed certificate to try Quilvane with\n"
        "  quilvane --create-certificate\n");
    out_.flush();
    return {};
}

std::optional<CertificateRequest> TerminalUserInterface::newCertificate() {
    CertificateRequest request;
    std::optional<std::string> name;
    while ((name = askLine(Tr("Your name: "))) && Trimmed(*name).empty()) {
    }
    std::optional<std::string> email =
        name ? askLine(Tr("Your e-mail address (may be empty): ")) : std::nullopt;
    std::optional<std::string> type;
    while (email && (type = askLine(Tr("Key type, 1 for RSA-3072 or 2 for P-256 [1]: "))) &&
           Trimmed(*type) != "" && Trimmed(*type) != "1" && Trimmed(*type) != "2") {
    }
    if (!type) {
        return std::nullopt;
    }
    request.details = {Trimmed(*name), Trimmed(*email),
                       Trimmed(*type) == "2" ? NewKeyType::P256 : NewKeyType::Rsa3072};
    for (;;) {
        std::optional<Secret> first = secret(
            {SecretRequest::Kind::Passphrase, Tr("A passphrase to protect the new key:"), false});
        std::optional<Secret> again =
            first
                ? secret({SecretRequest::Kind::Passphrase, Tr("The same passphrase again:"), false})
                : std::nullopt;
        if (!again) {
            return std::nullopt;
        }
        if (!first->text().empty() && first->text() == again->text()) {
            request.passphrase = std::move(*first);
            return request;
        }
        out_ << (first->text().empty() ? Tr("The key needs a passphrase.")
                                       : Tr("The two passphrases differ."))
             << '\n';
    }
}

std::optional<Secret> TerminalUserInterface::secret(const SecretRequest& request) {
    out_.flush();
    err_.flush();
    if (readPassphrase_) {
        return readPassphrase_(PassphrasePrompt(request.prompt));
    }
    out_ << PassphrasePrompt(request.prompt);
    out_.flush();
    bool ended = false;
    std::optional<Secret> answer = ReadSecretLine(
        [this]() -> std::optional<char> {
            const int c = in_.get();
            return c == std::istream::traits_type::eof()
                       ? std::nullopt
                       : std::optional<char>(static_cast<char>(c));
        },
        ended);
    // Unlike the other answers a secret is never echoed: the transcript shows
    // the line it took, as a terminal without echo does.
    if (echoAnswers_) {
        out_ << '\n';
        out_.flush();
    }
    return answer;
}

bool TerminalUserInterface::progress(const Progress& now) {
    using namespace std::chrono;
    const auto time = steady_clock::now();
    if (progressStart_ == steady_clock::time_point{}) {
        progressStart_ = time;
    }
    // Quick work shows nothing, and the line is redrawn a few times a second.
    if (!showProgress_ || time - progressStart_ < milliseconds(500) ||
        time - progressDrawn_ < milliseconds(200)) {
        return true;
    }
    progressDrawn_ = time;
    progressShown_ = true;
    char line[96];
    const double seconds = duration<double>(time - progressStart_).count();
    if (now.bytes && now.total > 0) {
        std::snprintf(line, sizeof line, "%3d%%  %.1f MB/s",
                      static_cast<int>(100.0 * static_cast<double>(now.done) /
                                       static_cast<double>(now.total)),
                      static_cast<double>(now.done) / 1e6 / seconds);
    } else if (now.total == 0) {
        std::snprintf(line, sizeof line, "%.0f s", seconds);
    } else {
        const std::string counted =
            Format(Tr("%1 of %2"), std::to_string(now.done + 1), std::to_string(now.total));
        std::snprintf(line, sizeof line, "%s", counted.c_str());
    }
    out_.flush();
    err_ << '\r' << WithLineFeeds(now.label) << "  " << line << "\x1B[K";
    err_.flush();
    return true;
}

void TerminalUserInterface::progressDone() {
    if (progressShown_) {
        err_ << "\r\x1B[K";
        err_.flush();
    }
    progressShown_ = false;
    progressStart_ = progressDrawn_ = {};
}

std::int32_t TerminalUserInterface::openDocument(const std::string& path) {
    return OpenDocument(path);
}

}  // namespace quilvane
