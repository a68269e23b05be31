#include "operations/LocalTime.h"

namespace quilvane {

std::string LocalTimeText(std::time_t instant, const char* format) {
    std::tm local{};
    if (localtime_r(&instant, &local) == nullptr) {
        return std::to_string(instant);
    }
    char text[128];
    const std::size_t length = std::strftime(text, sizeof text, format, &local);
    return std::string(text, length);
}

}  // namespace quilvane
