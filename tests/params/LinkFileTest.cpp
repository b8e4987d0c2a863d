// Link files: reading the first line, and the validity window of a link.
#include <gtest/gtest.h>

#include <string>

#include "params/Param.h"
#include "params/UriParser.h"
#include "support/TestSupport.h"
#include "LinkTestSupport.h"

namespace
{
const LONGLONG kUnixEpochIn100ns = 116444736000000000LL;

bool SetWriteTime(const std::wstring& path, LONGLONG unixSeconds)
{
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ULARGE_INTEGER value;
    value.QuadPart = static_cast<ULONGLONG>(unixSeconds * 10000000LL + kUnixEpochIn100ns);
    FILETIME ft = {value.LowPart, value.HighPart};
    BOOL ok = SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
    return ok != FALSE;
}

// A record with the three authorisation values as a link sets them (milliseconds in).
CParam Issued(LONGLONG localSeconds, LONGLONG serverSeconds, int expireMinutes)
{
    CParam p;
    p.SetLocalAuthTime(std::to_wstring(localSeconds * 1000).c_str());
    p.SetServerAuthTime(std::to_wstring(serverSeconds * 1000).c_str());
    p.SetExpireAuthTime(std::to_wstring(expireMinutes).c_str());
    return p;
}

std::wstring ParsedLine(const std::wstring& link, std::vector<std::wstring>* log = nullptr)
{
    LogCapture capture;
    CParam p;
    CUriParser(link.c_str()).Parse(&p);
    if (log)
        *log = capture.Texts();
    std::wstring line;
    p.BuildCommandLine(line);
    return line;
}
} // namespace

TEST(ReadLinkFile, GivesTheFirstLineInQuotes)
{
    TempDir dir;
    std::wstring path = dir / L"meeting.nvpc";
    ASSERT_TRUE(WriteBytes(path, "norvane:?abc\r\nsecond line\n"));
    EXPECT_EQ(CUriParser::ReadLinkFile(path.c_str()), L"\"norvane:?abc\r\"");
    ASSERT_TRUE(WriteBytes(path, "norvane:?\xEC\x9D\x98x"));
    EXPECT_EQ(CUriParser::ReadLinkFile(path.c_str()), L"\"norvane:?\uc758x\"");
    ASSERT_TRUE(WriteBytes(path, "\nnorvane:?abc"));
    EXPECT_EQ(CUriParser::ReadLinkFile(path.c_str()), L"\"\"");
}

