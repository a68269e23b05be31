#include "internal/DerHeader.h"

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

ParseResult ParseHeader(std::span<const std::uint8_t> bytes, Header& header) {
    std::size_t at = 0;
    if (bytes.empty()) {
        return ParseResult::NeedMore;
    }
    std::uint8_t first = bytes[at++];
    header.tagClass = first & 0xC0;
    header.constructed = (first & 0x20) != 0;
    header.tag = first & 0x1F;
    if (header.tag == 0x1F) {
        // High tag numbers: seven bits an octet, the last without the top bit.
        std::uint64_t tag = 0;
        for (;;) {
            if (at == bytes.size()) {
                return ParseResult::NeedMore;
            }
            std::uint8_t octet = bytes[at++];
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
    if (at == bytes.size()) {
        return ParseResult::NeedMore;
    }
    std::uint8_t first_length = bytes[at++];
    if (first_length < 0x80) {
        header.length = first_length;
    } else if (first_length == 0x80) {
        if (!header.constructed) {
            return ParseResult::Malformed;
        }
        header.length.reset();
    } else {
        std::size_t octets = first_length & 0x7F;
        if (octets > 8 || first_length == 0xFF) {
            return ParseResult::Malformed;
        }
        if (bytes.size() - at < octets) {
            return ParseResult::NeedMore;
        }
        std::uint64_t length = 0;
        for (std::size_t i = 0; i < octets; ++i) {
            length = (length << 8) | bytes[at++];
        }
        if (length > 0x7FFFFFFFFFFFFFFFu) {
            return ParseResult::Malformed;
        }
        header.length = length;
    }
    header.size = at;
    return ParseResult::Complete;
}

}  // namespace quilvane::der
