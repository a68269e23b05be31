#include "internal/Asn1Cursor.h"

namespace quilvane::der {

std::size_t HeaderSize(std::uint64_t length) {
    std::size_t size = 2;
    if (length >= 0x80) {
        for (std::uint64_t rest = length; rest != 0; rest >>= 8) {
            ++size;
        }
    }
    return size;
}

EncodedHeader EncodeHeader(std::uint8_t identifier, std::uint64_t length) {
    EncodedHeader header;
    header.size = HeaderSize(length);
    header.bytes[0] = identifier;
    if (header.size == 2) {
        header.bytes[1] = static_cast<std::uint8_t>(length);
        return header;
    }
    std::size_t octets = header.size - 2;
    header.bytes[1] = static_cast<std::uint8_t>(0x80 | octets);
    for (std::size_t i = 0; i < octets; ++i) {
        header.bytes[header.size - 1 - i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    return header;
}

ParseResult Cursor::ReadHeader(Header& header) {
    std::size_t at = 0;
    if (bytes_.empty()) {
        return ParseResult::NeedMore;
    }
    std::uint8_t first = bytes_[at++];
    header.tagClass = first & 0xC0;
    header.constructed = (first & 0x20) != 0;
    header.tag = first & 0x1F;
    if (header.tag == 0x1F) {
        // High tag numbers: seven bits an octet, the last without the top bit.
        std::uint64_t tag = 0;
        for (;;) {
            if (at == bytes_.size()) {
                return ParseResult::NeedMore;
            }
            std::uint8_t octet = bytes_[at++];
            tag = (tag << 7) | (octet & 0x7F);
            if (tag > 0xFFFFFFFFu) {
                return ParseResult::Malformed;
            }
            if ((octet & 0x80) == 0) {
                break;
            }
        }
        header.tag = static_cast<std::uint32_t>(tag);
    }
    if (at == bytes_.size()) {
        return ParseResult::NeedMore;
    }
    std::uint8_t firstLength = bytes_[at++];
    if (firstLength < 0x80) {
        header.length = firstLength;
    } else if (firstLength == 0x80) {
        if (!header.constructed) {
            return ParseResult::Malformed;
        }
        header.length.reset();
    } else {
        std::size_t octets = firstLength & 0x7F;
        if (octets > 8 || firstLength == 0xFF) {
            return ParseResult::Malformed;
        }
        if (bytes_.size() - at < octets) {
            return ParseResult::NeedMore;
        }
        std::uint64_t length = 0;
        for (std::size_t i = 0; i < octets; ++i) {
            length = (length << 8) | bytes_[at++];
        }
        if (length > 0x7FFFFFFFFFFFFFFFu) {
            return ParseResult::Malformed;
        }
        header.length = length;
    }
    header.size = at;
    bytes_ = bytes_.subspan(at);
    return ParseResult::Complete;
}

bool Cursor::EndOfContents() {
    if (bytes_.size() < 2 || bytes_[0] != 0 || bytes_[1] != 0) {
        return false;
    }
    bytes_ = bytes_.subspan(2);
    return true;
}

std::optional<Element> Cursor::Next() {
    return Next(0);
}

std::optional<Element> Cursor::Next(std::uint8_t identifier) {
    Cursor ahead = *this;
    std::optional<Element> element = ahead.Next(0);
    if (!element || !element->header.Is(identifier)) {
        return std::nullopt;
    }
    *this = ahead;
    return element;
}

std::optional<Element> Cursor::Next(int depth) {
    Cursor at = *this;
    Element element;
    if (depth > kMaxDepth || at.ReadHeader(element.header) != ParseResult::Complete) {
        return std::nullopt;
    }
    const std::uint8_t* contents = at.bytes_.data();
    if (const std::optional<std::uint64_t> length = element.header.length) {
        if (*length > at.bytes_.size()) {
            return std::nullopt;
        }
        element.contents = at.bytes_.first(static_cast<std::size_t>(*length));
        at.bytes_ = at.bytes_.subspan(static_cast<std::size_t>(*length));
    } else {
        const std::uint8_t* end = contents;
        while (!at.EndOfContents()) {
            if (!at.Next(depth + 1)) {
                return std::nullopt;
            }
            end = at.bytes_.data();
        }
        element.contents = {contents, end};
    }
    element.encoding = {bytes_.data(), at.bytes_.data()};
    bytes_ = at.bytes_;
    return element;
}

}  // namespace quilvane::der
