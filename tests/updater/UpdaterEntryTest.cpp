// The updater's entry: mode choice, link-file paths, and the question a link for another
// launcher version asks (seen from outside, on the real program).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/TestSupport.h"
#include "ui/StringTable.h"
#include "updater/UpdaterModes.h"

namespace
{
UpdaterMode ModeOf(const wchar_t* commandLine)
{
    return ChooseUpdaterMode(commandLine).mode;
}
} // namespace

TEST(ChooseUpdaterMode, EmptyCommandLineRunsNothing)
{
    EXPECT_EQ(ModeOf(nullptr), UpdaterMode::None);
    EXPECT_EQ(ModeOf(L""), UpdaterMode::None);
}

TEST(ChooseUpdaterMode, SwitchesArePrefixesIgnoringCase)
{
    EXPECT_EQ(ModeOf(L"/Loader"), UpdaterMode::Loader);
    EXPECT_EQ(ModeOf(L"/loader"), UpdaterMode::Loader);
    EXPECT_EQ(ModeOf(L"/LOADERX norvane:?x"), UpdaterMode::Loader) << "a longer word still selects it";
    EXPECT_EQ(ModeOf(L"/Proxy"), UpdaterMode::Proxy);
    EXPECT_EQ(ModeOf(L"/proxysettings"), UpdaterMode::Proxy);
    EXPECT_EQ(ModeOf(L"/CopyFile /DNP \"a.zip\""), UpdaterMode::CopyFile);
    EXPECT_EQ(ModeOf(L" /Loader"), UpdaterMode::ComServer) << "a prefix test starts at the first character";
    EXPECT_EQ(ModeOf(L"/Load"), UpdaterMode::ComServer);
}

TEST(ChooseUpdaterMode, CopyFileGetsTheRestAfterTheSwitch)
{
    UpdaterModeChoice choice = ChooseUpdaterMode(L"/copyfile /DNP \"C:\\a.zip\" /MML \"master_1\"");
    EXPECT_EQ(choice.mode, UpdaterMode::CopyFile);
    EXPECT_STREQ(choice.argument, L" /DNP \"C:\\a.zip\" /MML \"master_1\"");
    EXPECT_STREQ(ChooseUpdaterMode(L"/CopyFile").argument, L"");
}

TEST(ChooseUpdaterMode, LinksBeforeLinkFilesAndCaseSensitive)
{
    EXPECT_EQ(ModeOf(L"norvane:?abc"), UpdaterMode::Link);
    EXPECT_EQ(ModeOf(L"\"norvane:?abc\""), UpdaterMode::Link);
    EXPECT_EQ(ModeOf(L"C:\\dl\\norvane:x.nvpc"), UpdaterMode::Link) << "both: a direct link";
    EXPECT_EQ(ModeOf(L"C:\\dl\\meeting.nvpc"), UpdaterMode::LinkFile);
    EXPECT_EQ(ModeOf(L"NORVANE:?abc"), UpdaterMode::ComServer);
    EXPECT_EQ(ModeOf(L"C:\\dl\\MEETING.NVPC"), UpdaterMode::ComServer);
    EXPECT_EQ(ModeOf(L"-Embedding"), UpdaterMode::ComServer);
    EXPECT_EQ(ModeOf(L"/RegServer"), UpdaterMode::ComServer);
    EXPECT_STREQ(ChooseUpdaterMode(L"x.nvpc").argument, L"x.nvpc");
}

TEST(UnquotePath, RemovesOnePairOfEnclosingQuotes)
{
    EXPECT_EQ(UnquotePath(L"\"C:\\a b\\x.nvpc\""), L"C:\\a b\\x.nvpc");
    EXPECT_EQ(UnquotePath(L"  \"C:\\x.nvpc\"  "), L"C:\\x.nvpc");
    EXPECT_EQ(UnquotePath(L"C:\\x.nvpc"), L"C:\\x.nvpc");
    EXPECT_EQ(UnquotePath(L"\"C:\\x.nvpc"), L"\"C:\\x.nvpc") << "an unbalanced quote stays";
    EXPECT_EQ(UnquotePath(L"\""), L"\"");
    EXPECT_EQ(UnquotePath(L"   "), L"");
    EXPECT_EQ(UnquotePath(nullptr), L"");
}

