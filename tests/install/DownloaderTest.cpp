// CDownloaderEx against a real nginx on loopback (started by the ctest fixture, see
// nginx_fixture.py): file naming, progress, failures, stop, authentication, read sizes,
// and what reaches the server; and against scripted servers in the test (stalls, a fast
// body while the callbacks change).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "install/CallbackPairProbe.h"
#include "install/Downloader.h"
#include "install/InstallTestSupport.h"
#include "install/TimerPeriod.h"
#include "params/Param.h"
#include "support/LoopbackServer.h"

namespace
{
struct Server
{
    int port = 0;
    std::wstring root; // document root, as this program sees it
    std::wstring log;  // access log: request|agent|status|bytes|authorization
};

// The fixture writes port=, root= and log= lines into the file the environment names.
bool LoadServer(Server& server)
{
    wchar_t state[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"NVPC_TEST_NGINX_STATE", state, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    std::wstring path = state;
    if (!path.empty() && path[0] == L'/')
    {
        for (wchar_t& c : path)
            if (c == L'/')
                c = L'\\';
        path = L"Z:" + path;
    }
    for (const std::string& line : SplitLines(ReadBytes(path)))
    {
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "port")
            server.port = atoi(value.c_str());
        else if (key == "root")
            server.root = Utf8ToWideString(value);
        else if (key == "log")
            server.log = Utf8ToWideString(value);
    }
    return server.port > 0 && !server.root.empty();
}

struct Progress
{
    unsigned long long total, received;
};

// Everything the three callbacks saw, plus a hook to act on progress.
struct Observer
{
    std::mutex lock;
    std::vector<Progress> progress;
    std::vector<std::wstring> completions;
    std::vector<std::pair<std::wstring, int>> errors;
    std::vector<DWORD> threads;
    unsigned long long signalAfter = 0; // set the event once this much arrived
    HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Observer() { CloseHandle(reached); }

    static void OnProgress(unsigned long long total, unsigned long long received, void* user)
    {
        Observer* self = static_cast<Observer*>(user);
        std::lock_guard<std::mutex> g(self->lock);
        self->progress.push_back({total, received});
        self->threads.push_back(GetCurrentThreadId());
        if (self->signalAfter && received >= self->signalAfter)
            SetEvent(self->reached);
    }
    static void OnComplete(const wchar_t* path, void* user)
    {
        Observer* self = static_cast<Observer*>(user);
        std::lock_guard<std::mutex> g(self->lock);
        self->completions.push_back(path);
        self->threads.push_back(GetCurrentThreadId());
    }
    static void OnError(const wchar_t* message, int retry, void* user)
    {
        Observer* self = static_cast<Observer*>(user);
        std::lock_guard<std::mutex> g(self->lock);
        self->errors.push_back({message, retry});
        self->threads.push_back(GetCurrentThreadId());
    }
    void Attach(CDownloaderEx& d)
    {
        d.SetProgressCallback(&OnProgress, this);
        d.SetCompleteCallback(&OnComplete, this);
        d.SetErrorCallback(&OnError, this);
    }
};

// Waits for the download thread while keeping this thread's windows responsive (the
// credentials dialog is owned by a window of this thread).
bool WaitPumping(HANDLE handle, DWORD timeoutMs = 60000)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        DWORD left = timeoutMs - (GetTickCount() - start);
        if ((int)left <= 0)
            return false;
        DWORD r = MsgWaitForMultipleObjects(1, &handle, FALSE, left, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r != WAIT_OBJECT_0 + 1)
            return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

std::vector<std::string> RequestsSince(const Server& server, size_t& seen)
{
    std::vector<std::string> all = SplitLines(ReadBytes(server.log));
    std::vector<std::string> out(all.begin() + std::min(seen, all.size()), all.end());
    seen = all.size();
    return out;
}

// Points d at the test server (host 127.0.0.1) with o attached, and starts url.
void StartDownload(CDownloaderEx& d, Observer& o, int port, const wchar_t* url, const std::wstring& folder)
{
    o.Attach(d);
    d.SetHost(L"127.0.0.1");
    d.SetPort((WORD)port);
    d.Download(url, folder.c_str());
}

std::string Pattern(size_t size)
{
    std::string out(size, '\0');
    unsigned x = 12345;
    for (size_t i = 0; i < size; ++i)
    {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>(x >> 16);
    }
    return out;
}

class DownloaderTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!LoadServer(server))
            GTEST_SKIP() << "needs the nginx fixture: run through ctest";
        CreateDirectoryW((server.root + L"\\files").c_str(), nullptr);
        RequestsSince(server, seen); // only this test's requests count
    }
    void Publish(const std::wstring& rel, const std::string& bytes)
    {
        ASSERT_TRUE(WriteBytes(server.root + L"\\" + rel, bytes));
    }
    // One complete download with the observer attached; false when it did not end.
    bool Fetch(CDownloaderEx& d, Observer& o, const wchar_t* url)
    {
        StartDownload(d, o, server.port, url, folder.path());
        return WaitPumping(d.DoneEvent());
    }
    std::vector<std::string> Requests() { return RequestsSince(server, seen); }

    Server server;
    size_t seen = 0;
    TempDir folder;
    CParam param;
};
} // namespace

