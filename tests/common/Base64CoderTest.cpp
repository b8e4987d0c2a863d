// Base64Coder: known vectors, the skip rule, padding, buffer growth and the order of the
// virtual operations that subclasses rely on.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/Base64Coder.h"

namespace
{
std::string Encoded(const std::string& bytes)
{
    Base64Coder coder;
    coder.Encode(bytes.data(), bytes.size());
    return std::string(coder.EncodedText(), coder.EncodedLength());
}

// The decoded bytes with the length the coder reports.
std::string Decoded(const std::string& text)
{
    Base64Coder coder;
    coder.Decode(text.data(), text.size());
    return std::string(coder.DecodedData(), coder.DecodedLength());
}
} // namespace

TEST(Base64Coder, EncodesKnownVectors)
{
    EXPECT_EQ(Encoded("abc"), "YWJj");
    EXPECT_EQ(Encoded("ab"), "YWI=");
    EXPECT_EQ(Encoded("a"), "YQ==");
    EXPECT_EQ(Encoded(""), "");
    EXPECT_EQ(Encoded("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Encoded("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Encoded(std::string("\xFB\xEF\xBE\x00\xFF", 5)), "++++AP8=");
    Base64Coder coder;
    coder.Encode("user:pa ss");
    EXPECT_STREQ(coder.EncodedText(), "dXNlcjpwYSBzcw==");
    EXPECT_EQ(strlen(coder.EncodedText()), coder.EncodedLength());
}

TEST(Base64Coder, AbsentTextChangesNothing)
{
    Base64Coder coder;
    EXPECT_STREQ(coder.EncodedText(), "");
    EXPECT_STREQ(coder.DecodedData(), "");
    coder.Encode("abc");
    coder.Decode("YQ==");
    // A decode works on the text buffer, which then holds its (filtered) input.
    EXPECT_STREQ(coder.EncodedText(), "YQ==");
    coder.Encode(static_cast<const char*>(nullptr));
    coder.Decode(static_cast<const char*>(nullptr));
    EXPECT_STREQ(coder.EncodedText(), "YQ==");
    EXPECT_STREQ(coder.DecodedData(), "a");
}

TEST(Base64Coder, DecodesAndSkipsBlanksAndControlCharacters)
{
    EXPECT_EQ(Decoded("YWJj"), "abc");
    EXPECT_EQ(Decoded("YW Jj"), "abc");
    EXPECT_EQ(Decoded("\aY\bW\tJ\n\vj\f\r "), "abc");
    // Other control characters are not skipped and spoil the result.
    EXPECT_NE(Decoded("Y\x06WJj").substr(0, 3), "abc");
    EXPECT_NE(Decoded("Y\x0EWJj").substr(0, 3), "abc");
}

TEST(Base64Coder, PaddedGroupsCountThreeBytes)
{
    Base64Coder coder;
    coder.Decode("YQ==");
    ASSERT_EQ(coder.DecodedLength(), 3u);
    EXPECT_EQ(std::string(coder.DecodedData(), 3), std::string("a\0\0", 3));
    EXPECT_STREQ(coder.DecodedData(), "a");
    coder.Decode("YWI=");
    EXPECT_EQ(std::string(coder.DecodedData(), coder.DecodedLength()), std::string("ab\0", 3));
}

TEST(Base64Coder, UnpaddedLastGroupDecodesLikeAPaddedOne)
{
    // The data length grows by the number of characters of the short group; the extra
    // bytes are zero for a properly formed text.
    EXPECT_EQ(Decoded("YWI"), std::string("ab\0", 3));
    EXPECT_EQ(Decoded("YQ"), std::string("a\0", 2));
    EXPECT_EQ(Decoded("Zm9vYmE"), std::string("fooba\0", 6));
    Base64Coder coder;
    coder.Decode("YQ=");
    EXPECT_STREQ(coder.DecodedData(), "a");
}

TEST(Base64Coder, TopBitIsIgnoredAndForeignCharactersUseTheirTableValue)
{
    std::string high = "YWJj";
    for (char& ch : high)
        ch = static_cast<char>(ch | 0x80);
    EXPECT_EQ(Decoded(high), "abc");
    const signed char* table = Base64Coder::DecodeTable();
    EXPECT_EQ(table['A'], 0);
    EXPECT_EQ(table['A' | 0x80], 0);
    EXPECT_EQ(table['/'], 63);
    EXPECT_EQ(table['+' | 0x80], 62);
    EXPECT_EQ(table['='], -1);
    EXPECT_EQ(table[0xBD], -1);
    EXPECT_EQ(table['!'], -2);
    EXPECT_EQ(table[0], -2);
    EXPECT_EQ(table[0xFF], -2);
    // Not rejected: -2 keeps its low six bits (62), so "!" decodes like "+".
    EXPECT_EQ(Decoded("!!!!"), Decoded("++++"));
    EXPECT_EQ(Decoded("!!!!"), "\xFB\xEF\xBE");
}

TEST(Base64Coder, RoundTripsEveryLengthAndByte)
{
    std::string data;
    for (int length = 0; length < 300; ++length)
    {
        std::string text = Encoded(data);
        EXPECT_EQ(text.size(), (data.size() + 2) / 3 * 4);
        std::string back = Decoded(text);
        ASSERT_GE(back.size(), data.size());
        EXPECT_EQ(back.substr(0, data.size()), data) << length;
        EXPECT_EQ(back.find_first_not_of('\0', data.size()), std::string::npos);
        data.push_back(static_cast<char>(length * 37 + 11));
    }
}

TEST(Base64Coder, BuffersGrowInStepsAndAreZeroFilled)
{
    EXPECT_EQ(Base64Coder::GrowSize(0), 4096u);
    EXPECT_EQ(Base64Coder::GrowSize(4095), 4096u);
    EXPECT_EQ(Base64Coder::GrowSize(4096), 8192u);
    EXPECT_EQ(Base64Coder::GrowSize(10000), 12288u);
    EXPECT_EQ(Base64Coder::GrowSize(SIZE_MAX), 0u);

    Base64Coder coder;
    EXPECT_EQ(coder.TextCapacity(), 0u);
    EXPECT_TRUE(coder.ReserveText(1));
    EXPECT_EQ(coder.TextCapacity(), 4096u);
    EXPECT_TRUE(coder.ReserveText(4095));
    EXPECT_EQ(coder.TextCapacity(), 4096u); // large enough: kept
    EXPECT_TRUE(coder.ReserveText(9000));
    EXPECT_EQ(coder.TextCapacity(), 12288u);
    EXPECT_TRUE(coder.ReserveText(10));
    EXPECT_EQ(coder.TextCapacity(), 12288u); // never shrinks

    // Encoding 3000 bytes reserves 3000 for the data and 6000 for the text.
    std::string big(3000, 'q');
    coder.Encode(big.data(), big.size());
    EXPECT_EQ(coder.DataCapacity(), 4096u);
    EXPECT_EQ(coder.TextCapacity(), 12288u);
    EXPECT_EQ(coder.EncodedLength(), 4000u);
    // A shorter encode leaves nothing of the longer one behind the terminator.
    coder.Encode("a");
    EXPECT_STREQ(coder.EncodedText(), "YQ==");
    const char* text = coder.EncodedText();
    for (size_t i = 4; i < coder.TextCapacity(); ++i)
        ASSERT_EQ(text[i], 0) << i;
    // Decoding reserves the input length for the data.
    Base64Coder decoder;
    std::string longText(5000, 'A');
    decoder.Decode(longText.c_str());
    EXPECT_EQ(decoder.DataCapacity(), 8192u);
    EXPECT_EQ(decoder.DecodedLength(), 3750u);
}

TEST(Base64Coder, AFullBufferStaysTerminated)
{
    Base64Coder coder;
    coder.ReserveData(100);
    ASSERT_EQ(coder.DataCapacity(), 4096u);
    std::string bytes(4096, 'x');
    coder.SetData(bytes.data(), bytes.size());
    EXPECT_EQ(coder.DecodedLength(), 4096u);
    EXPECT_EQ(strlen(coder.DecodedData()), 4096u);
    EXPECT_GT(coder.DataCapacity(), 4096u);
}

TEST(Base64Coder, AnImpossibleReserveFailsCleanly)
{
    Base64Coder coder;
    coder.Encode("abc");
    EXPECT_FALSE(coder.ReserveText(SIZE_MAX));
    EXPECT_EQ(coder.TextCapacity(), 0u);
    EXPECT_STREQ(coder.EncodedText(), "");
    EXPECT_EQ(coder.EncodedLength(), 0u);
    // The coder is still usable.
    coder.Encode("ab");
    EXPECT_STREQ(coder.EncodedText(), "YWI=");
}

namespace
{
// Skips "-" as well, the way a subclass for a wrapped text format would.
class DashSkippingCoder : public Base64Coder
{
  public:
    bool IsSkipped(char ch) override { return ch == '-' || Base64Coder::IsSkipped(ch); }
};

// Counts the group steps the codec runs through its virtual slots.
class CountingCoder : public Base64Coder
{
  public:
    int splits = 0, joins = 0, encodes = 0, decodes = 0;
    void SplitGroup(const unsigned char* b, unsigned char* s) override
    {
        ++splits;
        Base64Coder::SplitGroup(b, s);
    }
    void JoinGroup(const unsigned char* s, unsigned char* b) override
    {
        ++joins;
        Base64Coder::JoinGroup(s, b);
    }
    void EncodeGroup(const unsigned char* g, size_t n, char* out) override
    {
        ++encodes;
        Base64Coder::EncodeGroup(g, n, out);
    }
    void DecodeGroup(const char* g, unsigned char* out) override
    {
        ++decodes;
        Base64Coder::DecodeGroup(g, out);
    }
};

// The vtable slot of a virtual member function (Itanium ABI: the pointer holds 1 plus the
// slot's byte offset).
template <typename F> size_t SlotOf(F f)
{
    struct
    {
        uintptr_t ptr;
        ptrdiff_t adj;
    } rep;
    static_assert(sizeof rep == sizeof f, "pointer to member layout");
    memcpy(&rep, &f, sizeof rep);
    return (rep.ptr - 1) / sizeof(void*);
}
} // namespace

TEST(Base64Coder, SubclassSkipRuleChangesSetTextAndDecode)
{
    DashSkippingCoder coder;
    coder.Decode("YW-Jj");
    EXPECT_STREQ(coder.DecodedData(), "abc");
    coder.SetText("a-b c", 5);
    EXPECT_STREQ(coder.EncodedText(), "abc");
    EXPECT_NE(Decoded("YW-Jj").substr(0, 3), "abc");
}

TEST(Base64Coder, GroupStepsRunThroughTheVirtualSlots)
{
    CountingCoder coder;
    coder.Encode("abcdefg"); // two whole groups and one short one
    EXPECT_EQ(coder.encodes, 3);
    EXPECT_EQ(coder.splits, 3);
    coder.Decode("YWJjZGVmZw"); // two whole groups and a short one
    EXPECT_EQ(coder.decodes, 2);
    EXPECT_EQ(coder.joins, 3);
    EXPECT_STREQ(coder.DecodedData(), "abcdefg");
}

TEST(Base64Coder, VirtualOperationsKeepTheirOrder)
{
    // Slots 0 and 1 are the two destructor entries of the ABI.
    EXPECT_EQ(SlotOf(static_cast<void (Base64Coder::*)(const char*)>(&Base64Coder::Encode)), 2u);
    EXPECT_EQ(SlotOf(static_cast<void (Base64Coder::*)(const void*, size_t)>(&Base64Coder::Encode)), 3u);
    EXPECT_EQ(SlotOf(static_cast<void (Base64Coder::*)(const char*)>(&Base64Coder::Decode)), 4u);
    EXPECT_EQ(SlotOf(static_cast<void (Base64Coder::*)(const char*, size_t)>(&Base64Coder::Decode)), 5u);
    EXPECT_EQ(SlotOf(&Base64Coder::DecodedData), 6u);
    EXPECT_EQ(SlotOf(&Base64Coder::EncodedText), 7u);
    EXPECT_EQ(SlotOf(&Base64Coder::ReserveText), 8u);
    EXPECT_EQ(SlotOf(&Base64Coder::ReserveData), 9u);
    EXPECT_EQ(SlotOf(&Base64Coder::SetText), 10u);
    EXPECT_EQ(SlotOf(&Base64Coder::SetData), 11u);
    EXPECT_EQ(SlotOf(&Base64Coder::EncodeGroup), 12u);
    EXPECT_EQ(SlotOf(&Base64Coder::DecodeGroup), 13u);
    EXPECT_EQ(SlotOf(&Base64Coder::SplitGroup), 14u);
    EXPECT_EQ(SlotOf(&Base64Coder::JoinGroup), 15u);
    EXPECT_EQ(SlotOf(&Base64Coder::IsSkipped), 16u);
}
