#pragma once
// A secret prompt that answers from a script and records what it was asked.

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "crypto/Secret.h"

namespace quilvane::test {

struct ScriptedSecrets {
    std::vector<std::string> passphrasePrompts;
    // Answers, taken from the front; when empty: cancel.
    std::deque<std::optional<std::string>> passphrases;

    std::optional<Secret> answer(const SecretRequest& request) {
        passphrasePrompts.push_back(request.prompt);
        if (passphrases.empty()) {
            return std::nullopt;
        }
        std::optional<std::string> next = std::move(passphrases.front());
        passphrases.pop_front();
        return next ? std::optional<Secret>(Secret(std::move(*next))) : std::nullopt;
    }
    SecretPrompt prompt() {
        return [this](const SecretRequest& request) { return answer(request); };
    }
};

}  // namespace quilvane::test
