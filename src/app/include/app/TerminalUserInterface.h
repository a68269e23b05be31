#pragma once
// The user interface of the terminal mode, used when there is no display:
// messages are printed, questions and choices are answered on standard input.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "app/TerminalPassphrase.h"
#include "operations/UserInterface.h"

namespace quilvane {

class TerminalUserInterface : public UserInterface {
  public:
    // Answers are read from `in`; messages go to `out`, or to `err` for the
    // critical and exclamation icons. Passphrases go through `readPassphrase`,
    // or, when it is empty, are read as one line of `in`.
    TerminalUserInterface(std::istream& in, std::ostream& out, std::ostream& err,
                          PassphraseReader readPassphrase = {});

    // The process's own streams and terminal. Standard input is read without
    // std::cin, so that no buffer of the process keeps a piped secret.
    static TerminalUserInterface Standard();

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
    // One line of `in` without its line end; nothing at the end of input.
    std::optional<std::string> readLine();
    // Shows `prompt` and reads the answer line; nothing at the end of input.
    std::optional<std::string> askLine(const std::string& prompt);

    // Standard()'s reader of standard input, which `in_` then refers to.
    std::unique_ptr<std::streambuf> ownBuffer_;
    std::unique_ptr<std::istream> ownInput_;
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    PassphraseReader readPassphrase_;
    // When answers come from a file or a pipe, nothing shows what was typed:
    // the answer (never a secret) is echoed, so the transcript reads line by line.
    bool echoAnswers_ = false;
    // Progress is drawn on one line of standard error when that is a terminal.
    bool showProgress_ = false;
    bool progressShown_ = false;
    std::chrono::steady_clock::time_point progressStart_{}, progressDrawn_{};
};

}  // namespace quilvane
