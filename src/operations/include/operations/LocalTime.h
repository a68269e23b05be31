#pragma once

#include <ctime>
#include <string>

namespace quilvane {

// An instant in the user's time zone and LC_TIME: "%x" for a date, "%x %X"
// for a date and time.
std::string LocalTimeText(std::time_t instant, const char* format);

inline std::string LocalDate(std::time_t instant) {
    return LocalTimeText(instant, "%x");
}
inline std::string LocalDateTime(std::time_t instant) {
    return LocalTimeText(instant, "%x %X");
}

}  // namespace quilvane
