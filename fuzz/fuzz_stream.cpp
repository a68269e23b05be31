// The streaming reader's framing on its own, then the streamed Verify over
// it. The first byte picks how many bytes the source gives at a time (its low
// six bits: 1 to 64), so that chunk boundaries fall inside every header and
// run, and with its top bit the signers' chains are checked too; the rest is
// the message.

#include <algorithm>
#include <cstdlib>
#include <span>

#include "FuzzSupport.h"
#include "crypto/Error.h"
#include "crypto/SignedData.h"
#include "internal/Asn1Cursor.h"
#include "internal/MessageReader.h"
#include "support/MemoryStreams.h"

using namespace quilvane;

namespace {

// What the reader promises of a message it accepted: the document passed
// after the parts before it, whole, and in a binary message it is the run of
// the file the reader says it is.
void ReadWhole(std::span<const std::uint8_t> message, std::size_t step) {
    test::MemorySource source(std::string(message.begin(), message.end()), step);
    bool prefixed = false;
    streaming::Buffer document;
    streaming::MessageParts parts = streaming::ReadMessage(
        source, step, [&](const streaming::MessageParts&) { prefixed = true; },
        [&](std::span<const std::uint8_t> run) {
            if (!prefixed) {
                std::abort();
            }
            document.insert(document.end(), run.begin(), run.end());
        });
    if (document.size() != parts.contentSize) {
        std::abort();
    }
    if (parts.contentOffset &&
        (parts.messageSize != message.size() ||
         *parts.contentOffset + document.size() > message.size() ||
         !std::equal(document.begin(), document.end(),
                     message.begin() + static_cast<std::ptrdiff_t>(*parts.contentOffset)))) {
        std::abort();
    }
    der::Cursor rest(parts.rest);
    while (rest.Next()) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<fuzz::Input> input = fuzz::Split(data, size);
    if (!input) {
        return 0;
    }
    const std::size_t step = input->ChunkSize();
    const VerifyFlag flag = (input->first & 0x80) != 0 ? VerifyFlag::SignatureAndCertificate
                                                       : VerifyFlag::SignatureOnly;
    const std::span<const std::uint8_t> message = input->Bytes();
    try {
        ReadWhole(message, step);
    } catch (const Error&) {
    }
    try {
        test::MemorySource source(std::string(message.begin(), message.end()), step);
        test::AppendSink sink;
        SignedData signedData;
        signedData.Verify(source, &sink, flag);
        signedData.Signers();
        signedData.Trust();
    } catch (const Error&) {
    }
    return 0;
}
