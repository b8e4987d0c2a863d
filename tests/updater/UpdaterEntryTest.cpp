// The updater's entry: mode choice, link-file paths, the question a link for another
// launcher version asks (seen from outside, on the real program), and what the modes hand
// to the elevated copy of themselves.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "install/SystemQueries.h"
#include "params/LinkTestSupport.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"
#include "support/WindowDriver.h"
#include "ui/StringTable.h"
#include "updater/ProgramEntry.h"

// One table for both programs: the same entry code chooses by each program's traits.
TEST(ChooseMode, EachProgramByItsTraits)
{
    using M = ProgramMode;
    struct Case
    {
        const wchar_t* commandLine;
        ProgramMode updater, launcher;
    } cases[] = {
        {nullptr, M::None, M::Link},
        {L"", M::None, M::Link},
        // Switches are prefixes ignoring case, tested from the first character.
        {L"/Loader", M::Loader, M::Loader},
        {L"/loader", M::Loader, M::Loader},
        {L"/LOADERX norvane:?x", M::Loader, M::Loader},
        {L"/Proxy", M::Proxy, M::Proxy},
        {L"/proxysettings", M::Proxy, M::Proxy},
        {L"/CopyFile /DNP \"a.zip\"", M::CopyFile, M::CopyFile},
        {L"/copyfile", M::CopyFile, M::CopyFile},
        {L" /Loader", M::ComServer, M::Link},
        {L"/Load", M::ComServer, M::Link},
        // The updater tests for a link before a link file, case-sensitively; the launcher
        // knows only the link file.
        {L"norvane:?abc", M::Link, M::Link},
        {L"\"norvane:?abc\"", M::Link, M::Link},
        {L"C:\\dl\\norvane:x.nvpc", M::Link, M::LinkFile},
        {L"C:\\dl\\meeting.nvpc", M::LinkFile, M::LinkFile},
        {L"NORVANE:?abc", M::ComServer, M::Link},
        {L"C:\\dl\\MEETING.NVPC", M::ComServer, M::Link},
        {L"-Embedding", M::ComServer, M::Link},
        {L"/RegServer", M::ComServer, M::Link},
    };
    for (const Case& c : cases)
    {
        const wchar_t* shown = c.commandLine ? c.commandLine : L"(null)";
        EXPECT_EQ(ChooseMode(kUpdaterTraits, c.commandLine).mode, c.updater) << shown;
        EXPECT_EQ(ChooseMode(kLauncherTraits, c.commandLine).mode, c.launcher) << shown;
    }
    // The placement gets the rest after the switch; the other modes the line as given.
    ProgramModeChoice choice = ChooseMode(kUpdaterTraits, L"/copyfile /DNP \"C:\\a.zip\" /MML \"master_1\"");
    EXPECT_STREQ(choice.argument, L" /DNP \"C:\\a.zip\" /MML \"master_1\"");
    EXPECT_STREQ(ChooseMode(kLauncherTraits, L"/CopyFile").argument, L"");
    EXPECT_STREQ(ChooseMode(kUpdaterTraits, L"x.nvpc").argument, L"x.nvpc");
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
std::wstring NowMs()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return std::to_wstring((v.QuadPart - 116444736000000000ULL) / 10000ULL);
}

// Runs the updater with a link that names another launcher version, answers the
// question with button, and returns the exit code; caption and text of the box go out.
int AnswerVersionQuestion(const std::wstring& link, int button, std::wstring* caption, std::wstring* text)
{
    std::wstring exe = ModuleFolder() + L"\\NVPCUpdater.exe";
    std::wstring cmd = L"\"" + exe + L"\" " + link;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    HWND box = nullptr;
    for (int i = 0; i < 400 && !box; ++i)
    {
        if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0)
            break; // ended without asking
        box = FindProcessWindow(pi.dwProcessId, L"#32770", nullptr);
    }
    if (box)
    {
        *caption = WindowText(box);
        *text = WindowText(GetDlgItem(box, 0xFFFF)); // the message box's text control
        HWND yes = GetDlgItem(box, IDYES), no = GetDlgItem(box, IDNO);
        EXPECT_NE(yes, nullptr);
        EXPECT_NE(no, nullptr);
        EXPECT_EQ(GetDlgItem(box, IDOK), nullptr);
        ClickButton(box, button);
    }
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hProcess);
    return box ? static_cast<int>(code) : -2;
}
} // namespace

