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

TEST(Asn1CursorTest, ReadsWhatBerAllowsAndRefusesTheRest) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        ParseResult result;
        std::optional<std::uint64_t> length;
        std::uint32_t tag;
    };
    const Case cases[] = {
        {{0x04, 0x81, 0x05}, ParseResult::Complete, 5, 4},           // longer than needed
        {{0xBF, 0x87, 0x68, 0x01}, ParseResult::Complete, 1, 1000},  // high tag number
        {{0x30, 0x80}, ParseResult::Complete, std::nullopt, 16},     // indefinite
        {{0x04, 0x80}, ParseResult::Malformed, std::nullopt, 0},     // primitive, indefinite
        {{0x30, 0xFF}, ParseResult::Malformed, std::nullopt, 0},     // reserved
        {{0x30, 0x89, 1, 0, 0, 0, 0, 0, 0, 0, 0}, ParseResult::Malformed, std::nullopt, 0},
        {{0x30, 0x88, 0x80, 0, 0, 0, 0, 0, 0, 0}, ParseResult::Malformed, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        Header header;
        Cursor cursor(c.bytes);
        ASSERT_EQ(cursor.ReadHeader(header), c.result);
        if (c.result == ParseResult::Complete) {
            EXPECT_EQ(header.length, c.length);
            EXPECT_EQ(header.size, c.bytes.size());
            EXPECT_EQ(header.tag, c.tag);
        } else {
            EXPECT_EQ(cursor.Rest().size(), c.bytes.size());
        }
    }
}

TEST(Asn1CursorTest, ReadsWholeElementsOnlyWithinItsBytes) {
    using Bytes = std::vector<std::uint8_t>;
    // A SET of an octet string in parts (BER) and an integer, then a NULL.
    const Bytes set = {0x31, 0x80, 0x24, 0x80, 0x04, 0x01, 'a',
                       0x00, 0x00, 0x02, 0x01, 0x05, 0x00, 0x00};
    Bytes bytes = set;
    bytes.insert(bytes.end(), {0x05, 0x00});
    Cursor cursor(bytes);
    EXPECT_FALSE(cursor.Next(kSequence));
    const std::optional<Element> first = cursor.Next(kSet);
    ASSERT_TRUE(first);
    EXPECT_EQ(Bytes(first->encoding.begin(), first->encoding.end()), set);
    EXPECT_EQ(Bytes(first->contents.begin(), first->contents.end()),
              Bytes(set.begin() + 2, set.end() - 2));
    Cursor inside(first->contents);
    EXPECT_TRUE(inside.Next(kConstructedOctetString) && inside.Next(kInteger) && inside.Empty());
    EXPECT_TRUE(cursor.Next() && cursor.Empty() && !cursor.Next());

    // Cut anywhere, or nested past the limit, it is no element and the cursor stays.
    Bytes deep;
    for (int i = 0; i <= kMaxDepth + 1; ++i) {
        deep.insert(deep.begin(), {0x30, 0x80});
        deep.insert(deep.end(), {0x00, 0x00});
    }
    for (std::size_t cut = 0; cut < set.size(); ++cut) {
        Cursor shorter(std::span<const std::uint8_t>(set).first(cut));
        EXPECT_FALSE(shorter.Next());
        EXPECT_EQ(shorter.Rest().size(), cut);
    }
    for (const Bytes& refused : {Bytes{0x04, 0x05, 1, 2}, deep}) {
        Cursor at(refused);
        EXPECT_FALSE(at.Next());
        EXPECT_EQ(at.Rest().size(), refused.size());
    }
}

}  // namespace
}  // namespace quilvane::der
