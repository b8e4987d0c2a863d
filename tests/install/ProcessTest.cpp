// Starting programs, the elevation decisions, and the system utilities.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include <wininet.h>

#include "install/Elevation.h"
#include "install/Process.h"
#include "install/StubRecordReader.h"
#include "install/SystemQueries.h"
#include "install/SystemState.h"
#include "support/TestSupport.h"

namespace
{
int ChildScenario(int argc, char** argv)
{
    // write-file PATH DELAY_MS: proves that a start ran (and, with the delay, whether
    // the starter waited for it).
    if (argc >= 3 && strcmp(argv[0], "write-file") == 0)
    {
        Sleep(static_cast<DWORD>(atoi(argv[2])));
        std::wstring path = Utf8ToWideString(argv[1]);
        return WriteBytes(path, "done") ? 0 : 1;
    }
    return 2;
}
ChildScenarioRegistrar g_registrar(ChildScenario);

std::wstring Stub(const wchar_t* name)
{
    return ModuleFolder() + L"\\" + name;
}

std::string Narrow(const std::wstring& text)
{
    return WideToUtf8(text);
}

// ---- Injected system answers ----

struct FakeSystem
{
    // GetVersionExW
    bool versionOk = true;
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD major = 6;
    // Token queries: -1 fails the query, otherwise the DWORD answered.
    long elevation = 1;
    long elevationType = TokenElevationTypeFull;
    // ShellExecuteExW: what was asked, and the answer.
    int starts = 0;
    bool startOk = true;
    bool passThrough = false; // really start (after recording)
    ULONG mask = 0;
    HWND owner = nullptr;
    bool hasVerb = false;
    std::wstring verb, file, params;
    bool hasFolder = false;
    std::wstring folder;
    int show = -1;
};
FakeSystem g_fake;

BOOL WINAPI FakeGetVersionEx(LPOSVERSIONINFOW info)
{
    if (!g_fake.versionOk)
        return FALSE;
    info->dwPlatformId = g_fake.platform;
    info->dwMajorVersion = g_fake.major;
    info->dwMinorVersion = 1;
    return TRUE;
}

BOOL WINAPI FakeGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size,
                                    PDWORD returned)
{
    long answer = cls == TokenElevation       ? g_fake.elevation
                  : cls == TokenElevationType ? g_fake.elevationType
                                              : -1;
    if (answer < 0 || size < sizeof(DWORD))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *static_cast<DWORD*>(info) = static_cast<DWORD>(answer);
    *returned = sizeof(DWORD);
    return TRUE;
}

BOOL WINAPI FakeShellExecuteEx(SHELLEXECUTEINFOW* info)
{
    ++g_fake.starts;
    g_fake.mask = info->fMask;
    g_fake.owner = info->hwnd;
    g_fake.hasVerb = info->lpVerb != nullptr;
    g_fake.verb = info->lpVerb ? info->lpVerb : L"";
    g_fake.file = info->lpFile ? info->lpFile : L"";
    g_fake.params = info->lpParameters ? info->lpParameters : L"";
    g_fake.hasFolder = info->lpDirectory != nullptr;
    g_fake.folder = info->lpDirectory ? info->lpDirectory : L"";
    g_fake.show = info->nShow;
    if (g_fake.passThrough)
        return ShellExecuteExW(info);
    info->hProcess = nullptr; // started, but nothing to wait for
    return g_fake.startOk ? TRUE : FALSE;
}

class InjectedSystem : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        g_fake = FakeSystem();
        SystemQueries q = {FakeGetVersionEx, FakeGetTokenInformation, FakeShellExecuteEx};
        SetSystemQueries(&q);
    }
    void TearDown() override { SetSystemQueries(nullptr); }
};

// Awaited starts keep the process handle and show no shell error box.
const ULONG kWaitedMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;

