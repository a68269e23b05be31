#pragma once
// The one reader of ASN.1 identifier and length octets, DER or BER: a view
// over bytes that each step advances and that cannot read past its end. The
// headers are also written here, for lengths of any size: OpenSSL's encoder
// takes lengths in an int, and a document inside a message may be larger.

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
// Indefinite lengths nested deeper than this are no honest message.
inline constexpr int kMaxDepth = 32;

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
};

enum class ParseResult { Complete, NeedMore, Malformed };

// One whole element as it lies in the bytes read.
struct Element {
    Header header;
    std::span<const std::uint8_t> encoding;  // header, contents, end-of-contents octets
    std::span<const std::uint8_t> contents;  // the children's encodings when constructed
};

class Cursor {
  public:
    Cursor() = default;
    explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool Empty() const { return bytes_.empty(); }
    std::span<const std::uint8_t> Rest() const { return bytes_; }

    // Reads the header at the front. NeedMore when the bytes end inside it;
    // Malformed for a header no encoding allows (a length of more than eight
    // octets or of 2^63 or more, an indefinite length on a primitive element,
    // the reserved length octet 0xFF, a tag number beyond 32 bits). Moves
    // only when Complete.
    ParseResult ReadHeader(Header& header);

    // True, and moved past them, at end-of-contents octets.
    bool EndOfContents();

    // Reads the next whole element; an indefinite length is followed to its
    // end-of-contents octets. Nothing, and unmoved, when the bytes do not
    // hold one, or not one with the identifier octet `identifier`.
    std::optional<Element> Next();
    std::optional<Element> Next(std::uint8_t identifier);

  private:
    std::optional<Element> Next(int depth);

    std::span<const std::uint8_t> bytes_;
};

}  // namespace quilvane::der
