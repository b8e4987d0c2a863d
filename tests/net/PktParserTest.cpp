// Field splitting of reply bodies and link texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/PktParser.h"

namespace
{
// The fields of one parse, checked against the parser's count and its end.
template <typename Parser, typename Char>
std::vector<std::basic_string<Char>> FieldsOf(Parser& parser, const Char* data, size_t count)
{
    size_t parsed = parser.Parse(data, count);
    EXPECT_EQ(parsed, parser.GetCount());
    std::vector<std::basic_string<Char>> out;
    for (size_t i = 0; i < parser.GetCount(); ++i)
        out.push_back(parser.GetField(i));
    EXPECT_EQ(parser.GetField(parser.GetCount()), nullptr);
    return out;
}

std::vector<std::string> FieldsA(const std::string& body)
{
    CPktParserA parser;
    return FieldsOf(parser, body.data(), body.size());
}

std::vector<std::wstring> FieldsW(wchar_t first, wchar_t second, const std::wstring& text, size_t count)
{
    CPktParserW parser(first, second);
    return FieldsOf(parser, text.c_str(), count);
}

typedef std::vector<std::string> A;
typedef std::vector<std::wstring> W;
const std::string SEP = "\x01", END = "\x02"; // FIELD_SEP and LIST_END
} // namespace

TEST(CPktParserA, SplitsOnBothTerminators)
{
    EXPECT_EQ(FieldsA("A" + SEP + "B" + END), (A{"A", "B"}));
    EXPECT_EQ(FieldsA("10.0.0.5" + SEP + "3.1" + END), (A{"10.0.0.5", "3.1"}));
    // Either byte ends a field wherever it stands.
    EXPECT_EQ(FieldsA("a" + END + "b" + SEP + "c" + END), (A{"a", "b", "c"}));
}

TEST(CPktParserA, TextAfterTheLastTerminatorIsNoField)
{
    EXPECT_EQ(FieldsA("abc"), A{});
    EXPECT_EQ(FieldsA(""), A{});
    EXPECT_EQ(FieldsA("A" + SEP + "tail"), A{"A"});
}

TEST(CPktParserA, EmptyFields)
{
    EXPECT_EQ(FieldsA("\x02"), A{""});
    EXPECT_EQ(FieldsA("\x01\x02"), (A{"", ""}));
    EXPECT_EQ(FieldsA(SEP + "x" + SEP + SEP + "y" + END), (A{"", "x", "", "y"}));
}

TEST(CPktParserA, AZeroByteEndsTheFieldText)
{
    EXPECT_EQ(FieldsA(std::string("ab\0cd", 5) + SEP + "e" + END), (A{"ab", "e"}));
    EXPECT_EQ(FieldsA(std::string("\0\x02", 2)), A{""});
}

TEST(CPktParserA, OnlyCountBytesAreRead)
{
    const char body[] = {'x', '\x01', 'y', '\x02', 'z', '\x02'};
    CPktParserA parser;
    EXPECT_EQ(parser.Parse(body, 2), 1u);
    EXPECT_EQ(parser.Parse(body, 3), 1u);
    EXPECT_EQ(parser.Parse(body, 4), 2u);
    EXPECT_EQ(parser.Parse(body, 0), 0u);
    EXPECT_EQ(parser.Parse(nullptr, 10), 0u);
}

TEST(CPktParserA, ASecondParseForgetsTheFirst)
{
    CPktParserA parser;
    std::string first = "one\x01two\x01three\x02";
    ASSERT_EQ(parser.Parse(first.data(), first.size()), 3u);
    std::string second = "four\x02";
    ASSERT_EQ(parser.Parse(second.data(), second.size()), 1u);
    EXPECT_STREQ(parser.GetField(0), "four");
    EXPECT_EQ(parser.GetField(1), nullptr);
    EXPECT_EQ(parser.GetField(static_cast<size_t>(-1)), nullptr);
}

TEST(CPktParserA, FieldsOfSeparateParsersDoNotShareStorage)
{
    CPktParserA a, b;
    std::string one = "first\x02", two = "second\x02";
    a.Parse(one.data(), one.size());
    const char* field = a.GetField(0);
    b.Parse(two.data(), two.size());
    EXPECT_STREQ(field, "first");
    EXPECT_STREQ(b.GetField(0), "second");
}

TEST(CPktParserA, ALongFieldIsCutToTheScratchLimit)
{
    std::string body(40000, 'q');
    body.push_back('\x02');
    A fields = FieldsA(body);
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].size(), static_cast<size_t>(CPktParserA::kMaxFieldUnits));
}

TEST(CPktParserW, CountingTheTerminatorMakesTheLastFieldCount)
{
    std::wstring text = L"a=1&b=2";
    EXPECT_EQ(FieldsW(L'&', 0, text, text.size() + 1), (W{L"a=1", L"b=2"}));
    EXPECT_EQ(FieldsW(L'&', 0, text, text.size()), (W{L"a=1"}));
    EXPECT_EQ(FieldsW(L'=', 0, L"KEY=v=w", 8), (W{L"KEY", L"v", L"w"}));
    EXPECT_EQ(FieldsW(L'=', 0, L"bare", 5), (W{L"bare"}));
    EXPECT_EQ(FieldsW(L'&', 0, L"&&x", 4), (W{L"", L"", L"x"}));
    EXPECT_EQ(FieldsW(L'&', 0, L"", 1), (W{L""}));
}

TEST(CPktParserW, ASecondParseForgetsTheFirst)
{
    CPktParserW parser(L'&', 0);
    parser.Parse(L"a&b&c", 6);
    ASSERT_EQ(parser.GetCount(), 3u);
    parser.Parse(L"\u65e5=\u672c", 4);
    ASSERT_EQ(parser.GetCount(), 1u);
    EXPECT_STREQ(parser.GetField(0), L"\u65e5=\u672c");
}
