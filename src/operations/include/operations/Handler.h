#pragma once
// The one place where an operation catches what went wrong in it and tells
// the user. Each operation describes its handler; the texts and icons differ
// between operations on purpose, because users and scripts know them.

#include <cerrno>
#include <exception>
#include <new>
#include <string>

#include "crypto/Error.h"
#include "operations/UserInterface.h"

namespace quilvane {

// How an operation ended; only the exit status is made from it.
enum class Outcome { Completed, Failed, Cancelled };

struct Handler {
    // End without a word when the user cancelled a dialog of the service.
    bool silentCancel = false;
    // Know the time-stamping status (signing only).
    bool timeStampText = false;
    // Prefix for errors of the program itself (positive numbers).
    const char* programPrefix = "VB Error found:";
    // Prefix for statuses of the cryptographic service (zero or negative).
    const char* servicePrefix = "CAPICOM error found : ";
    Icon icon = Icon::Critical;
};

// Tells the user about `error` as `handler` says; returns the outcome.
Outcome Report(UserInterface& ui, const Handler& handler, const Error& error);

// Runs `body` (which returns the Outcome of the normal path) with `handler`
// armed: every error raised inside ends up in one message.
template <typename Body>
Outcome RunGuarded(UserInterface& ui, const Handler& handler, Body&& body) {
    try {
        return body();
    } catch (const Error& error) {
        return Report(ui, handler, error);
    } catch (const std::bad_alloc&) {
        return Report(ui, handler, Error(ENOMEM, "There is not enough memory to hold the file."));
    } catch (const std::exception& error) {
        return Report(ui, handler, Error(EIO, error.what()));
    }
}

}  // namespace quilvane
