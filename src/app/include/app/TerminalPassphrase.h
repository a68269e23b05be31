#pragma once
// Reading a secret in the terminal mode: from the terminal with echo switched
// off, and a line at a time from any other input, without leaving copies.

#include <functional>
#include <optional>
#include <string>

#include "operations/UserInterface.h"

namespace quilvane {

// Reads a passphrase after showing `prompt` as it is; nothing when the user cancels.
using PassphraseReader = std::function<std::optional<Secret>(const std::string& prompt)>;

// A reader that asks on the process's terminal (the controlling terminal, or
// standard input when that is one) with echo switched off. Empty when the
// process has no terminal at all.
PassphraseReader TerminalPassphraseReader();

// Reads one line of a secret, a character at a time from `next` (nothing at
// the end of input), without its line end. Nothing when the input ended
// before anything was typed; `ended` tells whether it ended before a line feed.
std::optional<Secret> ReadSecretLine(const std::function<std::optional<char>()>& next, bool& ended);

}  // namespace quilvane
