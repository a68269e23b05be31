#include "operations/Handler.h"

namespace quilvane {

Outcome Report(UserInterface& ui, const Handler& handler, const Error& error) {
    // Stopped by the person, whatever the operation: nothing more to say.
    if (error.number() == status::Stopped) {
        return Outcome::Cancelled;
    }
    if (error.number() == status::Cancelled && handler.silentCancel) {
        return Outcome::Cancelled;
    }
    if (error.number() == status::TimeStampFailed && handler.timeStampText) {
        ui.message(
            "An error occured while time stamping the file. Either you are not connected to "
            "internet or the time-stamp server is not functioning.",
            handler.icon);
    } else if (error.number() > 0) {
        ui.message(handler.programPrefix + error.description(), handler.icon);
    } else {
        ui.message(handler.servicePrefix + error.description(), handler.icon);
    }
    return error.number() == status::Cancelled ? Outcome::Cancelled : Outcome::Failed;
}

}  // namespace quilvane
