#pragma once
// A UserInterface that answers from a script and records what it was shown.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "operations/UserInterface.h"
#include "support/ScriptedSecrets.h"

namespace quilvane::test {

class ScriptedUserInterface : public UserInterface, public ScriptedSecrets {
  public:
    struct Message {
        std::string text;
        Icon icon;
        MessageNotes notes;
    };

    // What was shown, in order.
    std::vector<Message> messages;
    std::vector<std::string> questions;
    std::vector<MessageNotes> questionNotes;
    std::vector<std::vector<CertificateRow>> pickLists;
    std::vector<std::string> opened;
    std::vector<std::string> progressLabels;  // of the reports that count files
    std::vector<std::string> emptyStorePlaces;

    // Answers, taken from the front; when a queue is empty: No, cancel.
    std::deque<bool> answers;
    std::deque<std::optional<std::size_t>> picks;
    std::size_t stopAfter = SIZE_MAX;  // file reports before the person presses Cancel
    bool stopOnBytes = false;          // Cancel pressed as soon as bytes are counted
    std::deque<EmptyStoreChoice> emptyStoreChoices;
    // What else happens while the pick list is open, and at each count of bytes.
    std::function<void()> whilePicking;
    std::function<void(const Progress&)> onBytes;

    void message(const std::string& text, Icon icon, const MessageNotes& notes = {}) override {
        messages.push_back({text, icon, notes});
    }
    bool ask(const std::string& text, const MessageNotes& notes = {}) override {
        questions.push_back(text);
        questionNotes.push_back(notes);
        return take(answers, false);
    }
    std::optional<std::size_t> pickCertificate(const std::string&, const std::string&,
                                               const std::vector<CertificateRow>& rows) override {
        pickLists.push_back(rows);
        if (whilePicking) {
            whilePicking();
        }
        return take(picks, std::optional<std::size_t>{});
    }
    EmptyStoreChoice emptyStore(const std::string& places) override {
        emptyStorePlaces.push_back(places);
        return take(emptyStoreChoices, EmptyStoreChoice{});
    }
    std::optional<CertificateRequest> newCertificate() override { return std::nullopt; }
    std::optional<Secret> secret(const SecretRequest& request) override { return answer(request); }
    bool progress(const Progress& now) override {
        if (now.bytes) {
            if (onBytes) {
                onBytes(now);
            }
            return !stopOnBytes;
        }
        progressLabels.push_back(now.label);
        return progressLabels.size() <= stopAfter;
    }
    void progressDone() override {}
    std::int32_t openDocument(const std::string& path) override {
        opened.push_back(path);
        return 42;  // started, as the desktop reports it
    }

  private:
    template <typename T>
    static T take(std::deque<T>& queue, T otherwise) {
        if (queue.empty()) {
            return otherwise;
        }
        T value = std::move(queue.front());
        queue.pop_front();
        return value;
    }
};

}  // namespace quilvane::test
