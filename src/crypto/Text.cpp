#include "crypto/Text.h"

#include <libintl.h>

#include <cstdlib>

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

std::string FormatList(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string text;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        const std::size_t place = static_cast<std::size_t>(next - '1');
        if (pattern[i] == '%' && next >= '1' && next <= '9' && place < values.size()) {
            text += values.begin()[place];
            ++i;
        } else {
            text += pattern[i];
        }
    }
    return text;
}

std::string CrLf(std::string_view text) {
    std::string lines;
    for (const char c : text) {
        lines += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return lines;
}

void UseCatalogues(const char* installed) {
    const char* folder = std::getenv("QUILVANE_LOCALEDIR");
    // Without the binding every text stays English, which is still usable.
    bindtextdomain("quilvane", folder != nullptr && *folder != '\0' ? folder : installed);
    bind_textdomain_codeset("quilvane", "UTF-8");
}

const char* Tr(const char* english) {
    return dgettext("quilvane", english);
}

}  // namespace quilvane
