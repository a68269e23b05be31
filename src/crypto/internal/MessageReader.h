#pragma once
// Reading a signed-data message in parts: its small parts are kept, its
// document is handed on as it passes.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crypto/ContentStream.h"

namespace quilvane::streaming {

using Buffer = std::vector<std::uint8_t>;

// The parts of a signed-data message around its document, each the whole
// encoding of its element (BER as read, DER as OpenSSL writes).
struct MessageParts {
    Buffer contentType;       // the ContentInfo's, signed data
    Buffer version;           // of the SignedData
    Buffer digestAlgorithms;  // the SET
    Buffer eContentType;
    Buffer rest;  // certificates, CRLs and signer-infos, one after the other
    std::uint64_t contentSize = 0;
    // Where the document lies as one run of the file read, when it does
    // (a binary message with the document in one primitive octet string).
    std::optional<std::uint64_t> contentOffset;
    std::uint64_t messageSize = 0;  // of the message as decoded
    bool detached = false;          // the document is kept apart from the message
};

// Reads the message from `source` (DER, BER, PEM or bare Base64). Calls
// `prefix` once the parts before the document are read (telling whether the
// message is detached), then `content` with the document's octets in order.
// Raises status::BadMessage with the "not a signed message" text for what is
// not a signed-data message. `chunkSize` bytes are asked of the source at a
// time.
MessageParts ReadMessage(ContentSource& source, std::size_t chunkSize,
                         const std::function<void(const MessageParts&)>& prefix,
                         const std::function<void(std::span<const std::uint8_t>)>& content);
// The same, from a message whose armour is already being taken off.
class ArmourDecoder;
MessageParts ReadMessage(ArmourDecoder& decoded, std::size_t chunkSize,
                         const std::function<void(const MessageParts&)>& prefix,
                         const std::function<void(std::span<const std::uint8_t>)>& content);

// The encoding of a message made of `parts`, up to the document's octets:
// with `contentSize` the headers around a document of that size follow the
// eContentType; without it the message has no document (detached), and the
// whole detached message is this followed by parts.rest.
Buffer Assemble(const MessageParts& parts, std::optional<std::uint64_t> contentSize);

// The parts of a DER signed-data message without a document, as OpenSSL's
// encoder writes it. Raises status::Failed with `what` when it is not one.
MessageParts Split(std::span<const std::uint8_t> der, const std::string& what);

}  // namespace quilvane::streaming
