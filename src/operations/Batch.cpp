// Signing, verifying or co-signing a selection of files in one go. The files
// run on a few workers, one at a time until every choice and secret has been
// asked, then side by side; what they say is passed on in the order of the
// files, and every question is asked on the calling thread.

#include "operations/Batch.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "BatchTurns.h"
#include "crypto/Text.h"
#include "operations/Files.h"
#include "operations/Signing.h"
#include "operations/Streaming.h"

namespace quilvane {
namespace {

using batch::BatchInterface;
using batch::FileRun;
using batch::Said;
using batch::Turns;

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

// The files' outcomes as they are told, in order, and the summary they make.
class Tally {
  public:
    Tally(UserInterface& ui, BatchAction action, const std::vector<std::string>& paths)
        : ui_(ui), action_(action), paths_(paths) {}

    // Counts file `i`'s run and passes on what it held back. False when the
    // batch ends with it: stopped, or a refused secret (`refused`). A file
    // cut short by the end of the batch (`ending`) is only not done.
    bool Tell(std::size_t i, FileRun run, const std::string& refused, bool ending) {
        for (Said& said : run.messages) {
            ui_.message(said.text, said.icon, said.notes);
        }
        const std::string shown = ShownPath(paths_[i]);
        // SIGINT or SIGTERM ends the whole batch, not only the file at hand.
        if (StopRequested()) {
            completed_ += run.outcome == Outcome::Completed ? 1 : 0;
            End(Format(Tr("stopped after \"%1\""), shown));
            return false;
        }
        if (run.outcome == Outcome::Completed) {
            ++completed_;
            if (action_ == BatchAction::Verify) {
                details_ += shown + ":\r\n" + run.lines + "\r\n";
            }
            return true;
        }
        // Signing and co-signing end silently when the person cancels the
        // choice of certificate or a secret: that stops the whole batch.
        if (run.outcome == Outcome::Cancelled && (ending || action_ != BatchAction::Verify)) {
            End(Tr("cancelled"));
            return false;
        }
        ++failed_;
        failedNames_ += (failedNames_.empty() ? "" : ", ") + shown;
        details_ += shown + ":\r\n" + (run.said.empty() ? Tr("No file was named.") : run.said) +
                    "\r\n" + (run.lines.empty() ? "" : run.lines + "\r\n");
        if (!refused.empty()) {
            End(refused.ends_with('.') ? refused.substr(0, refused.size() - 1) : refused);
            return false;
        }
        return true;
    }

    // The summary, and the outcome of the whole batch.
    Outcome Summarise(BatchMessages messages) {
        const Wording wording = WordingOf(action_);
        const std::size_t undone = paths_.size() - completed_ - failed_;
        std::string summary = Format(Tr(wording.done), std::to_string(completed_));
        if (failed_ > 0) {
            summary =
                Format(Tr("%1, %2 failed: %3"), summary, std::to_string(failed_), failedNames_);
        }
        if (undone > 0) {
            summary = Format(Tr("%1, %2: %3"), summary,
                             Format(Tr(wording.notDone), std::to_string(undone)),
                             why_.value_or(Tr("cancelled")));
        }
        summary += ".";
        MessageNotes notes;
        if (messages == BatchMessages::SummaryOnly) {
            notes.details = details_;
        }
        ui_.message(summary, undone == 0 && failed_ == 0 ? Icon::Information : Icon::Exclamation,
                    notes);
        if (undone == 0 && failed_ == 0) {
            return Outcome::Completed;
        }
        return undone > 0 && failed_ == 0 ? Outcome::Cancelled : Outcome::Failed;
    }

  private:
    // The first reason the batch ended is the one the summary gives.
    void End(std::string why) {
        if (!why_) {
            why_ = std::move(why);
        }
    }

