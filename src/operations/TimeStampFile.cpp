// Time-stamping the signatures of a signed-message file that lack a token.

#include <optional>

#include "crypto/Network.h"
#include "crypto/Text.h"
#include "operations/Files.h"
#include "operations/Signing.h"
#include "operations/Streaming.h"

namespace quilvane {

Outcome TimeStampFile(UserInterface& ui, std::string signedPath) {
    const ReportPolicy policy{
        .reporter = Reporter::TimeStampFile, .silentCancel = true, .timeStampText = true};
    return RunGuarded(ui, policy, [&] {
        const std::string shown = ShownPath(signedPath);
        if (CurrentNetworkSettings().timestampUrl.empty()) {
            ui.message(
                Format(Tr("No time-stamp service is set, so \"%1\" was not changed. Give one "
                          "with --timestamp-url URL, or as timestamp-url in the [signing] "
                          "section of ~/.config/quilvane/quilvane.conf."),
                       shown),
                Icon::Exclamation);
            return Outcome::Failed;
        }
        FileSource message(signedPath);
        // Held until the new file is in place, as a co-sign holds it: a token
        // must not be added to a copy that another change is replacing.
        message.LockForChange(Tr("time-stamp"));
        std::optional<FileSource> document;
        if (SignedData::IsDetached(message)) {
            document.emplace(DetachedDocumentPath(signedPath));
        }
        message.Rewind();
        SignedData signedData;
        std::size_t added = 0;
        std::string kept;
        {
            // The signatures are checked before a token vouches for them; the
            // signers' trust is not the time-stamp's business.
            StreamedWork work(ui, Format(Tr("Time-stamping \"%1\""), shown));
            message.OnProgress(work.Callback());
            if (document) {
                document->OnProgress(work.Callback());
                signedData.VerifyDetached(message, *document, VerifyFlag::SignatureOnly);
            } else {
                signedData.Verify(message, nullptr, VerifyFlag::SignatureOnly);
            }
            // The signed file the person named is the one link followed; what
            // it held before is kept as NAME~.
            FileSink out(signedPath, Backup::Keep, Links::Follow);
            out.RequireUnchanged(message.Identity());
            message.Rewind();
            out.OnProgress(work.Callback());
            added = signedData.AddTimeStamps(message, out);
            if (added > 0) {
                kept = CommitUnlessStopped(out);
            }
        }
        if (added == 0) {
            ui.message(Format(Tr("Every signature in \"%1\" has a time-stamp already; the file was "
                                 "not changed."),
                              shown),
                       Icon::Information);
            return Outcome::Completed;
        }
        ui.message(Format(added == 1 ? CrLf(Tr("Time-stamp added to 1 signature.\nFile saved to "
                                               "location:%2"))
                                     : CrLf(Tr("Time-stamps added to %1 signatures.\nFile saved to "
                                               "location:%2")),
                          std::to_string(added), ShownPath(signedPath)),
                   Icon::Information, {kept, {}});
        return Outcome::Completed;
    });
}

}  // namespace quilvane