// A window that counts its WM_TIMER messages.
struct TimerWindow
{
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
    {
        if (msg == WM_TIMER)
        {
            ++ticks;
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    TimerWindow()
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"NvpcProcessTestTimer";
        RegisterClassW(&wc);
        hwnd = CreateWindowW(wc.lpszClassName, L"timer", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                             nullptr, wc.hInstance, nullptr);
        ticks = 0;
    }
    ~TimerWindow() { DestroyWindow(hwnd); }
    HWND hwnd = nullptr;
    static int ticks;
};
int TimerWindow::ticks = 0;

int CountText(const std::vector<std::wstring>& texts, const std::wstring& text)
{
    int n = 0;
    for (const auto& t : texts)
        n += t == text;
    return n;
}
} // namespace

// ---- ExecuteSync and the pumping wait ----

TEST(ExecuteSync, FailingInstallerIsReportedWhileTheCallerKeepsGettingTimers)
{
    TimerWindow window;
    ASSERT_TRUE(window.hwnd);
    ASSERT_TRUE(SetTimer(window.hwnd, 1, 20, nullptr));
    LogCapture log;
    DWORD start = GetTickCount();
    EXPECT_FALSE(proc::ExecuteSync(Stub(L"InstallerStub.exe").c_str(), L"3 500"));
    DWORD elapsed = GetTickCount() - start;
    KillTimer(window.hwnd, 1);

    EXPECT_GE(elapsed, 450u) << "returned before the installer ended";
    EXPECT_GE(TimerWindow::ticks, 5) << "timers must keep firing during the wait";
    auto texts = log.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], L"ExecuteSync: start setup");
    EXPECT_EQ(texts[1], L"ExecuteSync:3");
}

TEST(ExecuteSync, ExitCodeZeroIsSuccessAndParametersArrive)
{
    TempDir dir;
    EnvGuard record(L"NVPC_INSTALLER_RECORD", (dir / L"rec.txt").c_str());
    {
        LogCapture log;
        EXPECT_TRUE(proc::ExecuteSync(Stub(L"InstallerStub.exe").c_str(), L"0 0 \"x y\""));
        EXPECT_EQ(CountText(log.Texts(), L"ExecuteSync:0"), 1);
    }
    {
        // Installers are run without parameters: the exit code comes from the environment.
        EnvGuard exitCode(L"NVPC_INSTALLER_EXIT", L"1603");
        LogCapture log;
        EXPECT_FALSE(proc::ExecuteSync(Stub(L"InstallerStub.exe").c_str(), nullptr));
        EXPECT_EQ(CountText(log.Texts(), L"ExecuteSync:1603"), 1);
    }
    auto starts = ReadStubStarts(dir / L"rec.txt");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0]["args"], L"0 0 \"x y\"");
    EXPECT_EQ(starts[1]["args"], L"");
}

TEST(ExecuteSync, FailedStartReturnsFalseAndLogsNothing)
{
    TempDir dir;
    LogCapture log;
    EXPECT_FALSE(proc::ExecuteSync((dir / L"missing.exe").c_str(), nullptr));
    EXPECT_FALSE(proc::ExecuteSync(nullptr, nullptr));
    EXPECT_FALSE(proc::ExecuteSync(L"", nullptr));
    EXPECT_TRUE(log.Texts().empty());
}

TEST(WaitPumpingMessages, NothingToWaitForEndsAtOnce)
{
    DWORD start = GetTickCount();
    EXPECT_FALSE(proc::WaitPumpingMessages(nullptr));
    EXPECT_LT(GetTickCount() - start, 100u);
}