TEST(UpdaterLinkMode, AnotherLauncherVersionAsksAndRunsNoWorkflow)
{
    std::wstring expected =
        CStringTable::LoadIn(IDS_LAUNCHER_UPGRADED, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_FALSE(expected.empty());
    std::wstring now = NowMs();
    for (int button : {IDNO, IDYES})
    {
        LogCapture log;
        std::wstring caption, text;
        // RTP=9 runs no workflow even when the version matches, so nothing else can appear.
        // The update page is one the popup refuses: a real browser would outlive the run.
        std::wstring link = MakeLink(L"VER=2.0.0.1&UDU=file:///C:/x.exe&CAP=Meeting&RTP=9&LAT=" + now +
                                     L"&SAT=" + now + L"&EAT=10");
        EXPECT_EQ(AnswerVersionQuestion(link, button, &caption, &text), 0) << "no question box seen";
        EXPECT_EQ(caption, L"Meeting Updater");
        // A message box shows the line feed of string 219 as CR LF or LF.
        std::wstring shown;
        for (wchar_t ch : text)
            if (ch != L'\r')
                shown += ch;
        EXPECT_EQ(shown, expected);
        auto texts = log.Texts();
        // The skin loads (background, then buttons) before the network starts.
        ASSERT_GE(texts.size(), 5u);
        EXPECT_EQ(texts[0].substr(0, 8) + texts[0].substr(texts[0].size() - 16), L"hBitmap= resource_id=205");
        EXPECT_EQ(texts[1].substr(0, 8) + texts[1].substr(texts[1].size() - 16), L"hBitmap= resource_id=204");
        EXPECT_EQ(texts[2], L"CMngrSocket::InitNetwork");
        EXPECT_EQ(texts.back(), L"CMngrSocket::ReleaseNetwork");
        EXPECT_EQ(texts[3], L"SetVersion : 2.0.0.1");
        const std::wstring opened = L"CWebPopupBrowser::Open : refused file:///C:/x.exe";
        EXPECT_EQ(std::count(texts.begin(), texts.end(), opened), button == IDYES ? 1 : 0)
            << "Yes, and only Yes, opens the update page";
    }
}

TEST(UpdaterLinkMode, AFreshLinkFileIsAcceptedAndReachesTheVersionQuestion)
{
    // The refusals are seen from outside as runs that end without a window; this is the
    // other side: a link file written now, within its validity, gets as far as the question.
    TempDir dir;
    std::wstring now = NowMs();
    std::wstring path = dir / L"meeting.nvpc";
    std::wstring link = MakeLink(L"VER=2.0.0.1&CAP=Meeting&RTP=9&LAT=" + now + L"&SAT=" + now + L"&EAT=10");
    ASSERT_TRUE(WriteBytes(path, WideToUtf8(link) + "\r\n"));
    LogCapture log;
    std::wstring caption, text;
    EXPECT_EQ(AnswerVersionQuestion(L"\"" + path + L"\"", IDNO, &caption, &text), 0)
        << "no question box seen";
    EXPECT_EQ(caption, L"Meeting Updater");
    auto texts = log.Texts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[3], L"SetVersion : 2.0.0.1"); // after two skin lines and the network's start
}

// ---- The elevation check of the modes, with the platform's answers injected ----

namespace
{
// Every start of a program, recorded and answered with startOk.
struct Relaunches
{
    bool startOk = true;
    int starts = 0;
    std::wstring verb, file, params;
};
Relaunches g_relaunches;

BOOL WINAPI Windows7(LPOSVERSIONINFOW info)
{
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    return TRUE;
}

// A token that is not elevated (a limited one of a split token).
BOOL WINAPI NotElevated(HANDLE, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD returned)
{
    if (size < sizeof(DWORD) || (cls != TokenElevation && cls != TokenElevationType))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *static_cast<DWORD*>(info) = cls == TokenElevation ? 0 : TokenElevationTypeLimited;
    *returned = sizeof(DWORD);
    return TRUE;
}

BOOL WINAPI RecordStart(SHELLEXECUTEINFOW* info)
{
    ++g_relaunches.starts;
    g_relaunches.verb = info->lpVerb ? info->lpVerb : L"";
    g_relaunches.file = info->lpFile ? info->lpFile : L"";
    g_relaunches.params = info->lpParameters ? info->lpParameters : L"";
    info->hProcess = nullptr;
    return g_relaunches.startOk ? TRUE : FALSE;
}

class NotElevatedRun : public testing::Test
{
  protected:
    void SetUp() override
    {
        g_relaunches = Relaunches();
        SystemQueries queries = {Windows7, NotElevated, RecordStart};
        SetSystemQueries(&queries);
    }
    void TearDown() override { SetSystemQueries(nullptr); }
};

// The lines the record's setters caused ("SetX : v" from a link, "SetX()=v" from the
// configuration file): none when the run ended at its elevation check.
size_t SetterLines(const LogCapture& log)
{
    size_t n = 0;
    for (const std::wstring& text : log.Texts())
        n += text.compare(0, 3, L"Set") == 0 ? 1 : 0;
    return n;
}

// No authorisation times: were the run to go on, the link would be refused before any
// dialog or question.
const wchar_t kUnauthorisedQuery[] = L"PID=P1&RTP=9";
} // namespace