TEST_F(DownloaderTest, AnInstallerKeepsItsNameAndTheRequestIsAsDescribed)
{
    std::string body = Pattern(70000);
    Publish(L"files\\NvpcSetup_2.EXE", body);
    LogCapture log;
    CDownloaderEx d(&param);
    Observer o;
    ASSERT_TRUE(Fetch(d, o, L"/files/NvpcSetup_2.EXE"));

    std::wstring path = folder / L"NvpcSetup_2.EXE";
    ASSERT_EQ(o.errors.size(), 0u) << WideToUtf8(o.errors[0].first);
    ASSERT_EQ(o.completions.size(), 1u);
    EXPECT_EQ(o.completions[0], path);
    EXPECT_EQ(d.GetDownInfo().filePath, path);
    EXPECT_EQ(ReadBytes(path), body);
    ASSERT_GE(o.progress.size(), 2u);
    EXPECT_EQ(o.progress.back().total, body.size());
    EXPECT_EQ(o.progress.back().received, body.size());
    EXPECT_EQ(o.progress[o.progress.size() - 2].received, body.size())
        << "the final values are reported again";
    for (DWORD t : o.threads)
        EXPECT_NE(t, GetCurrentThreadId()) << "callbacks run on the download thread";

    std::vector<std::wstring> expected = {
        L"CDownloaderEx::Download : lpURL=/files/NvpcSetup_2.EXE lpPath=" + folder.path(),
        L"CDownloaderEx::ThreadURLDownload : start Thread",
        L"CDownloaderEx::OpenFile : downinfo.GetURL()=/files/NvpcSetup_2.EXE",
        L"CDownloaderEx::OpenFile : szFilePath=" + path + L" szFileName=NvpcSetup_2.EXE",
        L"CDownloaderEx::ThreadURLDownload : Kill Thread",
    };
    EXPECT_EQ(TextsStarting(log, L"CDownloaderEx::"), expected);
    // One GET, the object name percent-encoded, our agent name, no credentials.
    std::vector<std::string> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "GET /files/NvpcSetup_2%2EEXE HTTP/1.1|HTTP DWONLOADER|200|70000|-");
}

TEST_F(DownloaderTest, AnArchiveIsSavedAsUpdatefileOrUpdatefile1WhenThatIsLocked)
{
    Publish(L"files\\patch 3.zip", "PK archive bytes");
    {
        CDownloaderEx d(&param);
        Observer o;
        ASSERT_TRUE(Fetch(d, o, L"/files/patch 3.zip"));
        ASSERT_EQ(o.completions.size(), 1u);
        EXPECT_EQ(o.completions[0], folder / L"updatefile.zip");
        EXPECT_EQ(ReadBytes(folder / L"updatefile.zip"), "PK archive bytes");
    }
    HANDLE lock = CreateFileW((folder / L"updatefile.zip").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    LogCapture log;
    CDownloaderEx d(&param);
    Observer o;
    bool ended = Fetch(d, o, L"/files/patch 3.zip");
    CloseHandle(lock);
    ASSERT_TRUE(ended);
    ASSERT_EQ(o.completions.size(), 1u);
    EXPECT_EQ(o.completions[0], folder / L"updatefile1.zip");
    EXPECT_EQ(ReadBytes(folder / L"updatefile1.zip"), "PK archive bytes");
    std::vector<std::wstring> expected = {
        L"CDownloaderEx::OpenFile : szFilePath=" + folder / L"updatefile.zip" + L" szFileName=patch 3.zip",
        L"CDownloaderEx::OpenFile : szFilePath=" + folder / L"updatefile1.zip" + L" szFileName=patch 3.zip",
    };
    EXPECT_EQ(TextsStarting(log, L"CDownloaderEx::OpenFile : sz"), expected);
    std::vector<std::string> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].substr(0, 32), "GET /files/patch%203%2Ezip HTTP/");
}