namespace
{
std::string B64(const std::string& bytes)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3)
    {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

std::wstring LinkFor(const std::string& query)
{
    return L"norvane:?" + Utf8ToWideString(B64(query));
}

std::string NowMs()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return std::to_string((v.QuadPart - 116444736000000000ULL) / 10000ULL);
}

struct FoundBox
{
    DWORD pid;
    HWND box;
};

BOOL CALLBACK FindBoxOf(HWND window, LPARAM param)
{
    FoundBox* found = reinterpret_cast<FoundBox*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, ARRAYSIZE(cls));
    if (pid == found->pid && IsWindowVisible(window) && wcscmp(cls, L"#32770") == 0)
    {
        found->box = window;
        return FALSE;
    }
    return TRUE;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[2048] = {};
    GetWindowTextW(window, text, ARRAYSIZE(text));
    return text;
}

// Runs the updater with a link that names another launcher version, answers the
// question with button, and returns the exit code; caption and text of the box go out.
int AnswerVersionQuestion(const std::wstring& link, int button, std::wstring* caption, std::wstring* text)
{
    std::wstring exe = ModuleFolder() + L"NVPCUpdater.exe";
    std::wstring cmd = L"\"" + exe + L"\" " + link;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    FoundBox found = {pi.dwProcessId, nullptr};
    for (int i = 0; i < 400 && !found.box; ++i)
    {
        if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0)
            break; // ended without asking
        EnumWindows(FindBoxOf, reinterpret_cast<LPARAM>(&found));
    }
    if (found.box)
    {
        *caption = WindowText(found.box);
        *text = WindowText(GetDlgItem(found.box, 0xFFFF)); // the message box's text control
        HWND yes = GetDlgItem(found.box, IDYES), no = GetDlgItem(found.box, IDNO);
        EXPECT_NE(yes, nullptr);
        EXPECT_NE(no, nullptr);
        EXPECT_EQ(GetDlgItem(found.box, IDOK), nullptr);
        PostMessageW(found.box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(found.box, button)));
    }
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hProcess);
    return found.box ? static_cast<int>(code) : -2;
}
} // namespace

TEST(UpdaterLinkMode, AnotherLauncherVersionAsksAndRunsNoWorkflow)
{
    std::wstring expected =
        CStringTable::LoadIn(IDS_LAUNCHER_UPGRADED, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_FALSE(expected.empty());
    std::string now = NowMs();
    for (int button : {IDNO, IDYES})
    {
        LogCapture log;
        std::wstring caption, text;
        // RTP=9 runs no workflow even when the version matches, so nothing else can appear.
        std::wstring link = LinkFor("VER=2.0.0.1&UDU=http://127.0.0.1:9/get&CAP=Meeting&RTP=9&LAT=" + now +
                                    "&SAT=" + now + "&EAT=10");
        EXPECT_EQ(AnswerVersionQuestion(link, button, &caption, &text), 0) << "no question box seen";
        EXPECT_EQ(caption, L"Meeting Updater");
        // A message box shows the line feed of string 219 as CR LF or LF.
        std::wstring shown;
        for (wchar_t ch : text)
            if (ch != L'\r')
                shown += ch;
        EXPECT_EQ(shown, expected);
        auto texts = log.Texts();
        ASSERT_GE(texts.size(), 3u);
        EXPECT_EQ(texts.front(), L"CMngrSocket::InitNetwork");
        EXPECT_EQ(texts.back(), L"CMngrSocket::ReleaseNetwork");
        EXPECT_EQ(texts[1], L"SetVersion : 2.0.0.1");
    }
}

TEST(UpdaterLinkMode, AFreshLinkFileIsAcceptedAndReachesTheVersionQuestion)
{
    // The refusals are seen from outside as runs that end without a window; this is the
    // other side: a link file written now, within its validity, gets as far as the question.
    TempDir dir;
    std::string now = NowMs();
    std::wstring path = dir / L"meeting.nvpc";
    std::wstring link = LinkFor("VER=2.0.0.1&CAP=Meeting&RTP=9&LAT=" + now + "&SAT=" + now + "&EAT=10");
    ASSERT_TRUE(WriteBytes(path, WideToUtf8(link) + "\r\n"));
    LogCapture log;
    std::wstring caption, text;
    EXPECT_EQ(AnswerVersionQuestion(L"\"" + path + L"\"", IDNO, &caption, &text), 0)
        << "no question box seen";
    EXPECT_EQ(caption, L"Meeting Updater");
    auto texts = log.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[1], L"SetVersion : 2.0.0.1");
}
