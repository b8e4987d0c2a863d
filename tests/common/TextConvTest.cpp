// Text conversions: per-thread results, bounded UTF-8 decoding, percent coding.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>

#include "common/TextConv.h"

namespace
{
std::wstring Utf8(const char* text, size_t bufferChars, bool* complete = nullptr)
{
    std::wstring buffer(bufferChars, L'\0');
    bool ok = Utf8ToWide(text, &buffer[0], bufferChars);
    if (complete)
        *complete = ok;
    return std::wstring(buffer.c_str());
}
} // namespace

TEST(ToNarrowToWide, AbsentInputGivesEmptyText)
{
    ASSERT_NE(ToNarrow(nullptr), nullptr);
    EXPECT_STREQ(ToNarrow(nullptr), "");
    EXPECT_STREQ(ToNarrow(L""), "");
    ASSERT_NE(ToWide(nullptr), nullptr);
    EXPECT_STREQ(ToWide(nullptr), L"");
    EXPECT_STREQ(ToWide(""), L"");
}

TEST(ToNarrowToWide, ConvertsAsciiBothWays)
{
    EXPECT_STREQ(ToNarrow(L"select serverip from x where y='1'"), "select serverip from x where y='1'");
    EXPECT_STREQ(ToWide("http://host:80/a b.zip"), L"http://host:80/a b.zip");
}

TEST(ToNarrowToWide, ResultStaysUntilTheSameOperationRunsAgain)
{
    const char* narrow = ToNarrow(L"first");
    const wchar_t* wide = ToWide("other");
    // A ToWide call leaves the narrow result alone and the other way round.
    EXPECT_STREQ(narrow, "first");
    EXPECT_STREQ(wide, L"other");
    std::string copy = narrow;
    ToNarrow(L"second, a longer text that needs a larger buffer than the first one");
    EXPECT_EQ(copy, "first");
}

TEST(ToNarrowToWide, UsesTheThreadCodePage)
{
    // CP_THREAD_ACP follows the thread locale: Japanese gives Shift-JIS bytes. A thread of
    // its own keeps the change away from the other tests.
    std::string narrow;
    std::wstring back;
    std::thread worker(
        [&]
        {
            SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
            narrow = ToNarrow(L"\u65e5\u672c");
            back = ToWide(narrow.c_str());
        });
    worker.join();
    EXPECT_EQ(narrow, "\x93\xfa\x96\x7b");
    EXPECT_EQ(back, L"\u65e5\u672c");
}

TEST(ToNarrowToWide, UnrepresentableCharactersDoNotEndTheText)
{
    // The thread's code page cannot hold every character; the rest of the text survives.
    std::string narrow = ToNarrow(L"a\u4e00\u0e01b");
    ASSERT_GE(narrow.size(), 3u);
    EXPECT_EQ(narrow.front(), 'a');
    EXPECT_EQ(narrow.back(), 'b');
}

namespace
{
void ConvertMany()
{
    for (int i = 0; i < 500; ++i)
    {
        std::wstring wide(50 + i, L'x');
        std::string narrow(50 + i, 'y');
        ASSERT_EQ(strlen(ToNarrow(wide.c_str())), wide.size());
        ASSERT_EQ(wcslen(ToWide(narrow.c_str())), narrow.size());
    }
}

void WaitFor(const std::atomic<int>& stage, int value)
{
    for (int i = 0; stage.load() < value && i < 100000; ++i)
        Sleep(1);
}
} // namespace

TEST(ToNarrowToWide, ThreadsKeepTheirOwnResults)
{
    // Each thread holds a result while the other thread converts many other texts; the
    // held result must come through unchanged.
    std::atomic<int> stage{0};
    std::string narrowA, narrowB;
    std::wstring wideA, wideB;
    std::thread a(
        [&]
        {
            const char* narrow = ToNarrow(L"alpha-one");
            const wchar_t* wide = ToWide("ALPHA");
            stage = 1;
            WaitFor(stage, 2); // b converts meanwhile
            narrowA = narrow;
            wideA = wide;
            ConvertMany();
            stage = 3;
        });
    std::thread b(
        [&]
        {
            WaitFor(stage, 1);
            ConvertMany();
            const char* narrow = ToNarrow(L"beta-two");
            const wchar_t* wide = ToWide("BETA");
            stage = 2;
            WaitFor(stage, 3); // a converts meanwhile
            narrowB = narrow;
            wideB = wide;
        });
    a.join();
    b.join();
    EXPECT_EQ(narrowA, "alpha-one");
    EXPECT_EQ(wideA, L"ALPHA");
    EXPECT_EQ(narrowB, "beta-two");
    EXPECT_EQ(wideB, L"BETA");
}

namespace
{
DWORD WINAPI NativeThreadConverts(LPVOID result)
{
    std::wstring wide(100, L'n');
    const char* narrow = ToNarrow(wide.c_str());
    *static_cast<bool*>(result) = strlen(narrow) == 100 && wcscmp(ToWide("abc"), L"abc") == 0;
    return 0;
}
} // namespace