TEST(WaitPumpingMessages, QuitRequestSeenDuringTheWaitIsKept)
{
    PostQuitMessage(7);
    EXPECT_TRUE(proc::ExecuteSync(Stub(L"InstallerStub.exe").c_str(), L"0 100"));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

TEST_F(InjectedSystem, StartWithoutProcessHandleDoesNotHang)
{
    LogCapture log;
    DWORD start = GetTickCount();
    EXPECT_FALSE(proc::ExecuteSync(L"C:\\setup.exe", nullptr))
        << "an outcome that cannot be known is no success";
    EXPECT_TRUE(proc::ExecuteAndWait(nullptr, nullptr, L"C:\\setup.exe", nullptr, nullptr));
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(g_fake.starts, 2);
    EXPECT_EQ(CountText(log.Texts(), L"ExecuteSync: start setup"), 1);
}

// ---- ExecuteAsync and ExecuteAndWait ----

TEST(ExecuteAsync, ClientReceivesExactlyTheParameters)
{
    TempDir dir;
    std::wstring recordFile = dir / L"client.txt";
    EnvGuard record(L"NVPC_CLIENT_RECORD", recordFile.c_str());
    const std::wstring params =
        L"/LID:1041 /TT:\"R\u00e9union \u4f1a\u8b70 \uc11c\uc6b8\" /RU:\"http://h/r?a=1&b=%41\" "
        L"/UI:\"\" /AL:x\"y  /MI:end";
    ASSERT_TRUE(proc::ExecuteAsync(nullptr, Stub(L"ClientStub.exe").c_str(), params.c_str()));
    auto starts = WaitForStubStarts(recordFile, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["args"], params);
    std::wstring cmdline = starts[0]["cmdline"];
    EXPECT_NE(cmdline.find(L"ClientStub.exe"), std::wstring::npos) << Narrow(cmdline);
    EXPECT_EQ(cmdline.substr(cmdline.size() - params.size()), params);
}

TEST(ExecuteAsync, DoesNotWaitAndReportsFailedStarts)
{
    DWORD start = GetTickCount();
    EXPECT_TRUE(proc::ExecuteAsync(nullptr, Stub(L"InstallerStub.exe").c_str(), L"0 1500"));
    EXPECT_LT(GetTickCount() - start, 1000u);
    TempDir dir;
    EXPECT_FALSE(proc::ExecuteAsync(nullptr, (dir / L"missing.exe").c_str(), L"/LID:1"));
}

TEST(ExecuteAndWait, WaitsInTheGivenFolderWhateverTheExitCode)
{
    TempDir dir;
    std::wstring recordFile = dir / L"rec.txt";
    EnvGuard record(L"NVPC_INSTALLER_RECORD", recordFile.c_str());
    DWORD start = GetTickCount();
    EXPECT_TRUE(proc::ExecuteAndWait(nullptr, nullptr, Stub(L"InstallerStub.exe").c_str(), L"9 300",
                                     dir.path().c_str()));
    EXPECT_GE(GetTickCount() - start, 250u);
    auto starts = ReadStubStarts(recordFile);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(_wcsicmp(starts[0]["cwd"].c_str(), dir.path().c_str()), 0) << Narrow(starts[0]["cwd"]);
    EXPECT_FALSE(proc::ExecuteAndWait(nullptr, nullptr, (dir / L"missing.exe").c_str(), nullptr, nullptr));
}

TEST_F(InjectedSystem, EachStartAsksTheShellForWhatItNeeds)
{
    HWND owner = reinterpret_cast<HWND>(0x1234);
    // The installer: awaited, so its process handle is kept; no owner, no verb.
    EXPECT_FALSE(proc::ExecuteSync(L"C:\\dl\\setup.exe", L"/S"));
    // A failed start comes back as a result for the caller's own failure box, never as
    // a shell error box of its own.
    EXPECT_EQ(g_fake.mask, kWaitedMask);
    EXPECT_EQ(g_fake.owner, nullptr);
    EXPECT_FALSE(g_fake.hasVerb);
    EXPECT_EQ(g_fake.file, L"C:\\dl\\setup.exe");
    EXPECT_EQ(g_fake.params, L"/S");
    EXPECT_FALSE(g_fake.hasFolder);
    EXPECT_EQ(g_fake.show, SW_SHOWNORMAL);

    // The client: not awaited, no error UI, and the owner is not passed on.
    EXPECT_TRUE(proc::ExecuteAsync(owner, L"C:\\p\\client.exe", L"/LID:1033"));
    EXPECT_EQ(g_fake.mask, static_cast<ULONG>(SEE_MASK_FLAG_NO_UI));
    EXPECT_EQ(g_fake.owner, nullptr);
    EXPECT_FALSE(g_fake.hasVerb);
    EXPECT_EQ(g_fake.params, L"/LID:1033");
    EXPECT_FALSE(g_fake.hasFolder);
    EXPECT_EQ(g_fake.show, SW_SHOWNORMAL);

    // ExecuteAndWait passes on what it is given.
    EXPECT_TRUE(proc::ExecuteAndWait(owner, L"open", L"C:\\x.exe", L"a b", L"C:\\work"));
    EXPECT_EQ(g_fake.mask, kWaitedMask);
    EXPECT_EQ(g_fake.owner, owner);
    EXPECT_EQ(g_fake.verb, L"open");
    EXPECT_EQ(g_fake.file, L"C:\\x.exe");
    EXPECT_EQ(g_fake.params, L"a b");
    EXPECT_EQ(g_fake.folder, L"C:\\work");
    EXPECT_EQ(g_fake.show, SW_SHOWNORMAL);
    EXPECT_TRUE(proc::ExecuteAndWait(nullptr, nullptr, L"C:\\x.exe", nullptr, nullptr));
    EXPECT_EQ(g_fake.mask, kWaitedMask);
    EXPECT_FALSE(g_fake.hasVerb);
    EXPECT_FALSE(g_fake.hasFolder);

    // The relaunch: this program, "runas", the owner, mask 0, not awaited.
    EXPECT_TRUE(proc::RelaunchElevated(owner, L"/Loader"));
    EXPECT_EQ(g_fake.mask, 0u);
    EXPECT_EQ(g_fake.owner, owner);
    EXPECT_EQ(g_fake.verb, L"runas");
    EXPECT_EQ(g_fake.file, ModulePath());
    EXPECT_EQ(g_fake.params, L"/Loader");
    EXPECT_FALSE(g_fake.hasFolder);
    EXPECT_EQ(g_fake.show, SW_SHOWNORMAL);
    EXPECT_EQ(g_fake.starts, 5);

    g_fake.startOk = false;
    EXPECT_FALSE(proc::ExecuteAsync(nullptr, L"C:\\p\\client.exe", nullptr));
    EXPECT_FALSE(proc::RelaunchElevated(nullptr, L"/Loader"));
}

// ---- RunEx, the elevation queries and the relaunch decision ----

namespace
{
// The platforms both elevation rules are tried on. RunEx asks for "runas" whenever the
// token can be queried at all; the entry point relaunches only a process that is not
// elevated.
struct ElevationCase
{
    const char* name;
    bool versionOk;
    DWORD platform, major;
    long elevation, elevationType; // -1: the query fails
    bool runas;                    // RunEx's verb
    bool relaunch;                 // the entry point's check
};
const ElevationCase kElevationCases[] = {
    {"6.x elevated", true, VER_PLATFORM_WIN32_NT, 6, 1, TokenElevationTypeFull, true, false},
    {"6.x not elevated", true, VER_PLATFORM_WIN32_NT, 6, 0, TokenElevationTypeLimited, true, true},
    {"10.x not elevated", true, VER_PLATFORM_WIN32_NT, 10, 0, TokenElevationTypeDefault, true, true},
    {"5.1", true, VER_PLATFORM_WIN32_NT, 5, 0, TokenElevationTypeDefault, false, false},
    {"not NT", true, VER_PLATFORM_WIN32_WINDOWS, 6, 0, TokenElevationTypeLimited, false, false},
    {"version unknown", false, VER_PLATFORM_WIN32_NT, 6, 0, TokenElevationTypeLimited, false, false},
    {"elevation query fails", true, VER_PLATFORM_WIN32_NT, 6, -1, TokenElevationTypeLimited, false, false},
    {"type query fails", true, VER_PLATFORM_WIN32_NT, 6, 0, -1, false, false},
};

void Answer(const ElevationCase& c)
{
    g_fake = FakeSystem();
    g_fake.versionOk = c.versionOk;
    g_fake.platform = c.platform;
    g_fake.major = c.major;
    g_fake.elevation = c.elevation;
    g_fake.elevationType = c.elevationType;
}
} // namespace

TEST_F(InjectedSystem, RunExAsksForElevationOnlyFromNt6WithWorkingTokenQueries)
{
    HWND owner = reinterpret_cast<HWND>(0x1234);
    const wchar_t* params =
        L"/CopyFile /DNP \"C:\\u p\\a.zip\" /MML \"master_1\" /PML \"P\"  /SEP \"C:\\x\" ";
    for (const ElevationCase& c : kElevationCases)
    {
        SCOPED_TRACE(c.name);
        Answer(c);
        EXPECT_EQ(proc::RunEx(owner, params), 0);
        ASSERT_EQ(g_fake.starts, 1);
        EXPECT_EQ(g_fake.hasVerb, c.runas);
        if (c.runas)
        {
            EXPECT_EQ(g_fake.verb, L"runas");
        }
        EXPECT_EQ(g_fake.file, ModulePath());
        EXPECT_EQ(g_fake.params, params);
        EXPECT_EQ(g_fake.owner, owner);
        EXPECT_EQ(g_fake.mask, kWaitedMask);
        EXPECT_FALSE(g_fake.hasFolder);
        EXPECT_EQ(g_fake.show, SW_SHOWNORMAL);
    }
    g_fake = FakeSystem();
    g_fake.startOk = false;
    EXPECT_LT(proc::RunEx(owner, params), 0);
}

TEST_F(InjectedSystem, TokenAnswersBecomeTheElevationResults)
{
    BOOL elevated = 5;
    g_fake.elevation = 1;
    EXPECT_EQ(IsElevated(&elevated), S_OK);
    EXPECT_EQ(elevated, 1);
    g_fake.elevation = 0;
    EXPECT_EQ(IsElevated(&elevated), S_FALSE);
    EXPECT_EQ(elevated, 0);
    g_fake.elevation = -1;
    EXPECT_EQ(IsElevated(&elevated), E_FAIL);
    EXPECT_EQ(IsElevated(nullptr), E_POINTER);

    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    g_fake.elevationType = TokenElevationTypeLimited;
    EXPECT_EQ(QueryElevationType(&type), S_OK);
    EXPECT_EQ(type, TokenElevationTypeLimited);
    g_fake.elevationType = -1;
    EXPECT_EQ(QueryElevationType(&type), E_FAIL);
}

TEST_F(InjectedSystem, EntryPointRelaunchesOnlyWhenNt6AndNotElevated)
{
    for (const ElevationCase& c : kElevationCases)
    {
        SCOPED_TRACE(c.name);
        Answer(c);
        EXPECT_EQ(NeedsElevatedRelaunch(), c.relaunch);
        EXPECT_EQ(CheckElevation(L"/Loader"), c.relaunch);
        ASSERT_EQ(g_fake.starts, c.relaunch ? 1 : 0);
        if (c.relaunch)
        {
            EXPECT_EQ(g_fake.verb, L"runas");
            EXPECT_EQ(g_fake.file, ModulePath());
            EXPECT_EQ(g_fake.params, L"/Loader");
            EXPECT_EQ(g_fake.mask, 0u);
            EXPECT_EQ(g_fake.owner, nullptr);
            EXPECT_EQ(g_fake.show, SW_SHOWNORMAL);
        }
    }
    // A refused elevated start (the user declined) lets the run go on.
    g_fake = FakeSystem();
    g_fake.elevation = 0;
    g_fake.startOk = false;
    EXPECT_FALSE(CheckElevation(L"\"norvane:abc\""));
    EXPECT_EQ(g_fake.starts, 1);
    EXPECT_EQ(g_fake.params, L"\"norvane:abc\"");
}

TEST(RunEx, RunsThisProgramAgainAndWaitsForIt)
{
    TempDir dir;
    std::wstring marker = dir / L"copyfile.txt";
    std::wstring params = L"--child write-file \"" + marker + L"\" 300";
    EXPECT_EQ(proc::RunEx(nullptr, params.c_str()), 0);
    EXPECT_EQ(ReadBytes(marker), "done") << "RunEx returned before the copy finished";
}

TEST(RelaunchElevated, StartsThisProgramWithoutWaiting)
{
    TempDir dir;
    std::wstring marker = dir / L"relaunch.txt";
    std::wstring params = L"--child write-file \"" + marker + L"\" 600";
    DWORD start = GetTickCount();
    ASSERT_TRUE(proc::RelaunchElevated(nullptr, params.c_str()));
    EXPECT_LT(GetTickCount() - start, 500u);
    EXPECT_TRUE(ReadBytes(marker).empty());
    for (int i = 0; i < 500 && ReadBytes(marker).empty(); ++i)
        Sleep(20);
    EXPECT_EQ(ReadBytes(marker), "done");
}

TEST(Elevation, RealTokenQueriesAgree)
{
    BOOL elevated = 5;
    HRESULT hr = IsElevated(&elevated);
    ASSERT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    EXPECT_EQ(elevated, hr == S_OK ? 1 : 0);
    TOKEN_ELEVATION_TYPE type;
    EXPECT_EQ(QueryElevationType(&type), S_OK);
    EXPECT_EQ(NeedsElevatedRelaunch(), hr == S_FALSE);
}

// ---- Utilities ----

TEST(FileExists, PathsAndPatterns)
{
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"master_1.xml", "<files_info/>"));
    EXPECT_TRUE(FileExists((dir / L"master_1.xml").c_str()));
    EXPECT_TRUE(FileExists((dir / L"*.xml").c_str()));
    EXPECT_TRUE(FileExists((dir / L"master_?.xml").c_str()));
    EXPECT_TRUE(FileExists(dir.path().c_str()));
    EXPECT_FALSE(FileExists((dir / L"*.exe").c_str()));
    EXPECT_FALSE(FileExists((dir / L"none\\master_1.xml").c_str()));
    EXPECT_FALSE(FileExists(L""));
    EXPECT_FALSE(FileExists(nullptr));
}

