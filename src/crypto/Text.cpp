#include "crypto/Text.h"

#include <libintl.h>

namespace quilvane {

std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    quoted += text;
    return quoted + "\"";
}

std::string Trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
}

std::string Lowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

const char* Tr(const char* english) {
    return dgettext("quilvane", english);
}

}  // namespace quilvane
