#pragma once
// How the crypto layer asks for a secret (a passphrase, a PIN) without
// knowing who answers it: the window, the terminal or a test.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "crypto/Text.h"

namespace quilvane {

// Overwrites `size` bytes at `data` in a way the compiler cannot leave out,
// so that a secret does not linger in memory that is given back.
void WipeMemory(void* data, std::size_t size) noexcept;

// Overwrites the characters of `text`, all of its buffer, and empties it.
void WipeText(std::string& text) noexcept;

// A passphrase or PIN. Moved, never copied; its memory is wiped when it goes
// and when it is moved from.
class Secret {
  public:
    Secret() = default;
    explicit Secret(std::string&& text) noexcept : text_(std::move(text)) { WipeText(text); }
    Secret(Secret&& other) noexcept : text_(other.text_) { other.Wipe(); }
    Secret& operator=(Secret&& other) noexcept {
        if (this != &other) {
            Wipe();
            text_ = other.text_;
            other.Wipe();
        }
        return *this;
    }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { Wipe(); }

    const std::string& text() const noexcept { return text_; }
    void Wipe() noexcept { WipeText(text_); }

  private:
    std::string text_;
};

// One question for a secret.
struct SecretRequest {
    enum class Kind { Passphrase, Pin };
    Kind kind = Kind::Passphrase;
    // The whole question, naming what the secret unlocks.
    std::string prompt;
    // The answer given just before to the same question was wrong.
    bool retry = false;
};

// Asks for a secret; nothing when the person cancels.
using SecretPrompt = std::function<std::optional<Secret>(const SecretRequest&)>;

// A passphrase is asked up to three times in all.
inline constexpr int kPassphraseTries = 3;

// After the answer to try number `tries` of `request` was wrong: whether to
// ask again, and then `request` says that the last answer was wrong. A PIN is
// never asked again on its own, since every wrong one counts towards locking
// the token.
inline bool AskAgain(SecretRequest& request, int tries) {
    if (request.kind != SecretRequest::Kind::Passphrase || tries >= kPassphraseTries) {
        return false;
    }
    if (!request.retry) {
        request.prompt = std::string(Tr("The passphrase was wrong.")) + "\r\n" + request.prompt;
        request.retry = true;
    }
    return true;
}

}  // namespace quilvane
