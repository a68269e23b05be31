// Signature time-stamps of signer-infos.

#include "internal/TimeStamps.h"

#include "crypto/Error.h"

namespace quilvane {

void AddSignatureTimeStamp(CMS_SignerInfo*) {
    throw Error(status::TimeStampFailed, "Time-stamps cannot be asked for yet.");
}

bool HasSignatureTimeStamp(CMS_SignerInfo* info) {
    return CMS_unsigned_get_attr_by_NID(info, NID_id_smime_aa_timeStampToken, -1) >= 0;
}

}  // namespace quilvane
