// The armour a message's file may wear, taken off in memory: PEM, bare
// Base64 and a mail's MIME wrapping, and a multipart/signed mail taken apart.
// The first byte picks how many bytes the file gives at a time (its low six
// bits: 1 to 64) and with its top bit how many the decoded message is read
// in (a seventh of that); the rest is the file. Whatever is decoded then
// passes the ASN.1 cursor, as the message reader would begin on it.

#include <algorithm>
#include <vector>

#include "FuzzSupport.h"
#include "crypto/Error.h"
#include "internal/Armour.h"
#include "internal/Asn1Cursor.h"
#include "support/MemoryStreams.h"

using namespace quilvane;

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
    const std::size_t read = (input->first & 0x80) != 0 ? std::max<std::size_t>(step / 7, 1) : 4096;
    test::MemorySource file(std::string(input->rest), step);
    std::vector<std::uint8_t> decoded;
    try {
        streaming::ArmourDecoder armour(file, step);
        armour.Size();
        if (armour.Wrapping() == MessageWrapping::MultipartSigned) {
            streaming::SignedParts parts = armour.TakeSignedParts();
            decoded = std::move(parts.signature);
        } else {
            std::vector<std::uint8_t> buffer(read);
            for (std::size_t n; (n = armour.Read(buffer)) != 0;) {
                decoded.insert(decoded.end(), buffer.begin(), buffer.begin() + n);
            }
        }
    } catch (const Error&) {
    }
    try {
        der::Cursor cursor(decoded);
        while (cursor.Next()) {
        }
    } catch (const Error&) {
    }
    return 0;
}