TEST_F(DownloaderTest, WithoutALengthProgressCountsAgainstWhatWasAvailable)
{
    std::string body = Pattern(600000);
    Publish(L"files\\stream.bin", body);
    Observer o2;
    CDownloaderEx d2(&param);
    ASSERT_TRUE(Fetch(d2, o2, L"/nolength/files/stream.bin"));
    ASSERT_EQ(o2.completions.size(), 1u);
    EXPECT_EQ(ReadBytes(folder / L"updatefile.zip"), body);
    ASSERT_GE(o2.progress.size(), 2u);
    unsigned long long total = o2.progress[0].total;
    EXPECT_GT(total, 0u);
    EXPECT_LT(total, body.size()) << "only what had arrived right after the request";
    for (const Progress& p : o2.progress)
        EXPECT_EQ(p.total, total);
    EXPECT_EQ(o2.progress.back().received, body.size());
    std::vector<std::string> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find("|200|"), std::string::npos);
}

TEST_F(DownloaderTest, StoppingMidTransferGivesOneEmptyErrorAndNoCompletion)
{
    std::string body = Pattern(3 * 1024 * 1024);
    Publish(L"files\\slow.zip", body);
    LogCapture log;
    CDownloaderEx d(&param);
    Observer o;
    o.signalAfter = 100000;
    StartDownload(d, o, server.port, L"/slow/files/slow.zip", folder.path());
    ASSERT_EQ(WaitForSingleObject(o.reached, 30000), WAIT_OBJECT_0);
    d.SetDownStop();
    ASSERT_TRUE(WaitPumping(d.DoneEvent()));
    ASSERT_EQ(o.errors.size(), 1u);
    EXPECT_EQ(o.errors[0].first, L"");
    EXPECT_EQ(o.errors[0].second, 0);
    EXPECT_TRUE(o.completions.empty());
    // The part written so far stays on disk.
    std::string partial = ReadBytes(folder / L"updatefile.zip");
    EXPECT_GE(partial.size(), 100000u);
    EXPECT_LT(partial.size(), body.size());
    EXPECT_EQ(partial, body.substr(0, partial.size()));
    EXPECT_EQ(TextsStarting(log, L"CDownloaderEx::SetDownStop"),
              (std::vector<std::wstring>{L"CDownloaderEx::SetDownStop 1", L"CDownloaderEx::SetDownStop 2"}));
    EXPECT_EQ(TextsStarting(log, L"CDownloaderEx::ThreadURLDownload : "),
              (std::vector<std::wstring>{L"CDownloaderEx::ThreadURLDownload : start Thread",
                                         L"CDownloaderEx::ThreadURLDownload : error"}));
    // Asking again without a known thread does nothing.
    LogCapture quiet;
    d.SetDownStop();
    EXPECT_TRUE(quiet.Texts().empty());
}

