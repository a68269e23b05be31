#include "app/Operations.h"

#include "envelope/Envelope.h"

namespace quilvane {

Operations Operations::Real() {
    Operations ops;
    ops.SignFile = quilvane::SignFile;
    ops.VerifySig = quilvane::VerifySig;
    ops.CoSignContent = quilvane::CoSignContent;
    ops.Envelope = quilvane::Envelope;
    ops.ReceiveMessage = quilvane::ReceiveMessage;
    return ops;
}

}  // namespace quilvane
