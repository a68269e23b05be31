#pragma once
// Instants in the forms OpenSSL writes into certificates and messages.

#include <ctime>
#include <optional>

#include "internal/Handles.h"

namespace quilvane::ossl {

// The instant an ASN.1 UTCTime or GeneralizedTime names, to the second (a
// fraction of a second is dropped); nothing when the time cannot be read.
std::optional<std::time_t> ToTime(const ASN1_TIME* time);

// The ASN.1 form of `instant`: UTCTime for the years 1950 to 2049,
// GeneralizedTime otherwise, as certificates and signing times require.
AsnTimePtr FromTime(std::time_t instant);

}  // namespace quilvane::ossl
