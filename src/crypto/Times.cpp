#include "internal/Times.h"
#include "crypto/Text.h"

#include <openssl/err.h>

namespace quilvane::ossl {

std::optional<std::time_t> ToTime(const ASN1_TIME* time) {
    ErrorMark mark;
    // ASN1_TIME_to_tm reads the current time for a null argument; a missing
    // time is not "now".
    if (time == nullptr) {
        return std::nullopt;
    }
    std::tm fields{};
    if (ASN1_TIME_to_tm(time, &fields) != 1) {
        return std::nullopt;
    }
    // The fields are in UTC.
    return timegm(&fields);
}

AsnTimePtr FromTime(std::time_t instant) {
    return AsnTimePtr(Check(ASN1_TIME_adj(nullptr, instant, 0, 0), status::Failed,
                            Tr("Could not write a date and time")));
}

}  // namespace quilvane::ossl