TEST_F(NotElevatedRun, LoaderModeStartsItselfElevatedWithTheLoaderSwitch)
{
    LogCapture log;
    EXPECT_EQ(RunLoaderMode(), 0);
    EXPECT_EQ(g_relaunches.starts, 1);
    EXPECT_EQ(g_relaunches.verb, L"runas");
    EXPECT_EQ(g_relaunches.file, ModulePath());
    EXPECT_EQ(g_relaunches.params, L"/Loader");
    EXPECT_EQ(SetterLines(log), 0u) << "the elevated copy reads the configuration, not this run";
}

TEST_F(NotElevatedRun, LinkModeHandsTheLinkToTheElevatedCopy)
{
    std::wstring link = MakeLink(kUnauthorisedQuery);
    {
        LogCapture log;
        EXPECT_EQ(RunLinkMode(kUpdaterTraits, link.c_str(), nullptr), 0);
        EXPECT_EQ(g_relaunches.starts, 1);
        EXPECT_EQ(g_relaunches.verb, L"runas");
        EXPECT_EQ(g_relaunches.params, link);
        EXPECT_EQ(SetterLines(log), 0u);
    }
    // A start that fails (the user declined): this run goes on and decodes the link itself.
    g_relaunches.startOk = false;
    LogCapture log;
    EXPECT_EQ(RunLinkMode(kUpdaterTraits, link.c_str(), nullptr), 0);
    EXPECT_EQ(g_relaunches.starts, 2);
    EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{L"SetProductID : P1", L"SetRunType : 9"}));
}

TEST_F(NotElevatedRun, LinkFileModeHandsOverTheQuotedLinkTextNotTheFile)
{
    TempDir dir;
    std::wstring path = dir / L"meeting file.nvpc";
    std::wstring link = MakeLink(kUnauthorisedQuery);
    ASSERT_TRUE(WriteBytes(path, WideToUtf8(link) + "\r\nsecond line"));
    LogCapture log;
    EXPECT_EQ(RunLinkFileMode(kUpdaterTraits, (L"\"" + path + L"\"").c_str()), 0);
    EXPECT_EQ(g_relaunches.starts, 1);
    EXPECT_EQ(g_relaunches.verb, L"runas");
    // The first line in quotes (its carriage return included): the elevated copy runs in
    // link mode and never needs the file.
    EXPECT_EQ(g_relaunches.params, L"\"" + link + L"\r\"");
    EXPECT_EQ(ChooseMode(kUpdaterTraits, g_relaunches.params.c_str()).mode, ProgramMode::Link);
    EXPECT_EQ(SetterLines(log), 0u);

    // A link file that cannot be read starts nothing.
    EXPECT_EQ(RunLinkFileMode(kUpdaterTraits, (dir / L"gone.nvpc").c_str()), 0);
    EXPECT_EQ(g_relaunches.starts, 1);
}

// The launcher parses a link's validity times but never applies them: the same link
// without authorisation times, which the updater refuses, reaches the directory server
// through the launcher.
TEST(ProgramLinkMode, OnlyTheUpdaterAppliesTheValidityWindow)
{
    for (const ProgramTraits* traits : {&kUpdaterTraits, &kLauncherTraits})
    {
        LoopbackServer directory([](SOCKET, LoopbackServer& server) { server.Record("connected"); });
        // This test program has no version resource: its own version reads "0.0.0.0", so
        // the link's version matches and the direct start (RTP=2) runs.
        std::wstring link = MakeLink(L"DIP=127.0.0.1&MSP=" + std::to_wstring(directory.port()) +
                                     L"&RTP=2&QTO=2000&VER=0.0.0.0");
        EXPECT_EQ(RunLinkMode(*traits, link.c_str(), nullptr), 0);
        bool launcher = traits == &kLauncherTraits;
        EXPECT_EQ(directory.accepted(), launcher ? 1 : 0) << (launcher ? "launcher" : "updater");
    }
}