TEST_F(DownloaderTest, ErrorStatusesAndCutBodiesFailWithoutCompletion)
{
    std::string body = Pattern(400000);
    Publish(L"files\\cut.zip", body);
    struct Case
    {
        const wchar_t* url;
        std::wstring message;
        bool fileWritten;
    } cases[] = {
        {L"/files/missing.zip", L"HTTP status 404  /files/missing%2Ezip", false},
        {L"/cut/files/cut.zip", L"Can't InternetReadFile  /cut/files/cut%2Ezip", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(WideToUtf8(c.url));
        DeleteFileW((folder / L"updatefile.zip").c_str());
        LogCapture log;
        CDownloaderEx d(&param);
        Observer o;
        ASSERT_TRUE(Fetch(d, o, c.url));
        ASSERT_EQ(o.errors.size(), 1u);
        EXPECT_EQ(o.errors[0].first, c.message);
        EXPECT_EQ(o.errors[0].second, 0);
        EXPECT_TRUE(o.completions.empty());
        std::vector<std::wstring> ends = TextsStarting(log, L"CDownloaderEx::ThreadURLDownload : ");
        ASSERT_EQ(ends.size(), 2u);
        EXPECT_EQ(ends[1], L"CDownloaderEx::ThreadURLDownload : error");
        std::string partial = ReadBytes(folder / L"updatefile.zip");
        if (c.fileWritten)
        {
            EXPECT_GT(partial.size(), 0u);
            EXPECT_LT(partial.size(), body.size());
        }
        else
            EXPECT_FALSE(Exists(folder / L"updatefile.zip"));
    }
}

TEST_F(DownloaderTest, RefusedConnectionsOverlongNamesAndUnsafeInstallerNamesFail)
{
    // A port where nobody listens.
    {
        CDownloaderEx d(&param);
        Observer o;
        StartDownload(d, o, 1, L"/files/x.zip", folder.path());
        ASSERT_TRUE(WaitPumping(d.DoneEvent()));
        ASSERT_EQ(o.errors.size(), 1u);
        EXPECT_EQ(o.errors[0].first, L"Can't HttpSendRequest  /files/x%2Ezip");
        EXPECT_TRUE(o.completions.empty());
    }
    // 99 encoded characters pass; one more fails before anything is sent.
    std::wstring fits = L"/files/" + std::wstring(86, L'a') + L".zip"; // the dot takes three
    ASSERT_EQ(fits.size() + 2, 99u);
    Publish(L"files\\" + fits.substr(7), "fits");
    {
        CDownloaderEx d(&param);
        Observer o;
        ASSERT_TRUE(Fetch(d, o, fits.c_str()));
        EXPECT_EQ(o.completions.size(), 1u);
        EXPECT_EQ(ReadBytes(folder / L"updatefile.zip"), "fits");
    }
    {
        std::wstring longer = L"/files/" + std::wstring(87, L'a') + L".zip";
        CDownloaderEx d(&param);
        Observer o;
        ASSERT_TRUE(Fetch(d, o, longer.c_str()));
        ASSERT_EQ(o.errors.size(), 1u);
        EXPECT_EQ(o.errors[0].first, L"Can't HttpOpenRequest  /files/" + std::wstring(87, L'a') + L"%2Ezip");
        EXPECT_TRUE(o.completions.empty());
    }
    // Installer names that would climb out of the download folder or name a stream:
    // answered by the server, but no file is created.
    // Device names open a device rather than a file.
    const wchar_t* unsafe[] = {L"/evil/..\\..\\evil.exe", L"/evil/C:evil.exe", L"/evil/a|b.exe",
                               L"/evil/NUL.exe", L"/evil/com1.EXE"};
    for (const wchar_t* url : unsafe)
    {
        SCOPED_TRACE(WideToUtf8(url));
        CDownloaderEx d(&param);
        Observer o;
        ASSERT_TRUE(Fetch(d, o, url));
        ASSERT_EQ(o.errors.size(), 1u);
        EXPECT_EQ(o.errors[0].first, L"Can't save file");
        EXPECT_TRUE(o.completions.empty());
    }
    EXPECT_FALSE(Exists(folder / L"..\\evil.exe"));
    std::vector<std::string> requests = Requests();
    ASSERT_EQ(requests.size(), 6u) << "the refused connection and the overlong name send nothing here";
    EXPECT_EQ(requests[1].substr(0, 28), "GET /evil/%2E%2E%5C%2E%2E%5C");
}

namespace
{
// "--child proxy-credentials PORT FOLDER PROXYTYPE": one download of /auth/ with proxy
// credentials in the record, in a process of its own, because WinINet keeps credentials
// that worked for the rest of the process. Exit code 0: completed, 1: failed.
int ChildScenario(int argc, char** argv)
{
    if (argc != 4 || strcmp(argv[0], "proxy-credentials") != 0)
        return 2;
    CParam param;
    param.SetProxyUser(L"nvpc");
    param.SetProxyPassword(L"secret");
    param.SetProxyType((WORD)atoi(argv[3]));
    param.SetUseSystemProxy(1);
    CDownloaderEx d(&param);
    Observer o;
    StartDownload(d, o, atoi(argv[1]), L"/auth/files/member.zip", Utf8ToWideString(argv[2]));
    if (!WaitPumping(d.DoneEvent()))
        return 3;
    return o.completions.size() == 1 && o.errors.empty() ? 0 : 1;
}
ChildScenarioRegistrar g_child(ChildScenario);
} // namespace

TEST_F(DownloaderTest, ProxyCredentialsAreOfferedOnlyWithTheSystemProxyOfTypeOne)
{
    Publish(L"files\\member.zip", "members only");
    std::wstring args =
        L"--child proxy-credentials " + std::to_wstring(server.port) + L" \"" + folder.path() + L"\" ";
    EXPECT_EQ(RunProcess(ModulePath(), args + L"1"), 0);
    EXPECT_EQ(ReadBytes(folder / L"updatefile.zip"), "members only");
    std::vector<std::string> requests = Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back(),
              "GET /auth/files/member%2Ezip HTTP/1.1|HTTP DWONLOADER|200|12|Basic bnZwYzpzZWNyZXQ=");

    // Another proxy type: no credentials, so the server's challenge goes to the user,
    // who cannot be asked without an owner window: the download is cancelled.
    EXPECT_EQ(RunProcess(ModulePath(), args + L"4"), 1);
    requests = Requests();
    ASSERT_FALSE(requests.empty());
    for (const std::string& r : requests)
    {
        EXPECT_NE(r.find("|401|"), std::string::npos) << r;
        EXPECT_EQ(r.find("Basic"), std::string::npos) << r;
    }
}