    UserInterface& ui_;
    BatchAction action_;
    const std::vector<std::string>& paths_;
    std::size_t completed_ = 0, failed_ = 0;
    std::optional<std::string> why_;
    std::string failedNames_, details_;
};

// Files side by side: four, whatever the cores. A small file waits on the
// disk's flushes about as long as it computes, so more files than cores keep
// the cores busy (measured on two: a quarter faster than two files at once);
// four keep memory small whatever the machine.
constexpr std::size_t kWorkers = 4;

}  // namespace

Outcome RunBatch(UserInterface& ui, BatchAction action, const std::vector<std::string>& paths,
                 BatchMessages messages) {
    // Between the files too, SIGINT and SIGTERM stop the batch rather than end
    // the program in the middle of it.
    StopSignals stops;
    // Side by side once nothing is left to ask: a token's key signs one file
    // at a time, and time-stamps wait on one server anyway. A file named twice
    // is handled twice, one after the other.
    std::vector<std::string> sorted = paths;
    std::ranges::sort(sorted);
    const bool distinct = std::ranges::adjacent_find(sorted) == sorted.end();
    const std::size_t workers = distinct ? kWorkers : 1;
    const bool pooled = workers > 1 && paths.size() > 1 && action != BatchAction::TimeStamp;
    Turns turns;
    turns.sideBySide = pooled && action == BatchAction::Verify;
    // The certificate is chosen once, when the first file needs it; its
    // unlocked key is kept with it, so the secret is asked once too. The
    // other files start as soon as it is, beside the first one.
    std::mutex choosing;
    std::optional<Certificate> chosen;
    // A secret refused for the chosen key ends the batch: asked again for
    // every file, each wrong PIN would bring the card closer to locking.
    std::string refused;
    const CertificateChooser once = [&](UserInterface& asked) {
        const std::lock_guard hold(choosing);
        if (!refused.empty()) {
            throw Error(status::Stopped, "The work was stopped.");
        }
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
        if (pooled && !chosen->KeyOneAtATime()) {
            const std::lock_guard open(turns.lock);
            turns.sideBySide = true;
            turns.changed.notify_all();
        }
        return *chosen;
    };
    const auto refusal = [&] {
        const std::lock_guard hold(choosing);
        return refused;
    };
    const auto runFile = [&](UserInterface& face, const std::string& path) {
        switch (action) {
            case BatchAction::Sign:
                return SignFile(face, path, path + ".sig", once);
            case BatchAction::Verify:
                return VerifySig(face, path, false);
            case BatchAction::CoSign:
                return CoSignContent(face, path, path, once);
            case BatchAction::TimeStamp:
                return TimeStampFile(face, path);
        }
        return Outcome::Failed;
    };
    const Wording wording = WordingOf(action);
    const auto announce = [&](std::size_t i) {
        return ui.progress({Format(Tr(wording.doing), ShownPath(paths[i])), i, paths.size()});
    };
    Tally tally(ui, action, paths);

    if (!pooled) {
        BatchInterface batch(ui, messages);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (!announce(i)) {
                break;
            }
            const Outcome outcome = runFile(batch, paths[i]);
            if (!tally.Tell(i, batch.Take(outcome), refusal(), false)) {
                break;
            }
        }
    } else {
        std::vector<std::unique_ptr<BatchInterface>> faces;
        std::vector<std::jthread> threads;
        for (std::size_t w = 0; w < std::min(workers, paths.size()); ++w) {
            faces.push_back(std::make_unique<BatchInterface>(ui, messages, &turns));
            threads.emplace_back([&turns, &runFile, &paths, face = faces.back().get()] {
                for (;;) {
                    std::size_t mine = 0;
                    {
                        std::unique_lock hold(turns.lock);
                        turns.changed.wait(hold, [&] { return turns.closed || turns.MayStart(); });
                        if (turns.next >= turns.approved) {
                            return;
                        }
                        mine = turns.next++;
                    }
                    Outcome outcome = Outcome::Failed;
                    try {
                        outcome = runFile(*face, paths[mine]);
                    } catch (...) {  // kept to this file, as on the calling thread
                    }
                    const std::lock_guard hold(turns.lock);
                    turns.ended.emplace(mine, face->Take(outcome));
                    turns.changed.notify_all();
                }
            });
        }
        // Should the calling thread fail, the workers end before they are joined.
        struct Closing {
            Turns& turns;
            ~Closing() {
                const std::lock_guard hold(turns.lock);
                turns.Close();
            }
        } closing{turns};
        // Side by side, files are announced a few ahead of those told, so
        // that the held messages stay few; one at a time, each once the one
        // before it is told. Each is told when its turn comes.
        const std::size_t ahead = 2 * threads.size();
        std::unique_lock hold(turns.lock);
        for (std::size_t told = 0; told < paths.size();) {
            while (!turns.closed && turns.approved < paths.size() &&
                   turns.approved < told + (turns.sideBySide ? ahead : 1)) {
                const std::size_t at = turns.approved;
                hold.unlock();
                const bool goOn = announce(at);
                hold.lock();
                if (!goOn) {
                    turns.cancelled = true;
                    turns.Close();
                    break;
                }
                ++turns.approved;
                turns.changed.notify_all();
            }
            turns.MakeCalls(hold);
            if (std::optional<Progress> now = std::exchange(turns.latest, std::nullopt)) {
                hold.unlock();
                const bool goOn = ui.progress(*now);
                hold.lock();
                if (!goOn) {
                    turns.cancelled = true;
                    turns.Close();
                }
            }
            if (turns.closed && told >= turns.next) {
                break;
            }
            const auto found = turns.ended.find(told);
            if (found == turns.ended.end()) {
                turns.changed.wait_for(hold, std::chrono::milliseconds(100));
                continue;
            }
            FileRun run = std::move(found->second);
            turns.ended.erase(found);
            const bool ending = turns.closed;
            hold.unlock();
            const bool goOn = tally.Tell(told, std::move(run), refusal(), ending);
            hold.lock();
            if (!goOn && !turns.closed) {
                turns.cancelled = true;
                turns.Close();
            }
            turns.told = ++told;
            turns.changed.notify_all();
        }
        hold.unlock();
    }
    ui.progressDone();
    return tally.Summarise(messages);
}

}  // namespace quilvane
