#pragma once
// Where a batch's calling thread and its workers meet: the files' turns, the
// calls to the person a worker hands to the calling thread, and each file's
// run kept until its turn to be told.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "operations/UserInterface.h"

namespace quilvane::batch {

struct Said {
    std::string text;
    Icon icon;
    MessageNotes notes;
};

// How one file's run ended, kept until its turn to be told.
struct FileRun {
    Outcome outcome = Outcome::Failed;
    std::string said;            // its last message
    std::string lines;           // the last lines below one of its messages
    std::vector<Said> messages;  // what a worker held back, to pass on in order
};

// Where the calling thread and the workers meet. Every call to the person
// happens on the calling thread (a window's dialogs must), one at a time.
struct Turns {
    // A call a worker waits on until the calling thread has made it.
    struct Call {
        std::function<void()> make;
        bool made = false;
    };

    std::mutex lock;
    std::condition_variable changed;
    std::deque<Call*> calls;
    std::optional<Progress> latest;  // the last progress a worker reported
    std::map<std::size_t, FileRun> ended;
    std::size_t approved = 0;  // files that may start
    std::size_t next = 0;      // the next file to start
    std::size_t told = 0;      // files whose end has been told
    // Files run side by side; until then one starts only once the one before
    // it has been told, as on the calling thread, so that a cancelled choice
    // or a refused secret ends the batch before the next file begins.
    bool sideBySide = false;
    bool closed = false;  // no more files start
    std::atomic<bool> cancelled = false;

    // Makes `call` on the calling thread; its result or its exception comes back.
    template <class Make>
    auto OnCallingThread(Make make) -> decltype(make()) {
        std::optional<decltype(make())> result;
        std::exception_ptr error;
        Call call{[&] {
            try {
                result.emplace(make());
            } catch (...) {
                error = std::current_exception();
            }
        }};
        std::unique_lock hold(lock);
        calls.push_back(&call);
        changed.notify_all();
        changed.wait(hold, [&] { return call.made; });
        if (error) {
            std::rethrow_exception(error);
        }
        return std::move(*result);
    }

    // Makes the calls waiting; `hold` is held before and after.
    void MakeCalls(std::unique_lock<std::mutex>& hold) {
        while (!calls.empty()) {
            Call* call = calls.front();
            calls.pop_front();
            hold.unlock();
            call->make();
            hold.lock();
            call->made = true;
            changed.notify_all();
        }
    }

    // Whether a worker may start the next file now.
    bool MayStart() const { return next < approved && (sideBySide || told == next); }

    // No file starts any more; those approved and not started stay undone.
    void Close() {
        closed = true;
        approved = next;
        changed.notify_all();
    }
};

// Stands between the single-file operations and the person for a batch:
// keeps each file's messages for the summary, passes them on or holds them
// back, and stops the files' own progress when the person stops the batch.
// A worker's interface holds its messages back until the file's turn, and
// has the calling thread make its other calls; called on the calling thread
// (by a message's action when it is passed on) it passes everything through.
class BatchInterface final : public UserInterface {
  public:
    BatchInterface(UserInterface& ui, BatchMessages messages, Turns* turns = nullptr)
        : ui_(ui), messages_(messages), turns_(turns), calling_(std::this_thread::get_id()) {}

    void message(const std::string& text, Icon icon, const MessageNotes& notes) override {
        if (Through()) {
            return ui_.message(text, icon, notes);
        }
        said_ = text;
        // A verified file's verdict lines, for the summary's details.
        if (!notes.informative.empty()) {
            lines_ = notes.informative;
        }
        if (messages_ != BatchMessages::Each) {
            return;
        }
        if (turns_ != nullptr) {
            held_.push_back({text, icon, notes});
        } else {
            ui_.message(text, icon, notes);
        }
    }
    bool ask(const std::string& text, const MessageNotes& notes) override {
        if (Through()) {
            return ui_.ask(text, notes);
        }
        return messages_ == BatchMessages::Each && Relay([&] { return ui_.ask(text, notes); });
    }
    std::optional<std::size_t> pickCertificate(const std::string& title, const std::string& prompt,
                                               const std::vector<CertificateRow>& rows) override {
        return Relay([&] { return ui_.pickCertificate(title, prompt, rows); });
    }
    EmptyStoreChoice emptyStore(const std::string& places) override {
        return Relay([&] { return ui_.emptyStore(places); });
    }
    std::optional<CertificateRequest> newCertificate() override {
        return Relay([&] { return ui_.newCertificate(); });
    }
    std::optional<Secret> secret(const SecretRequest& request) override {
        return Relay([&] { return ui_.secret(request); });
    }
    // A file's own progress shows in the batch's dialog between the files';
    // a worker's shows when the calling thread next looks.
    bool progress(const Progress& now) override {
        if (turns_ == nullptr || Through()) {
            return ui_.progress(now);
        }
        const std::lock_guard hold(turns_->lock);
        turns_->latest = now;
        return !turns_->cancelled;
    }
    void progressDone() override {
        if (turns_ == nullptr || Through()) {
            ui_.progressDone();
        }
    }
    std::int32_t openDocument(const std::string& path) override {
        return Relay([&] { return ui_.openDocument(path); });
    }

    // How the file just handled ended, and what it said, then forgotten.
    FileRun Take(Outcome outcome) {
        return {outcome, std::exchange(said_, {}), std::exchange(lines_, {}),
                std::exchange(held_, {})};
    }

  private:
    // A call from the calling thread to a worker's interface.
    bool Through() const { return turns_ != nullptr && std::this_thread::get_id() == calling_; }
    template <class Make>
    auto Relay(Make make) -> decltype(make()) {
        return turns_ == nullptr || Through() ? make() : turns_->OnCallingThread(make);
    }

    UserInterface& ui_;
    BatchMessages messages_;
    Turns* turns_;
    std::thread::id calling_;
    std::string said_;
    std::string lines_;
    std::vector<Said> held_;
};

}  // namespace quilvane::batch