namespace
{
// Answers the credentials dialog of this process with the given button.
struct DialogAnswer
{
    int button;
    std::atomic<bool> answered{false};
    std::atomic<bool> quit{false};
    HANDLE thread = nullptr;

    static BOOL CALLBACK Find(HWND hwnd, LPARAM lp)
    {
        DialogAnswer* self = reinterpret_cast<DialogAnswer*>(lp);
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        wchar_t cls[64] = {};
        GetClassNameW(hwnd, cls, 63);
        if (pid == GetCurrentProcessId() && wcscmp(cls, L"#32770") == 0 && IsWindowVisible(hwnd))
        {
            PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(self->button, BN_CLICKED), 0);
            self->answered = true;
            return FALSE;
        }
        return TRUE;
    }
    static DWORD WINAPI Watch(LPVOID p)
    {
        DialogAnswer* self = static_cast<DialogAnswer*>(p);
        for (int i = 0; i < 600 && !self->answered && !self->quit; ++i)
        {
            EnumWindows(&Find, reinterpret_cast<LPARAM>(self));
            Sleep(50);
        }
        return 0;
    }
    explicit DialogAnswer(int b) : button(b) { thread = CreateThread(nullptr, 0, &Watch, this, 0, nullptr); }
    ~DialogAnswer()
    {
        quit = true;
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
    }
};
} // namespace

TEST_F(DownloaderTest, AnAuthenticationRequestAsksTheUserAndRetriesOrCancels)
{
    Publish(L"files\\private.zip", "private");
    HWND owner = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);
    struct Case
    {
        int button;
        std::wstring message;
        int retry;
    } cases[] = {{IDCANCEL, L" Canceled by the user.", 0}, {IDOK, L"", 1}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.button);
        CDownloaderEx d(&param);
        d.SetOwner(owner);
        Observer o;
        bool ended;
        bool answered;
        {
            DialogAnswer answer(c.button);
            ended = Fetch(d, o, L"/auth/files/private.zip");
            answered = answer.answered;
        }
        ASSERT_TRUE(ended);
        EXPECT_TRUE(answered) << "the credentials dialog was shown";
        ASSERT_EQ(o.errors.size(), 1u);
        EXPECT_EQ(o.errors[0].first, c.message);
        EXPECT_EQ(o.errors[0].second, c.retry);
        EXPECT_TRUE(o.completions.empty());
        EXPECT_FALSE(Exists(folder / L"updatefile.zip"));
    }
    DestroyWindow(owner);
    std::vector<std::string> requests = Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_NE(requests[0].find("|401|"), std::string::npos);
}

TEST_F(DownloaderTest, TheReadSizeGrowsAfterTheFirstWindowOf101Reads)
{
    std::string body = Pattern(2 * 1024 * 1024);
    Publish(L"files\\big.zip", body);
    LogCapture log;
    CDownloaderEx d(&param);
    Observer o;
    ASSERT_TRUE(Fetch(d, o, L"/files/big.zip"));
    ASSERT_EQ(o.completions.size(), 1u);
    EXPECT_EQ(ReadBytes(folder / L"updatefile.zip"), body);

    std::vector<std::wstring> windows = TextsStarting(log, L"===========>");
    ASSERT_GE(windows.size(), 2u) << "2 MB take more than two windows of reads";
    int lens[2] = {}, sums[2] = {};
    for (int i = 0; i < 2; ++i)
    {
        int count = 0, time = 0, bps = 0;
        ASSERT_EQ(swscanf(windows[i].c_str(), L"===========>[%d] time:%d  len:%d  sum:%d  bps:%d", &count,
                          &time, &lens[i], &sums[i], &bps),
                  5)
            << WideToUtf8(windows[i]);
        EXPECT_EQ(windows[i].substr(0, 17), L"===========>[100]");
        EXPECT_GE(time, 90) << "every read is followed by a pause of about 1 ms or more";
    }
    // The first window: 101 reads of 5120 bytes, then the read size is 6144 (the 102nd
    // read) for the 100 reads of the second window.
    EXPECT_EQ(lens[0], 5120);
    EXPECT_EQ(sums[0], 101 * 5120);
    EXPECT_EQ(lens[1], 6144);
    EXPECT_EQ(sums[1], 100 * 6144);
    // Later windows never shrink the read size and stop at 20480.
    int last = 6144;
    for (size_t i = 2; i < windows.size(); ++i)
    {
        int count, time, len, sum, bps;
        ASSERT_EQ(swscanf(windows[i].c_str(), L"===========>[%d] time:%d  len:%d  sum:%d  bps:%d", &count,
                          &time, &len, &sum, &bps),
                  5);
        EXPECT_GE(len, last);
        EXPECT_LE(len, 20480);
        last = len;
    }
}

