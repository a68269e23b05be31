#include "app/OperationTable.h"

#include "operations/Envelope.h"
#include "operations/Signing.h"

namespace quilvane {

OperationTable OperationTable::Real() {
    return {quilvane::SignFile, quilvane::VerifySig, quilvane::CoSignContent, quilvane::Envelope,
            quilvane::ReceiveMessage};
}

}  // namespace quilvane