TEST(IsClientRunning, TrueWhileAnotherProcessHoldsTheMutexAndLeavesNoneBehind)
{
    if (IsClientRunning())
        GTEST_SKIP() << "a client (or another test) holds the mutex already";
    // The test itself created and closed the mutex: nothing may be left.
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, kClientMutexName), nullptr);

    TempDir dir;
    std::wstring recordFile = dir / L"client.txt";
    wchar_t quitName[64];
    _snwprintf(quitName, ARRAYSIZE(quitName) - 1, L"nvpc_client_quit_%lu", GetCurrentProcessId());
    quitName[ARRAYSIZE(quitName) - 1] = 0;
    HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, quitName);
    ASSERT_TRUE(quit);
    {
        EnvGuard record(L"NVPC_CLIENT_RECORD", recordFile.c_str());
        EnvGuard hold(L"NVPC_CLIENT_HOLD_MS", L"10000");
        EnvGuard quitEvent(L"NVPC_CLIENT_QUIT_EVENT", quitName);
        ASSERT_TRUE(proc::ExecuteAsync(nullptr, Stub(L"ClientStub.exe").c_str(), L"/LID:1033"));
    }
    ASSERT_EQ(WaitForStubStarts(recordFile, 1).size(), 1u);
    EXPECT_TRUE(IsClientRunning());
    EXPECT_TRUE(IsClientRunning()) << "the test must not take the mutex over";
    SetEvent(quit);
    bool running = true;
    for (int i = 0; i < 250 && running; ++i)
    {
        Sleep(20);
        running = IsClientRunning();
    }
    CloseHandle(quit);
    EXPECT_FALSE(running);
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, kClientMutexName), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(IsClientRunning, MutexWeMayNotOpenStillMeansRunning)
{
    if (IsClientRunning())
        GTEST_SKIP() << "a client (or another test) holds the mutex already";
    // A client started with other rights owns a mutex whose security denies us.
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ACL acl;
    ASSERT_TRUE(InitializeAcl(&acl, sizeof acl, ACL_REVISION)); // no entry: nobody gets access
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE));
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    HANDLE held = CreateMutexW(&sa, TRUE, kClientMutexName);
    ASSERT_TRUE(held);
    HANDLE probe = CreateMutexW(nullptr, TRUE, kClientMutexName);
    DWORD error = GetLastError();
    if (probe)
        CloseHandle(probe);
    if (error != ERROR_ACCESS_DENIED)
    {
        CloseHandle(held);
        GTEST_SKIP() << "this platform does not enforce the mutex's security";
    }
    EXPECT_TRUE(IsClientRunning());
    CloseHandle(held);
    EXPECT_FALSE(IsClientRunning());
}