namespace
{
// Stands in for the system's timer resolution calls: counts what was asked and given back.
struct PeriodRecord
{
    static std::atomic<int> begun, ended, held, heldAtProgress;
    static std::atomic<UINT> lastPeriod;
    static UINT WINAPI Begin(UINT period)
    {
        lastPeriod = period;
        ++begun;
        ++held;
        return 0;
    }
    static UINT WINAPI End(UINT period)
    {
        lastPeriod = period;
        ++ended;
        --held;
        return 0;
    }
    static void OnProgress(unsigned long long, unsigned long long, void*) { heldAtProgress = held.load(); }
};
std::atomic<int> PeriodRecord::begun{0}, PeriodRecord::ended{0}, PeriodRecord::held{0},
    PeriodRecord::heldAtProgress{-1};
std::atomic<UINT> PeriodRecord::lastPeriod{0};
} // namespace

TEST_F(DownloaderTest, TheFineTimerIsHeldForTheTransferAndGivenBackOnEveryPath)
{
    Publish(L"files\\paced.zip", Pattern(300000));
    CTimerPeriod::SetCalls(&PeriodRecord::Begin, &PeriodRecord::End);
    struct Case
    {
        const char* name;
        int port; // 0: the test server
        const wchar_t* url;
        bool stop; // stopped once the first bytes arrived
        bool completes;
    } cases[] = {
        {"completed", 0, L"/files/paced.zip", false, true},
        {"error status", 0, L"/files/absent.zip", false, false},
        {"refused connection", 1, L"/files/paced.zip", false, false},
        {"stopped", 0, L"/slow/files/paced.zip", true, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        PeriodRecord::begun = PeriodRecord::ended = PeriodRecord::held = 0;
        PeriodRecord::heldAtProgress = -1;
        CDownloaderEx d(&param);
        Observer o;
        o.signalAfter = 1;
        StartDownload(d, o, c.port ? c.port : server.port, c.url, folder.path());
        if (c.stop)
        {
            ASSERT_EQ(WaitForSingleObject(o.reached, 30000), WAIT_OBJECT_0);
            d.SetDownStop();
        }
        ASSERT_TRUE(WaitPumping(d.DoneEvent()));
        EXPECT_EQ(o.completions.size(), c.completes ? 1u : 0u);
        EXPECT_EQ(PeriodRecord::begun.load(), 1);
        EXPECT_EQ(PeriodRecord::ended.load(), 1) << "given back";
        EXPECT_EQ(PeriodRecord::lastPeriod.load(), 1u);
    }
    // While bytes arrive, the resolution is held.
    PeriodRecord::held = 0;
    CDownloaderEx d(&param);
    d.SetProgressCallback(&PeriodRecord::OnProgress, nullptr);
    d.SetHost(L"127.0.0.1");
    d.SetPort(static_cast<WORD>(server.port));
    d.Download(L"/files/paced.zip", folder.path().c_str());
    ASSERT_TRUE(WaitPumping(d.DoneEvent()));
    EXPECT_EQ(PeriodRecord::heldAtProgress.load(), 1);
    EXPECT_EQ(PeriodRecord::held.load(), 0);
    CTimerPeriod::SetCalls(nullptr, nullptr);
}

TEST(DownloaderOpenFile, NamesTheLocalFileFromTheURL)
{
    TempDir folder;
    CDownloaderEx d(nullptr);
    DownInfo info;
    info.folder = folder.path();
    struct Case
    {
        const wchar_t* url;
        const wchar_t* file; // null: no file
    } cases[] = {
        {L"/a/b/Setup.Exe", L"Setup.Exe"}, {L"/a/b/update.zip", L"updatefile.zip"},
        {L"/a/b/", L"updatefile.zip"},     {L"/a/b/setup.exe.txt", L"updatefile.zip"},
        {L"noslash.exe", nullptr},         {L"noslash.zip", nullptr},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(WideToUtf8(c.url));
        info.url = c.url;
        info.filePath.clear();
        HANDLE h = d.OpenFile(info);
        if (!c.file)
        {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(info.filePath.empty());
            continue;
        }
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
        EXPECT_EQ(info.filePath, folder / c.file);
    }
    // The last part, slash included, must stay below 260 characters.
    info.url = L"/" + std::wstring(255, L'n') + L".zip";
    EXPECT_EQ(d.OpenFile(info), INVALID_HANDLE_VALUE);
    info.url = L"/" + std::wstring(254, L'n') + L".zip";
    HANDLE h = d.OpenFile(info);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    // No folder: nothing is created at the root of the drive.
    info.folder.clear();
    info.url = L"/a/b/update.zip";
    EXPECT_EQ(d.OpenFile(info), INVALID_HANDLE_VALUE);
}

namespace
{
// The owner of a downloader on a thread of its own, standing for a dialog: its progress
// callback moves a bar of a window on that thread with SendMessage.
struct SendingOwner
{
    int port = 0;
    std::wstring folder;
    bool restart = false; // start another download after the stop, instead of going away
    SentMessageTarget* target = nullptr;
    bool sending = false;
    volatile LONG completions = 0;

    static void OnProgress(unsigned long long, unsigned long long, void* user)
    {
        static_cast<SendingOwner*>(user)->target->SendOnce();
    }
    static void OnComplete(const wchar_t*, void* user)
    {
        InterlockedIncrement(&static_cast<SendingOwner*>(user)->completions);
    }
    static DWORD WINAPI Run(LPVOID p)
    {
        SendingOwner* self = static_cast<SendingOwner*>(p);
        SentMessageTarget target;
        self->target = &target;
        CParam param;
        CDownloaderEx* d = new CDownloaderEx(&param);
        d->SetProgressCallback(&OnProgress, self);
        d->SetCompleteCallback(&OnComplete, self);
        d->SetHost(L"127.0.0.1");
        d->SetPort((WORD)self->port);
        d->Download(L"/slow/files/slow.zip", self->folder.c_str());
        // From here on the download thread waits for this thread to take its message.
        self->sending = target.valid() && target.WaitSending(20000);
        d->SetDownStop();
        if (self->restart)
        {
            d->Download(L"/files/small.zip", self->folder.c_str());
            WaitForSingleObject(d->DoneEvent(), 20000);
        }
        d->SetProgressCallback(nullptr, self);
        delete d;
        return 0;
    }
};
} // namespace

TEST_F(DownloaderTest, WaitingForAThreadWhoseCallbackSendsToTheWaitingThreadEnds)
{
    Publish(L"files\\slow.zip", Pattern(3 * 1024 * 1024));
    Publish(L"files\\small.zip", "small");
    for (bool restart : {false, true})
    {
        SCOPED_TRACE(restart ? "a new Download after the stop" : "the destructor");
        SendingOwner* owner = new SendingOwner; // leaked if the owner thread never returns
        owner->port = server.port;
        owner->folder = folder.path();
        owner->restart = restart;
        ASSERT_TRUE(ReturnsWithin(&SendingOwner::Run, owner, 60000)) << "the wait deadlocked";
        EXPECT_TRUE(owner->sending);
        EXPECT_EQ(owner->completions, restart ? 1 : 0);
        delete owner;
    }
    EXPECT_EQ(ReadBytes(folder / L"updatefile.zip"), "small");
}

// ---- Scripted servers: stalls and changing callbacks ----

namespace
{
// Answers the first request with a header announcing `length` bytes and the bytes of
// `body`, then sends nothing more until the client goes away or the server ends. sent is
// set once the bytes are out.
LoopbackServer::Handler AnswerThenStall(size_t length, const std::string& body, HANDLE sent)
{
    return [length, body, sent](SOCKET s, LoopbackServer& server)
    {
        std::string request;
        if (!LoopbackServer::ReadUntil(s, request, "\r\n\r\n"))
            return;
        server.Record(request);
        LoopbackServer::SendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) +
                                       "\r\nContent-Type: application/zip\r\n\r\n" + body);
        if (sent)
            SetEvent(sent);
        while (!server.stopping())
        {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(s, &readable);
            timeval poll = {0, 50000};
            int ready = select(0, &readable, nullptr, nullptr, &poll);
            char scrap[512];
            if (ready < 0 || (ready > 0 && recv(s, scrap, sizeof scrap, 0) <= 0))
                return;
        }
    };
}

