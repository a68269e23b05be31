// The header encoder and the cursor against OpenSSL's own at every boundary
// of the length encoding, and the cursor at the ends of what it reads.

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "internal/Asn1Cursor.h"

namespace quilvane::der {
namespace {

TEST(Asn1CursorTest, EncodesEveryLengthBoundaryAsOpenSslReadsAndWritesIt) {
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
            Cursor cursor(encoded.view());
            ASSERT_EQ(cursor.ReadHeader(header), ParseResult::Complete);
            EXPECT_TRUE(header.Is(identifier));
            EXPECT_EQ(header.length, length);
            EXPECT_EQ(header.size, encoded.size);
            EXPECT_TRUE(cursor.Empty());
            for (std::size_t cut = 0; cut < encoded.size; ++cut) {
                Cursor shorter(encoded.view().first(cut));
                EXPECT_EQ(shorter.ReadHeader(header), ParseResult::NeedMore);
                EXPECT_EQ(shorter.Rest().size(), cut);
            }
        }
    }
}

TEST(Asn1CursorTest, ReadsWhatBerAllowsOnlyWithinItsBytesAndRefusesTheRest) {
    using Bytes = std::vector<std::uint8_t>;
    // A SET of an octet string in parts and an integer, both of indefinite length.
    const Bytes set = {0x31, 0x80, 0x24, 0x80, 0x04, 0x01, 'a',
                       0x00, 0x00, 0x02, 0x01, 0x05, 0x00, 0x00};
    Bytes deep;
    for (int i = 0; i <= kMaxDepth + 1; ++i) {
        deep.insert(deep.begin(), {0x30, 0x80});
        deep.insert(deep.end(), {0x00, 0x00});
    }
    // The bytes, what their header is, and how many the whole element takes.
    using Case = std::tuple<Bytes, ParseResult, std::size_t>;
    for (const auto& [bytes, header, whole] : {
             Case{set, ParseResult::Complete, set.size()},
             Case{{0x04, 0x81, 0x01, 'a', 0x05}, ParseResult::Complete, 4},   // longer than needed
             Case{{0xBF, 0x87, 0x68, 0x01, 0x00}, ParseResult::Complete, 5},  // high tag number
             Case{{0x04, 0x05, 1, 2}, ParseResult::Complete, 0},              // past the end
             Case{deep, ParseResult::Complete, 0},
             Case{{0x04, 0x80, 0x00, 0x00}, ParseResult::Malformed, 0},  // primitive, indefinite
             Case{{0x30, 0xFF}, ParseResult::Malformed, 0},              // reserved
             Case{{0x30, 0x89, 1, 0, 0, 0, 0, 0, 0, 0, 0}, ParseResult::Malformed, 0},
             Case{{0x30, 0x88, 0x80, 0, 0, 0, 0, 0, 0, 0}, ParseResult::Malformed, 0},
         }) {
        Header parsed;
        EXPECT_EQ(Cursor(bytes).ReadHeader(parsed), header);
        // What is no whole element leaves the cursor where it was.
        Cursor cursor(bytes);
        const std::optional<Element> element = cursor.Next();
        EXPECT_EQ(element ? element->encoding.size() : 0, whole);
        EXPECT_EQ(cursor.Rest().size(), bytes.size() - whole);
        for (std::size_t cut = 0; cut < whole; ++cut) {
            EXPECT_FALSE(Cursor(std::span(bytes).first(cut)).Next());
        }
    }
    Cursor inside(Cursor(set).Next(kSet)->contents);
    EXPECT_FALSE(inside.Next(kInteger));
    EXPECT_TRUE(inside.Next(kConstructedOctetString) && inside.Next(kInteger) && inside.Empty());
}

}  // namespace
}  // namespace quilvane::der