TEST(ToNarrowToWide, ThreadsOfTheWorkersConvertAndEnd)
{
    // The download and server threads are plain Win32 threads: their storage must come
    // and go with them.
    for (int i = 0; i < 50; ++i)
    {
        bool ok = false;
        HANDLE thread = CreateThread(nullptr, 0, NativeThreadConverts, &ok, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
        ASSERT_TRUE(ok) << i;
    }
}

TEST(Utf8ToWide, ConvertsMultiByteAndAstralCharacters)
{
    bool complete = false;
    EXPECT_EQ(Utf8("k\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", 16, &complete), L"k\u00e9\u65e5\xD83D\xDE00");
    EXPECT_TRUE(complete);
    EXPECT_EQ(Utf8(nullptr, 4, &complete), L"");
    EXPECT_TRUE(complete);
}

TEST(Utf8ToWide, NeverWritesPastTheBuffer)
{
    // Guard characters after the buffer must survive every cut.
    const char* text = "abcdefgh\xE6\x97\xA5\xF0\x9F\x98\x80xyz";
    for (size_t size = 0; size <= 16; ++size)
    {
        std::wstring area(size + 8, L'#');
        size_t written = 99;
        bool complete = Utf8ToWide(text, &area[0], size, &written);
        for (size_t g = size; g < area.size(); ++g)
            ASSERT_EQ(area[g], L'#') << "size " << size << " guard " << g;
        if (size == 0)
        {
            EXPECT_FALSE(complete);
            EXPECT_EQ(written, 0u);
            continue;
        }
        EXPECT_EQ(area[written], L'\0');
        EXPECT_LT(written, size);
        EXPECT_EQ(complete, size >= 15) << size;
    }
}

TEST(Utf8ToWide, CutsBeforeASurrogatePairThatDoesNotFit)
{
    bool complete = true;
    // Room for "ab" and one more unit: the pair does not fit and is left out whole.
    EXPECT_EQ(Utf8("ab\xF0\x9F\x98\x80", 4, &complete), L"ab");
    EXPECT_FALSE(complete);
    EXPECT_EQ(Utf8("ab\xF0\x9F\x98\x80", 5, &complete), L"ab\xD83D\xDE00");
    EXPECT_TRUE(complete);
    EXPECT_EQ(Utf8("abc", 3, &complete), L"ab");
    EXPECT_FALSE(complete);
}

TEST(Utf8ToWide, InvalidSequencesBecomeReplacementCharacters)
{
    EXPECT_EQ(Utf8("\xC3(", 8), L"\xFFFD(");         // missing continuation byte
    EXPECT_EQ(Utf8("a\x80z", 8), L"a\xFFFDz");       // lone continuation byte
    EXPECT_EQ(Utf8("\xC0\xAF", 8), L"\xFFFD\xFFFD"); // overlong slash
    EXPECT_EQ(Utf8("\xE0\x80\xAF", 8), L"\xFFFD\xFFFD\xFFFD");
    EXPECT_EQ(Utf8("\xED\xA0\x80", 8), L"\xFFFD\xFFFD\xFFFD");           // encoded surrogate
    EXPECT_EQ(Utf8("\xF4\x90\x80\x80", 8), L"\xFFFD\xFFFD\xFFFD\xFFFD"); // above U+10FFFF
    EXPECT_EQ(Utf8("\xFF\xFEz", 8), L"\xFFFD\xFFFDz");
    EXPECT_EQ(Utf8("x\xE6\x97", 8), L"x\xFFFD"); // cut short by the terminator
    EXPECT_EQ(Utf8("\xF0\x9F\x98", 8), L"\xFFFD");
}

TEST(PercentDecode, DecodesPairsAndKeepsTheRest)
{
    EXPECT_EQ(PercentDecode("a%41%4"), "aA%4");
    EXPECT_EQ(PercentDecode("%zz"), "%zz");
    EXPECT_EQ(PercentDecode("%"), "%");
    EXPECT_EQ(PercentDecode("ab%"), "ab%");
    EXPECT_EQ(PercentDecode("%4"), "%4");
    EXPECT_EQ(PercentDecode("%4g%41"), "%4gA");
    EXPECT_EQ(PercentDecode("a+b"), "a+b");
    EXPECT_EQ(PercentDecode("%e6%97%A5"), "\xE6\x97\xA5");
    EXPECT_EQ(PercentDecode("%%41"), "%A");
    EXPECT_EQ(PercentDecode(""), "");
    EXPECT_EQ(PercentDecode(std::string("a%00b", 5)), std::string("a\0b", 3));
}

TEST(PercentEncode, KeepsTheSafeSetAndEscapesTheRest)
{
    EXPECT_EQ(PercentEncode("Room one.x"), "Room%20one%2Ex");
    EXPECT_EQ(PercentEncode("/_0123456789ABCXYZabcxyz"), "/_0123456789ABCXYZabcxyz");
    EXPECT_EQ(PercentEncode("-~%+&="), "%2D%7E%25%2B%26%3D");
    EXPECT_EQ(PercentEncode("\xE6\x97\xA5"), "%E6%97%A5");
    EXPECT_EQ(PercentEncode(std::string("\0", 1)), "%00");
}

TEST(PercentEncode, EveryByteSurvivesARoundTrip)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    std::string encoded = PercentEncode(all);
    for (char ch : encoded)
        EXPECT_TRUE(isalnum(static_cast<unsigned char>(ch)) || ch == '%' || ch == '/' || ch == '_');
    EXPECT_EQ(PercentDecode(encoded), all);
}