// The done event of a download, kept open past its downloader.
HANDLE KeepDoneEvent(const CDownloaderEx& d)
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), d.DoneEvent(), GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}
} // namespace

TEST(DownloaderStall, AStalledBodyFailsAfterTheReceiveTimeOut)
{
    HANDLE sent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LoopbackServer server(AnswerThenStall(1000, "abc", sent));
    TempDir folder;
    CParam param;
    LogCapture log;
    CDownloaderEx d(&param);
    d.SetTimeouts(5000, 5000, 1500);
    Observer o;
    StartDownload(d, o, server.port(), L"/stall/x.zip", folder.path());
    ASSERT_EQ(WaitForSingleObject(sent, 15000), WAIT_OBJECT_0);
    DWORD start = GetTickCount();
    ASSERT_EQ(WaitForSingleObject(d.DoneEvent(), 30000), WAIT_OBJECT_0) << "the stalled read never ended";
    DWORD elapsed = GetTickCount() - start;
    CloseHandle(sent);

    EXPECT_GE(elapsed, 1000u) << "ended before the time-out";
    EXPECT_LE(elapsed, 8000u) << "the receive time-out did not hold";
    ASSERT_EQ(o.errors.size(), 1u);
    EXPECT_EQ(o.errors[0].first, L"Can't InternetReadFile  /stall/x%2Ezip");
    EXPECT_EQ(o.errors[0].second, 0);
    EXPECT_TRUE(o.completions.empty());
    std::vector<std::wstring> ends = TextsStarting(log, L"CDownloaderEx::ThreadURLDownload : ");
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1], L"CDownloaderEx::ThreadURLDownload : error");
}

