#pragma once
// Just enough of a BER/DER reader to find the signer-infos of a signed-data
// message in its encoding. OpenSSL parses messages; this only locates parts
// of an encoding that must be kept exactly as they are.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quilvane::ossl {

// Where one element lies in an encoding.
struct DerElement {
    std::size_t start = 0;  // its first byte (the tag)
    std::size_t end = 0;    // one past its last byte (past the end-of-contents octets, if any)
};

// The signer-infos of a ContentInfo of the signed-data type, in the order
// the encoding holds them. Definite and indefinite lengths are followed;
// nothing when the encoding is not of that shape.
std::optional<std::vector<DerElement>> SignerInfoElements(std::span<const std::uint8_t> message);

}  // namespace quilvane::ossl
