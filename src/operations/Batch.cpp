// Signing, verifying or co-signing a selection of files in one go.

#include "operations/Batch.h"

#include <optional>
#include <utility>

#include "crypto/Text.h"
#include "operations/Files.h"
#include "operations/Signing.h"
#include "operations/Streaming.h"

namespace quilvane {
namespace {

// Stands between the single-file operations and the person for a batch:
// keeps each file's messages for the summary, passes them on or holds them
// back, and stops the files' own progress when the person stops the batch.
class BatchInterface final : public UserInterface {
  public:
    BatchInterface(UserInterface& ui, BatchMessages messages) : ui_(ui), messages_(messages) {}

    void message(const std::string& text, Icon icon, const MessageNotes& notes) override {
        said_ = text;
        // A verified file's verdict lines, for the summary's details.
        if (!notes.informative.empty()) {
            lines_ = notes.informative;
        }
        if (messages_ == BatchMessages::Each) {
            ui_.message(text, icon, notes);
        }
    }
    bool ask(const std::string& text, const MessageNotes& notes) override {
        return messages_ == BatchMessages::Each && ui_.ask(text, notes);
    }
    std::optional<std::size_t> pickCertificate(const std::string& title, const std::string& prompt,
                                               const std::vector<CertificateRow>& rows) override {
        return ui_.pickCertificate(title, prompt, rows);
    }
    EmptyStoreChoice emptyStore(const std::string& places) override {
        return ui_.emptyStore(places);
    }
    std::optional<CertificateRequest> newCertificate() override { return ui_.newCertificate(); }
    std::optional<Secret> secret(const SecretRequest& request) override {
        return ui_.secret(request);
    }
    // A file's own progress shows in the batch's dialog between the files'.
    bool progress(const Progress& now) override { return ui_.progress(now); }
    void progressDone() override { ui_.progressDone(); }
    std::int32_t openDocument(const std::string& path) override { return ui_.openDocument(path); }

    // The last message of the file just handled, then forgotten.
    std::string takeLastMessage() { return std::exchange(said_, {}); }
    // The last line below a message of that file, then forgotten.
    std::string takeLastLines() { return std::exchange(lines_, {}); }

  private:
    UserInterface& ui_;
    BatchMessages messages_;
    std::string said_;
    std::string lines_;
};

// Patterns for the catalogue, each with its number or name at %1.
struct Wording {
    const char* doing;    // the progress label
    const char* done;     // the summary's count of completed files
    const char* notDone;  // the summary's count of files not reached
};

Wording WordingOf(BatchAction action) {
    switch (action) {
        case BatchAction::Sign:
            return {QUILVANE_N_("Signing \"%1\""), QUILVANE_N_("%1 signed"),
                    QUILVANE_N_("%1 not signed")};
        case BatchAction::Verify:
            return {QUILVANE_N_("Verifying \"%1\""), QUILVANE_N_("%1 verified"),
                    QUILVANE_N_("%1 not verified")};
        case BatchAction::CoSign:
            return {QUILVANE_N_("Co-signing \"%1\""), QUILVANE_N_("%1 co-signed"),
                    QUILVANE_N_("%1 not co-signed")};
        case BatchAction::TimeStamp:
            return {QUILVANE_N_("Time-stamping \"%1\""), QUILVANE_N_("%1 time-stamped"),
                    QUILVANE_N_("%1 not time-stamped")};
    }
    return {"%1", "%1", "%1"};
}

}  // namespace

Outcome RunBatch(UserInterface& ui, BatchAction action, const std::vector<std::string>& paths,
                 BatchMessages messages) {
    BatchInterface batch(ui, messages);
    // Between the files too, SIGINT and SIGTERM stop the batch rather than end
    // the program in the middle of it.
    StopSignals stops;
    // The certificate is chosen once, when the first file needs it; its
    // unlocked key is kept with it, so the secret is asked once too.
    std::optional<Certificate> chosen;
    // A secret refused for the chosen key ends the batch: asked again for
    // every file, each wrong PIN would bring the card closer to locking.
    std::string refused;
    const CertificateChooser once = [&](UserInterface& asked) {
        if (!chosen) {
            chosen = SelectCertificate(asked);
        }
        try {
            // Also logs in again to a token that logged out since the last file.
            chosen->UnlockKey();
        } catch (const Error& error) {
            if (error.number() == status::WrongPassphrase) {
                refused = error.description();
            }
            throw;
        }
        return *chosen;
    };
    const Wording wording = WordingOf(action);

    std::size_t completed = 0, stoppedAt = paths.size();
    std::string why = Tr("cancelled");  // the reason the files from stoppedAt on were not handled
    std::string failedNames, details;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        if (!ui.progress({Format(Tr(wording.doing), ShownPath(path)), i, paths.size()})) {
            stoppedAt = i;
            break;
        }
        Outcome outcome = Outcome::Failed;
        switch (action) {
            case BatchAction::Sign:
                outcome = SignFile(batch, path, path + ".sig", once);
                break;
            case BatchAction::Verify:
                outcome = VerifySig(batch, path, false);
                break;
            case BatchAction::CoSign:
                outcome = CoSignContent(batch, path, path, once);
                break;
            case BatchAction::TimeStamp:
                outcome = TimeStampFile(batch, path);
                break;
        }
        const std::string said = batch.takeLastMessage();
        const std::string lines = batch.takeLastLines();
        // SIGINT or SIGTERM ends the whole batch, not only the file at hand.
        if (StopRequested()) {
            completed += outcome == Outcome::Completed ? 1 : 0;
            stoppedAt = outcome == Outcome::Completed ? i + 1 : i;
            why = Format(Tr("stopped after \"%1\""), ShownPath(path));
            break;
        }
        if (outcome == Outcome::Completed) {
            ++completed;
            if (action == BatchAction::Verify) {
                details += ShownPath(path) + ":\r\n" + lines + "\r\n";
            }
            continue;
        }
        // Signing and co-signing end silently when the person cancels the
        // choice of certificate or a secret: that stops the whole batch.
        if (outcome == Outcome::Cancelled && action != BatchAction::Verify) {
            stoppedAt = i;
            break;
        }
        ++failed;
        failedNames += (failedNames.empty() ? "" : ", ") + ShownPath(path);
        details += ShownPath(path) + ":\r\n" + (said.empty() ? Tr("No file was named.") : said) +
                   "\r\n" + (lines.empty() ? "" : lines + "\r\n");
        if (!refused.empty()) {
            stoppedAt = i + 1;
            why = refused.ends_with('.') ? refused.substr(0, refused.size() - 1) : refused;
            break;
        }
    }
    ui.progressDone();

    std::string summary = Format(Tr(wording.done), std::to_string(completed));
    if (failed > 0) {
        summary = Format(Tr("%1, %2 failed: %3"), summary, std::to_string(failed), failedNames);
    }
    if (stoppedAt < paths.size()) {
        summary =
            Format(Tr("%1, %2: %3"), summary,
                   Format(Tr(wording.notDone), std::to_string(paths.size() - stoppedAt)), why);
    }
    summary += ".";
    const bool all = completed == paths.size();
    MessageNotes notes;
    if (messages == BatchMessages::SummaryOnly) {
        notes.details = details;
    }
    ui.message(summary, all ? Icon::Information : Icon::Exclamation, notes);
    if (all) {
        return Outcome::Completed;
    }
    return stoppedAt < paths.size() && failed == 0 ? Outcome::Cancelled : Outcome::Failed;
}

}  // namespace quilvane