TEST(DownloaderStall, AStopDuringAStallReturnsWithinASecond)
{
    enum How
    {
        kDestroy,
        kStopThenDestroy,
        kNewDownload,
    };
    const struct
    {
        const char* name;
        How how;
    } cases[] = {
        {"the destructor", kDestroy},
        {"SetDownStop, then the destructor", kStopThenDestroy},
        {"a new Download", kNewDownload},
    };
    std::vector<HANDLE> ended; // every download thread must be gone before the next test
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        HANDLE sent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        {
            LoopbackServer server(AnswerThenStall(1000, "abc", sent), 2);
            TempDir folder;
            CParam param;
            CDownloaderEx* d = new CDownloaderEx(&param); // default time-outs: 30 s to read
            Observer o;
            StartDownload(*d, o, server.port(), L"/stall/x.zip", folder.path());
            ASSERT_EQ(WaitForSingleObject(sent, 15000), WAIT_OBJECT_0);
            Sleep(300); // the read is under way
            ended.push_back(KeepDoneEvent(*d));
            DWORD start = GetTickCount();
            if (c.how == kNewDownload)
            {
                d->Download(L"/second.zip", folder.path().c_str());
                EXPECT_LE(GetTickCount() - start, 1700u) << "Download waited for the stalled read";
                ended.push_back(KeepDoneEvent(*d));
                start = GetTickCount();
            }
            if (c.how == kStopThenDestroy)
                d->SetDownStop();
            delete d;
            EXPECT_LE(GetTickCount() - start, 1500u) << "the stop waited for the stalled read";
            EXPECT_TRUE(o.completions.empty());
            for (const auto& e : o.errors)
                EXPECT_EQ(e.first, L"") << "a stop is reported without a message";
        }
        CloseHandle(sent);
    }
    // With the servers gone every connection is closed: the threads end.
    for (HANDLE h : ended)
    {
        EXPECT_EQ(WaitForSingleObject(h, 40000), WAIT_OBJECT_0);
        CloseHandle(h);
    }
}

namespace
{
CallbackPairProbe* g_pairProbe = nullptr;
void PairA(unsigned long long, unsigned long long, void* user)
{
    g_pairProbe->Called(user, true);
}
void PairB(unsigned long long, unsigned long long, void* user)
{
    g_pairProbe->Called(user, false);
}
} // namespace

TEST(DownloaderCallbacks, ACallbackReplacedWhileTheThreadReportsNeverGetsAnotherContext)
{
    const size_t size = 8 << 20;
    std::string body = Pattern(size);
    LoopbackServer server(AnswerThenStall(size, body, nullptr));
    TempDir folder;
    CParam param;
    CDownloaderEx d(&param);
    CallbackPairProbe probe;
    g_pairProbe = &probe;
    d.SetHost(L"127.0.0.1");
    d.SetPort(server.port());
    d.SetProgressCallback(&PairA, &probe.contextA);
    probe.Start(&PairA, &PairB, [&d](DownloadProgressFn fn, void* user) { d.SetProgressCallback(fn, user); });
    d.Download(L"/big.zip", folder.path().c_str());
    bool done = WaitForSingleObject(d.DoneEvent(), 60000) == WAIT_OBJECT_0;
    probe.Stop();
    ASSERT_TRUE(done);
    EXPECT_EQ(probe.mismatches.load(), 0) << "of " << probe.calls.load() << " calls";
    EXPECT_GT(probe.calls.load(), 100) << "the reports and the changes must overlap";
    EXPECT_GT(probe.swaps.load(), 10);
    EXPECT_EQ(ReadBytes(folder / L"updatefile.zip"), body);
}