namespace
{
// The LAN connection's proxy settings, read, changed and put back whole.
class SystemProxyGuard
{
  public:
    SystemProxyGuard() { m_saved = Query(m_flags, m_server, m_bypass); }
    ~SystemProxyGuard()
    {
        // An empty text was no value at all: it is removed again, not stored empty.
        if (m_saved)
            Apply(m_flags, m_server.empty() ? nullptr : m_server.c_str(),
                  m_bypass.empty() ? nullptr : m_bypass.c_str());
    }
    bool saved() const { return m_saved; }

    static bool Apply(DWORD flags, const wchar_t* server, const wchar_t* bypass)
    {
        INTERNET_PER_CONN_OPTIONW options[3] = {};
        options[0].dwOption = INTERNET_PER_CONN_FLAGS;
        options[0].Value.dwValue = flags;
        options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
        options[1].Value.pszValue = const_cast<wchar_t*>(server);
        options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
        options[2].Value.pszValue = const_cast<wchar_t*>(bypass);
        INTERNET_PER_CONN_OPTION_LISTW list = {};
        list.dwSize = sizeof list;
        list.dwOptionCount = 3;
        list.pOptions = options;
        return InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list) !=
               FALSE;
    }

  private:
    static bool Query(DWORD& flags, std::wstring& server, std::wstring& bypass)
    {
        INTERNET_PER_CONN_OPTIONW options[3] = {};
        options[0].dwOption = INTERNET_PER_CONN_FLAGS;
        options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
        options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
        INTERNET_PER_CONN_OPTION_LISTW list = {};
        list.dwSize = sizeof list;
        list.dwOptionCount = 3;
        list.pOptions = options;
        DWORD size = sizeof list;
        if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size))
            return false;
        flags = options[0].Value.dwValue;
        server = options[1].Value.pszValue ? options[1].Value.pszValue : L"";
        bypass = options[2].Value.pszValue ? options[2].Value.pszValue : L"";
        GlobalFree(options[1].Value.pszValue);
        GlobalFree(options[2].Value.pszValue);
        return true;
    }

    bool m_saved = false;
    DWORD m_flags = PROXY_TYPE_DIRECT;
    std::wstring m_server, m_bypass;
};
} // namespace

TEST(IsSystemProxyEnabled, FollowsTheConnectionSettings)
{
    SystemProxyGuard guard;
    ASSERT_TRUE(guard.saved());
    // Other programs of this prefix may fetch from loopback meanwhile: they bypass it.
    const wchar_t* server = L"127.0.0.1:9";
    const wchar_t* bypass = L"<local>;127.0.0.1;localhost";
    struct Case
    {
        DWORD flags;
        int expected;
    } cases[] = {
        {PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, 1},
        {PROXY_TYPE_DIRECT, 0},
        {PROXY_TYPE_PROXY, 1},
        {PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_DETECT, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.flags);
        ASSERT_TRUE(SystemProxyGuard::Apply(c.flags, server, bypass));
        EXPECT_EQ(IsSystemProxyEnabled(), c.expected);
    }
}