TEST(ReadLinkFile, EmptyMissingAndReadOnlyFiles)
{
    TempDir dir;
    std::wstring path = dir / L"empty.nvpc";
    ASSERT_TRUE(WriteBytes(path, ""));
    EXPECT_EQ(CUriParser::ReadLinkFile(path.c_str()), L"\"\"");
    EXPECT_EQ(CUriParser::ReadLinkFile((dir / L"missing.nvpc").c_str()), L"");
    EXPECT_EQ(CUriParser::ReadLinkFile(nullptr), L"");
    EXPECT_EQ(CUriParser::ReadLinkFile(L""), L"");
    // The file is opened for writing too: a file that another program holds without
    // sharing writes gives nothing.
    std::wstring held = dir / L"held.nvpc";
    ASSERT_TRUE(WriteBytes(held, "norvane:?abc"));
    HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CUriParser::ReadLinkFile(held.c_str()), L"");
    CloseHandle(h);
    EXPECT_EQ(CUriParser::ReadLinkFile(held.c_str()), L"\"norvane:?abc\"");
    // The same for a read-only file, where the platform refuses writing to it (an
    // administrator under Wine may write anyway).
    ASSERT_TRUE(SetFileAttributesW(held.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE probe = CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        EXPECT_EQ(CUriParser::ReadLinkFile(held.c_str()), L"");
    else
        CloseHandle(probe);
    SetFileAttributesW(held.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ReadLinkFile, HugeAndBinaryFilesAreCut)
{
    TempDir dir;
    std::wstring path = dir / L"huge.nvpc";
    std::string huge = "norvane:?" + std::string(1 << 20, 'Q');
    ASSERT_TRUE(WriteBytes(path, huge));
    std::wstring text = CUriParser::ReadLinkFile(path.c_str());
    ASSERT_EQ(text.size(), 4095u + 2u);
    EXPECT_EQ(text.substr(0, 10), L"\"norvane:?");
    EXPECT_EQ(text.back(), L'"');

    // A line feed right after the limit does not count.
    ASSERT_TRUE(WriteBytes(path, std::string(4095, 'a') + "\nb"));
    EXPECT_EQ(CUriParser::ReadLinkFile(path.c_str()).size(), 4097u);
    // A multi-byte character cut by the limit becomes one replacement character.
    ASSERT_TRUE(WriteBytes(path, std::string(4094, 'a') + "\xE6\x97\xA5"));
    EXPECT_EQ(CUriParser::ReadLinkFile(path.c_str()), L"\"" + std::wstring(4094, L'a') + L"\xFFFD\"");

    // Binary: the text ends at the first zero byte; invalid UTF-8 becomes U+FFFD.
    std::string binary("no\xFFrvane\0:?zz", 13);
    for (int i = 0; i < 5000; ++i)
        binary.push_back(static_cast<char>(i * 7));
    ASSERT_TRUE(WriteBytes(path, binary));
    EXPECT_EQ(CUriParser::ReadLinkFile(path.c_str()), L"\"no\xFFFDrvane\"");
    // A UTF-16 file reads as almost nothing and holds no link.
    ASSERT_TRUE(WriteUtf16File(path, L"norvane:?abc"));
    std::wstring utf16 = CUriParser::ReadLinkFile(path.c_str());
    EXPECT_EQ(CUriParser(utf16.c_str()).IsValid(), 0);
}

namespace
{
struct LinkFileRead
{
    std::wstring path;
    std::wstring result = L"(not read)";
};

DWORD WINAPI ReadLinkFileThread(LPVOID arg)
{
    LinkFileRead* read = static_cast<LinkFileRead*>(arg);
    read->result = CUriParser::ReadLinkFile(read->path.c_str());
    return 0;
}
} // namespace

TEST(ReadLinkFile, APipeOrADeviceIsNoLinkFile)
{
    // A pipe whose other end never writes: a read from it would wait for ever.
    LinkFileRead* read = new LinkFileRead;
    read->path = L"\\\\.\\pipe\\nvpc_link_" + std::to_wstring(GetCurrentProcessId()) + L".nvpc";
    HANDLE pipe = CreateNamedPipeW(read->path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                   4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    HANDLE thread = CreateThread(nullptr, 0, ReadLinkFileThread, read, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    bool endedByItself = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
    // Breaking the pipe ends a read that still waits, so this test stays bounded.
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    bool ended = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
    CloseHandle(thread);
    EXPECT_TRUE(endedByItself) << "the read waited for the pipe";
    ASSERT_TRUE(ended);
    EXPECT_EQ(read->result, L"");
    delete read; // only once the thread has ended

    // The NUL device opens and reads as empty: no link file either.
    EXPECT_EQ(CUriParser::ReadLinkFile(L"\\\\.\\NUL"), L"");
}

TEST(ReadLinkFile, ALinkFileParsesLikeTheSameLinkGivenDirectly)
{
    TempDir dir;
    std::wstring link = MakeLink(L"LID=17&PID=P1&RTP=1&XYZ=5&RNM=Room 1&LAT=1000&SAT=2000&EAT=5");
    std::wstring path = dir / L"a.nvpc";
    ASSERT_TRUE(WriteBytes(path, WideToUtf8(link) + "\r\n"));
    std::vector<std::wstring> direct, fromFile;
    std::wstring directLine = ParsedLine(link, &direct);
    std::wstring fileLine = ParsedLine(CUriParser::ReadLinkFile(path.c_str()), &fromFile);
    EXPECT_EQ(fileLine, directLine);
    EXPECT_EQ(fileLine, L"/LID:1041 /PID:\"P1\" /PTP:0 /MSP:7084 /FSP:7085 /RNM:\"Room 1\" /MAX:2 /XYZ:5 ");
    EXPECT_EQ(fromFile, direct);
    EXPECT_EQ(direct.size(), 7u);
}

TEST(CheckLinkFileTime, BothAuthorisationTimesAreRequired)
{
    CParam none;
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(nullptr, none));
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(nullptr, Issued(1000, 0, -1)));
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(nullptr, Issued(0, 1000, -1)));
    // Below one second of milliseconds the stored seconds are 0 as well.
    CParam subSecond;
    subSecond.SetLocalAuthTime(L"999");
    subSecond.SetServerAuthTime(L"5000");
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(nullptr, subSecond));
    // A direct link needs nothing more, however old it is.
    EXPECT_TRUE(CUriParser::CheckLinkFileTime(nullptr, Issued(1000, 1, 10)));
}

