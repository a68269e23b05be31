#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "crypto/PersonalFiles.h"
#include "crypto/Secret.h"

namespace quilvane {

// The icon of a message box.
enum class Icon { None, Information, Critical, Exclamation };

// One line of the certificate pick list.
struct CertificateRow {
    std::string issuedTo;  // the subject's simple name
    std::string issuedBy;  // the issuer's simple name
    std::string expires;   // the end of validity, as a date in the user's locale
    std::string location;  // where it lives: its file, its token, its NSS database
};

// A certificate the person asks to have made, and the passphrase for its key.
struct CertificateRequest {
    NewCertificate details;
    Secret passphrase;
};

// What the person does about a store that holds no certificate.
struct EmptyStoreChoice {
    enum class Kind { Cancel, Import, Create };
    Kind kind = Kind::Cancel;
    std::string path;                          // Import: the file to import
    std::optional<CertificateRequest> create;  // Create: the certificate to make
};

// What a message may carry besides its text, kept apart so that the text
// itself stays exactly what users and scripts know.
struct MessageNotes {
    // A line below the text: the window's informative text; in the terminal
    // one more line after the message.
    std::string informative;
    // Lines a person may open: the window's "Show Details..." part; in the
    // terminal more lines after the message.
    std::string details;
    // One more thing the person may do from the window's box: a button that
    // closes it and runs `run`. The terminal offers none.
    struct Action {
        std::string label;
        std::function<void()> run;
    };
    std::optional<Action> action = {};
};

// How far a long piece of work has come: `done` of `total` files, or bytes.
struct Progress {
    std::string label;  // what is being done, e.g. "Signing \"report.pdf\""
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    bool bytes = false;
};

// Everything the operations ask of the person in front of the program. The
// Qt window, the terminal mode and the tests each implement it. Texts are
// UTF-8; paths inside them are passed through as bytes.
class UserInterface {
  public:
    virtual ~UserInterface() = default;

    // A modal message with an OK button and the title "Quilvane".
    virtual void message(const std::string& text, Icon icon, const MessageNotes& notes = {}) = 0;

    // A modal Yes/No question with the question icon; true for Yes.
    virtual bool ask(const std::string& text, const MessageNotes& notes = {}) = 0;

    // A modal single-choice pick list. Returns the index of the chosen row, or
    // nothing when the user cancels or closes the list.
    virtual std::optional<std::size_t> pickCertificate(const std::string& title,
                                                       const std::string& prompt,
                                                       const std::vector<CertificateRow>& rows) = 0;

    // Instead of an empty pick list: says that there is no certificate yet and
    // where they were looked for (`places`, one a line), and offers to import
    // a file or to create a certificate. The terminal only tells how, and
    // cancels.
    virtual EmptyStoreChoice emptyStore(const std::string& places) = 0;

    // Asks for a new certificate's name, e-mail address and key type, and for
    // the passphrase of its key, twice; nothing when the user cancels.
    virtual std::optional<CertificateRequest> newCertificate() = 0;

    // Asks for a passphrase or PIN; nothing when the user cancels.
    virtual std::optional<Secret> secret(const SecretRequest& request) = 0;

    // Shows how far work has come, once it has taken long enough to be worth
    // showing. Returns false when the person asked to stop.
    virtual bool progress(const Progress& now) = 0;
    // The work progress() followed has ended: whatever showed it goes away.
    virtual void progressDone() = 0;

    // Opens a document in the desktop's associated application without waiting.
    // Returns 33 or more when the application was started, otherwise a failure
    // code: 2 file not found, 3 path not found, 5 access denied, 31 no
    // associated application, 0 anything else.
    virtual std::int32_t openDocument(const std::string& path) = 0;
};

// The crypto layer's secret prompt, answered by `ui`, which must outlive it.
inline SecretPrompt PromptThrough(UserInterface& ui) {
    return [&ui](const SecretRequest& request) { return ui.secret(request); };
}

}  // namespace quilvane
