// The header encoder and parser against OpenSSL's own at every boundary of
// the length encoding.

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "internal/DerHeader.h"

namespace quilvane::der {
namespace {

TEST(DerHeaderTest, EncodesEveryLengthBoundaryAsOpenSslReadsAndWritesIt) {
    const std::uint64_t lengths[] = {0,          1,          127,        128,
                                     255,        256,        65535,      65536,
                                     0xFFFFFF,   0x1000000,  0x7FFFFFFF, 0x80000000,
                                     0xFFFFFFFF, 1ull << 32, 1ull << 40, (1ull << 62) - 1};
    for (std::uint8_t identifier : {kSequence, kOctetString, kExplicit0}) {
        for (std::uint64_t length : lengths) {
            SCOPED_TRACE(length);
            const EncodedHeader encoded = EncodeHeader(identifier, length);
            ASSERT_EQ(encoded.size, HeaderSize(length));
            // OpenSSL's parser takes lengths in a long: 64 bits here.
            const unsigned char* p = encoded.bytes.data();
            long parsed = 0;
            int tag = 0, tagClass = 0;
            int result = ASN1_get_object(&p, &parsed, &tag, &tagClass,
                                         static_cast<long>(encoded.size + length));
            EXPECT_EQ(result & 0x80, 0);
            EXPECT_EQ(result & V_ASN1_CONSTRUCTED, identifier & V_ASN1_CONSTRUCTED);
            EXPECT_EQ(tag | tagClass, identifier & ~V_ASN1_CONSTRUCTED);
            EXPECT_EQ(static_cast<std::uint64_t>(parsed), length);
            EXPECT_EQ(p - encoded.bytes.data(), static_cast<long>(encoded.size));
            // Its encoder takes lengths in an int: the same bytes where it can.
            if (length <= INT_MAX) {
                const int constructed = (identifier & V_ASN1_CONSTRUCTED) ? 1 : 0;
                std::vector<unsigned char> theirs(16);
                unsigned char* out = theirs.data();
                ASN1_put_object(&out, constructed, static_cast<int>(length), identifier & 0x1F,
                                identifier & 0xC0);
                theirs.resize(static_cast<std::size_t>(out - theirs.data()));
                EXPECT_EQ(theirs,
                          std::vector<unsigned char>(encoded.view().begin(), encoded.view().end()));
            }
            Header header;
            ASSERT_EQ(ParseHeader(encoded.view(), header), ParseResult::Complete);
            EXPECT_TRUE(header.Is(identifier));
            EXPECT_EQ(header.length, length);
            EXPECT_EQ(header.size, encoded.size);
            for (std::size_t cut = 0; cut < encoded.size; ++cut) {
                EXPECT_EQ(ParseHeader(encoded.view().first(cut), header), ParseResult::NeedMore);
            }
        }
    }
}

// (Indefinite lengths and octets in parts: the BER messages of SignedDataTest.)
TEST(DerHeaderTest, ReadsWhatBerAllowsAndRefusesTheRest) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        ParseResult result;
        std::optional<std::uint64_t> length;
        std::uint32_t tag;
    };
    const Case cases[] = {
        {{0x04, 0x81, 0x05}, ParseResult::Complete, 5, 4},           // longer than needed
        {{0xBF, 0x87, 0x68, 0x01}, ParseResult::Complete, 1, 1000},  // high tag number
        {{0x04, 0x80}, ParseResult::Malformed, std::nullopt, 0},     // primitive, indefinite
        {{0x30, 0xFF}, ParseResult::Malformed, std::nullopt, 0},     // reserved
        {{0x30, 0x89, 1, 0, 0, 0, 0, 0, 0, 0, 0}, ParseResult::Malformed, std::nullopt, 0},
        {{0x30, 0x88, 0x80, 0, 0, 0, 0, 0, 0, 0}, ParseResult::Malformed, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        Header header;
        ASSERT_EQ(ParseHeader(c.bytes, header), c.result);
        if (c.result == ParseResult::Complete) {
            EXPECT_EQ(header.length, c.length);
            EXPECT_EQ(header.size, c.bytes.size());
            EXPECT_EQ(header.tag, c.tag);
        }
    }
}

}  // namespace
}  // namespace quilvane::der