TEST(CheckLinkFileTime, FileWrittenWithinAMinuteOfTheIssueTime)
{
    TempDir dir;
    std::wstring path = dir / L"a.nvpc";
    ASSERT_TRUE(WriteBytes(path, "x"));
    const LONGLONG issued = 1700000000;
    CParam link = Issued(issued, issued + 3, 10);

    ASSERT_TRUE(SetWriteTime(path, issued + 30));
    EXPECT_TRUE(CUriParser::CheckLinkFileTime(path.c_str(), link, issued + 30));
    EXPECT_TRUE(CUriParser::CheckLinkFileTime(path.c_str(), link, issued + 599));
    EXPECT_TRUE(CUriParser::CheckLinkFileTime(path.c_str(), link, issued + 600)) << "the last second counts";
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(path.c_str(), link, issued + 601));
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(path.c_str(), link, issued + 86400));

    ASSERT_TRUE(SetWriteTime(path, issued + 61));
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(path.c_str(), link, issued));
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(path.c_str(), link, issued + 61));
    ASSERT_TRUE(SetWriteTime(path, issued + 60));
    EXPECT_TRUE(CUriParser::CheckLinkFileTime(path.c_str(), link, issued + 61));
    ASSERT_TRUE(SetWriteTime(path, issued - 61));
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(path.c_str(), link, issued));

    // No time check: any file time passes.
    ASSERT_TRUE(SetWriteTime(path, issued + 100000));
    EXPECT_TRUE(CUriParser::CheckLinkFileTime(path.c_str(), Issued(issued, 1, -1), issued + 999999));
    // A file whose time cannot be read is refused.
    EXPECT_FALSE(CUriParser::CheckLinkFileTime((dir / L"gone.nvpc").c_str(), link, issued));
}

TEST(CheckLinkFileTime, UsesTheCurrentTime)
{
    TempDir dir;
    std::wstring path = dir / L"a.nvpc";
    ASSERT_TRUE(WriteBytes(path, "x"));
    LONGLONG now = CUriParser::CurrentUnixSeconds();
    // Issued two minutes ago, written 30 s after: inside ten minutes.
    ASSERT_TRUE(SetWriteTime(path, now - 90));
    EXPECT_TRUE(CUriParser::CheckLinkFileTime(path.c_str(), Issued(now - 120, now, 10)));
    // Issued eleven minutes ago: run out.
    ASSERT_TRUE(SetWriteTime(path, now - 630));
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(path.c_str(), Issued(now - 660, now, 10)));
    // A link file just written carries about the current time.
    ASSERT_TRUE(WriteBytes(path, "y"));
    EXPECT_TRUE(CUriParser::CheckLinkFileTime(path.c_str(), Issued(now, now, 1)));
}

TEST(CheckLinkFileTime, ALinkWithoutAuthorisationTimesIsRefusedAlsoDirectly)
{
    CParam p;
    CUriParser(MakeLink(L"LID=17&PID=P1&SAT=5000").c_str()).Parse(&p);
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(nullptr, p));
    CParam q;
    CUriParser(MakeLink(L"LID=17&PID=P1&LAT=5000").c_str()).Parse(&q);
    EXPECT_FALSE(CUriParser::CheckLinkFileTime(nullptr, q));
    CParam r;
    CUriParser(MakeLink(L"LAT=5000&SAT=5000").c_str()).Parse(&r);
    EXPECT_TRUE(CUriParser::CheckLinkFileTime(nullptr, r));
}
