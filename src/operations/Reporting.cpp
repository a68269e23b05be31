#include "operations/Reporting.h"
#include "crypto/Text.h"

namespace quilvane {

ErrorPrefixes PrefixesOf(Reporter reporter) {
    struct Row {
        Reporter reporter;
        ErrorPrefixes prefixes;
    };
    // Verifying alone puts a space after each colon and none before it.
    static constexpr Row kTable[] = {
        {Reporter::SignFile,
         {QUILVANE_N_("VB Error found:"), QUILVANE_N_("CAPICOM error found : ")}},
        {Reporter::VerifySig,
         {QUILVANE_N_("VB Error found: "), QUILVANE_N_("CAPICOM error found: ")}},
        {Reporter::CoSignContent,
         {QUILVANE_N_("VB Error found:"), QUILVANE_N_("CAPICOM error found : ")}},
        {Reporter::Envelope,
         {QUILVANE_N_("VB Error found:"), QUILVANE_N_("CAPICOM error found : ")}},
        {Reporter::ReceiveMessage,
         {QUILVANE_N_("VB Error found:"), QUILVANE_N_("CAPICOM error found : ")}},
        {Reporter::Certificates,
         {QUILVANE_N_("VB Error found:"), QUILVANE_N_("CAPICOM error found : ")}},
        {Reporter::TimeStampFile,
         {QUILVANE_N_("VB Error found:"), QUILVANE_N_("CAPICOM error found : ")}},
    };
    for (const Row& row : kTable) {
        if (row.reporter == reporter) {
            return row.prefixes;
        }
    }
    return kTable[0].prefixes;
}

Outcome Report(UserInterface& ui, const ReportPolicy& policy, const Error& error) {
    // Stopped by the person, whatever the operation: nothing more to say.
    if (error.number() == status::Stopped) {
        return Outcome::Cancelled;
    }
    if (error.number() == status::Cancelled && policy.silentCancel) {
        return Outcome::Cancelled;
    }
    const ErrorPrefixes prefixes = PrefixesOf(policy.reporter);
    if (error.number() == status::TimeStampFailed && policy.timeStampText) {
        ui.message(
            Tr("An error occured while time stamping the file. Either you are not connected to "
               "internet or the time-stamp server is not functioning."),
            policy.icon);
    } else {
        const MessageNotes notes{.informative = {}, .details = error.detail()};
        ui.message(
            Tr(error.number() > 0 ? prefixes.program : prefixes.service) + error.description(),
            policy.icon, notes);
    }
    return error.number() == status::Cancelled ? Outcome::Cancelled : Outcome::Failed;
}

}  // namespace quilvane
