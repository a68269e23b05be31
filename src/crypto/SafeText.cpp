#include "crypto/SafeText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>

namespace quilvane {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Range {
    char32_t first, last;
};

// Characters that draw nothing yet change how the text around them reads:
// bidirectional controls, zero-width characters, line and paragraph
// separators and the other format characters, from the Unicode data.
constexpr Range kInvisible[] = {
#include "InvisibleCharacters.inc"
};

constexpr bool SortedAndApart(const Range* begin, const Range* end) {
    for (const Range* range = begin; range != end; ++range) {
        if (range->first > range->last || (range != begin && range[-1].last >= range->first)) {
            return false;
        }
    }
    return true;
}
static_assert(SortedAndApart(std::begin(kInvisible), std::end(kInvisible)),
              "the search by halves needs sorted, disjoint ranges");

bool IsInvisible(char32_t c) {
    // The first range that starts after `c`; the one before it may hold `c`.
    const Range* after =
        std::upper_bound(std::begin(kInvisible), std::end(kInvisible), c,
                         [](char32_t point, const Range& range) { return point < range.first; });
    return after != std::begin(kInvisible) && c <= after[-1].last;
}

// The next character of `text` from `at`, which moves past it; nothing for a
// byte that starts no well-formed UTF-8 sequence (then `at` moves one byte).
std::optional<char32_t> NextCharacter(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at++]);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t more = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1, c = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2, c = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3, c = lead & 0x07, least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - at < more) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < more; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and values past Unicode are not text.
    if (c < least || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        return std::nullopt;
    }
    at += more;
    return c;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// How one character is shown: itself, or an escape of plain ASCII, each
// escape character counted as one.
struct Shown {
    std::string text;
    std::size_t characters = 1;
};

Shown Show(char32_t c) {
    char escape[16];
    switch (c) {
        case '\r':
            return {"\\r", 2};
        case '\n':
            return {"\\n", 2};
        case '\t':
            return {"\\t", 2};
        default:
            break;
    }
    int length = 0;
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
        length = std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
    } else if (IsInvisible(c)) {
        length = std::snprintf(escape, sizeof escape, "<U+%04X>", static_cast<unsigned>(c));
    } else {
        Shown own;
        AppendUtf8(own.text, c);
        return own;
    }
    return {escape, static_cast<std::size_t>(length)};
}

}  // namespace

std::string SafeText(std::string_view text, std::size_t maxCharacters) {
    std::string out;
    std::size_t characters = 0;
    // Where the text stood when one character was left for the ellipsis; an
    // escape is never cut in two.
    std::size_t cut = std::string::npos;
    for (std::size_t at = 0; at < text.size();) {
        const Shown shown = Show(NextCharacter(text, at).value_or(kReplacement));
        if (cut == std::string::npos && characters + shown.characters + 1 > maxCharacters) {
            cut = out.size();
        }
        characters += shown.characters;
        if (characters > maxCharacters) {
            out.resize(cut);
            return out + "\u2026";
        }
        out += shown.text;
    }
    return out;
}

}  // namespace quilvane
