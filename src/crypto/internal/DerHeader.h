#pragma once
// The identifier and length octets of one ASN.1 element, for lengths of any
// size: OpenSSL's own encoder takes lengths in an int, and a document inside
// a message may be larger than that.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quilvane::der {

// Identifier octets the signed-message layout uses.
inline constexpr std::uint8_t kSequence = 0x30;
inline constexpr std::uint8_t kSet = 0x31;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kConstructedOctetString = 0x24;
inline constexpr std::uint8_t kObject = 0x06;
inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kExplicit0 = 0xA0;

// One identifier octet and up to nine length octets.
inline constexpr std::size_t kMaxHeader = 10;

struct EncodedHeader {
    std::array<std::uint8_t, kMaxHeader> bytes{};
    std::size_t size = 0;
    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
};

// The DER header of an element with a low-numbered tag (identifier octet
// `identifier`) and `length` content octets: the shortest length form.
EncodedHeader EncodeHeader(std::uint8_t identifier, std::uint64_t length);

// How many octets that header takes.
std::size_t HeaderSize(std::uint64_t length);

// One parsed header, DER or BER.
struct Header {
    std::uint8_t tagClass = 0;  // the top two bits of the first octet
    bool constructed = false;
    std::uint32_t tag = 0;
    std::optional<std::uint64_t> length;  // none: indefinite
    std::size_t size = 0;                 // octets of identifier and length

    bool Is(std::uint8_t identifier) const {
        return tag < 31 &&
               (tagClass | (constructed ? 0x20 : 0) | tag) == static_cast<unsigned>(identifier);
    }
    bool IsEndOfContents() const { return tagClass == 0 && tag == 0 && !constructed; }
};

enum class ParseResult { Complete, NeedMore, Malformed };

// Parses the header at the front of `bytes`. NeedMore when `bytes` ends inside
// it; Malformed for a header no encoding allows (a length of more than eight
// octets or of 2^63 or more, an indefinite length on a primitive element,
// the reserved length octet 0xFF, a tag number beyond 32 bits).
ParseResult ParseHeader(std::span<const std::uint8_t> bytes, Header& header);

}  // namespace quilvane::der
