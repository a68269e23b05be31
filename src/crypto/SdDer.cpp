#include "crypto/SdDer.h"

namespace quilvane::ossl {
namespace {

// Deeper nesting than any message has is taken for damage.
constexpr int kMaxDepth = 64;

struct Element {
    std::size_t start = 0;
    std::size_t contentStart = 0;
    std::size_t contentEnd = 0;  // where the end-of-contents octets begin, when indefinite
    std::size_t end = 0;
};

std::optional<Element> Read(std::span<const std::uint8_t> bytes, std::size_t at, int depth);

// Runs over the elements inside a constructed element of indefinite length
// and returns where its end-of-contents octets begin.
std::optional<std::size_t> IndefiniteEnd(std::span<const std::uint8_t> bytes, std::size_t at,
                                         int depth) {
    while (at + 2 <= bytes.size()) {
        if (bytes[at] == 0 && bytes[at + 1] == 0) {
            return at;
        }
        std::optional<Element> inner = Read(bytes, at, depth + 1);
        if (!inner) {
            return std::nullopt;
        }
        at = inner->end;
    }
    return std::nullopt;
}

std::optional<Element> Read(std::span<const std::uint8_t> bytes, std::size_t at, int depth) {
    if (depth > kMaxDepth || at >= bytes.size()) {
        return std::nullopt;
    }
    Element element;
    element.start = at;
    const std::uint8_t tag = bytes[at++];
    if ((tag & 0x1F) == 0x1F) {  // a tag number in further octets
        while (at < bytes.size() && (bytes[at] & 0x80) != 0) {
            ++at;
        }
        ++at;
    }
    if (at >= bytes.size()) {
        return std::nullopt;
    }
    const std::uint8_t first = bytes[at++];
    if (first == 0x80) {
        if ((tag & 0x20) == 0) {  // only constructed elements may be of indefinite length
            return std::nullopt;
        }
        element.contentStart = at;
        std::optional<std::size_t> end = IndefiniteEnd(bytes, at, depth);
        if (!end) {
            return std::nullopt;
        }
        element.contentEnd = *end;
        element.end = *end + 2;
        return element;
    }
    std::size_t length = first;
    if ((first & 0x80) != 0) {
        std::size_t digits = first & 0x7F;
        if (digits > sizeof(std::size_t) || at + digits > bytes.size()) {
            return std::nullopt;
        }
        length = 0;
        for (; digits != 0; --digits) {
            length = (length << 8) | bytes[at++];
        }
    }
    if (length > bytes.size() - at) {
        return std::nullopt;
    }
    element.contentStart = at;
    element.contentEnd = at + length;
    element.end = element.contentEnd;
    return element;
}

// The elements directly inside `outer`.
std::optional<std::vector<Element>> Inside(std::span<const std::uint8_t> bytes,
                                           const Element& outer) {
    std::vector<Element> elements;
    for (std::size_t at = outer.contentStart; at < outer.contentEnd;) {
        std::optional<Element> element = Read(bytes.first(outer.contentEnd), at, 1);
        if (!element) {
            return std::nullopt;
        }
        elements.push_back(*element);
        at = element->end;
    }
    return elements;
}

}  // namespace

std::optional<std::vector<DerElement>> SignerInfoElements(std::span<const std::uint8_t> message) {
    // ContentInfo ::= SEQUENCE { contentType, [0] EXPLICIT SignedData }
    // SignedData ::= SEQUENCE { ..., signerInfos SET OF SignerInfo } (the last)
    std::optional<Element> contentInfo = Read(message, 0, 0);
    if (!contentInfo) {
        return std::nullopt;
    }
    auto parts = Inside(message, *contentInfo);
    if (!parts || parts->size() != 2) {
        return std::nullopt;
    }
    auto wrapped = Inside(message, (*parts)[1]);
    if (!wrapped || wrapped->size() != 1) {
        return std::nullopt;
    }
    auto fields = Inside(message, (*wrapped)[0]);
    if (!fields || fields->empty()) {
        return std::nullopt;
    }
    auto infos = Inside(message, fields->back());
    if (!infos) {
        return std::nullopt;
    }
    std::vector<DerElement> result;
    for (const Element& info : *infos) {
        result.push_back({info.start, info.end});
    }
    return result;
}

}  // namespace quilvane::ossl
