#pragma once
// The one place where an operation catches what went wrong in it and tells
// the person. Each operation has its reporting policy; the prefixes and icons
// differ between operations on purpose, because users and scripts know them.

#include <cerrno>
#include <exception>
#include <new>
#include <string>

#include "crypto/Error.h"
#include "crypto/Text.h"
#include "operations/UserInterface.h"

namespace quilvane {

// How an operation ended; only the exit status is made from it.
enum class Outcome { Completed, Failed, Cancelled };

// Who reports: each operation, and the certificate commands (import, create,
// trust, export) together.
enum class Reporter {
    SignFile,
    VerifySig,
    CoSignContent,
    Envelope,
    ReceiveMessage,
    Certificates,
    TimeStampFile
};

struct ErrorPrefixes {
    const char* program;  // errors of the program itself (positive numbers: files, arguments)
    const char* service;  // statuses of the cryptographic service (zero or negative)
};

// The prefixes of `reporter`'s messages, each with its own exact spacing.
ErrorPrefixes PrefixesOf(Reporter reporter);

struct ReportPolicy {
    Reporter reporter;
    // End without a word when the user cancelled a dialog of the service.
    bool silentCancel = false;
    // Know the time-stamping status (signing and time-stamping only).
    bool timeStampText = false;
    Icon icon = Icon::Critical;
};

// Tells the user about `error` as `policy` says; returns the outcome.
Outcome Report(UserInterface& ui, const ReportPolicy& policy, const Error& error);

// Runs `body` (which returns the Outcome of the normal path) under `policy`:
// every error raised inside ends up in one message.
template <typename Body>
Outcome RunGuarded(UserInterface& ui, const ReportPolicy& policy, Body&& body) {
    try {
        return body();
    } catch (const Error& error) {
        return Report(ui, policy, error);
    } catch (const std::bad_alloc&) {
        return Report(ui, policy,
                      Error(ENOMEM, Tr("There is not enough memory to hold the file.")));
    } catch (const std::exception& error) {
        return Report(ui, policy, Error(EIO, error.what()));
    }
}

}  // namespace quilvane
