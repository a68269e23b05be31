#pragma once
// A UserInterface that answers from a script and records what it was shown.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "crypto/UserInterface.h"

namespace quilvane::test {

class ScriptedUserInterface : public UserInterface {
  public:
    struct Message {
        std::string text;
        Icon icon;
    };

    // What was shown, in order.
    std::vector<Message> messages;
    std::vector<std::string> questions;
    std::vector<std::vector<CertificateRow>> pickLists;
    std::vector<std::string> pickTitles, pickPrompts;
    std::vector<std::string> passphrasePrompts;
    std::vector<std::string> opened;

    // Answers, taken from the front; when a queue is empty: No, cancel, cancel.
    std::deque<bool> answers;
    std::deque<std::optional<std::size_t>> picks;
    std::deque<std::optional<std::string>> passphrases;
    std::int32_t openResult = 42;

    void message(const std::string& text, Icon icon) override { messages.push_back({text, icon}); }
    bool ask(const std::string& text) override {
        questions.push_back(text);
        return take(answers, false);
    }
    std::optional<std::size_t> pickCertificate(const std::string& title, const std::string& prompt,
                                               const std::vector<CertificateRow>& rows) override {
        pickTitles.push_back(title);
        pickPrompts.push_back(prompt);
        pickLists.push_back(rows);
        return take(picks, std::optional<std::size_t>{});
    }
    std::optional<std::string> passphrase(const std::string& prompt) override {
        passphrasePrompts.push_back(prompt);
        return take(passphrases, std::optional<std::string>{});
    }
    std::int32_t OpenDocument(const std::string& DocName) override {
        opened.push_back(DocName);
        return openResult;
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
