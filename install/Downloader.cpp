#include "install/Downloader.h"

#include <cwchar>
#include <mutex>
#include <vector>

#include "common/Log.h"
#include "common/TextConv.h"
#include "install/FileIo.h"
#include "install/PathSafety.h"
#include "install/TimerPeriod.h"
#include "params/Param.h"

namespace
{
const wchar_t* const kCandidates[] = {L"updatefile.zip", L"updatefile1.zip"};

void CALLBACK IgnoreStatus(HINTERNET, DWORD_PTR, DWORD, LPVOID, DWORD) {}

// "<step> " + " " + the object name (or the file path for a write error).
std::wstring StepMessage(const wchar_t* step, const std::wstring& subject)
{
    return std::wstring(step) + L" " + subject;
}

unsigned long long QueryContentLength(HINTERNET request, bool& present)
{
    present = false;
    DWORD size = 0;
    DWORD index = 0;
    if (HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, nullptr, &size, &index) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return 0;
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 2, L'\0');
    index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text.data(), &size, &index))
        return 0;
    present = true;
    return _wcstoui64(text.data(), nullptr, 10);
}

// Waits at most timeoutMs for done, answering the messages other threads send to this
// thread meanwhile (posted ones stay queued). True when done was set.
bool WaitAnswering(HANDLE done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return WaitForSingleObject(done, 0) == WAIT_OBJECT_0;
        DWORD r =
            MsgWaitForMultipleObjectsEx(1, &done, timeoutMs - elapsed, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r != WAIT_OBJECT_0 + 1)
            return false;
    }
}

// The local file for info's URL (see CDownloaderEx::OpenFile).
HANDLE OpenDownloadFile(DownInfo& info);

// The read size adapts to the measured rate once per window of reads: it grows while
// the rate holds, and freezes at the first slower window. The first window spans one
// read more than the others (the count starts at 0 and is checked before it grows).
class ReadSizer
{
  public:
    ReadSizer() : m_windowStart(GetTickCount()) {}
    DWORD Size() const { return m_size; }

    void Count(DWORD got)
    {
        if (!m_adapting)
            return;
        m_windowBytes += got;
        if (m_windowCount == CDownloaderEx::kWindowReads)
        {
            DWORD now = GetTickCount();
            DWORD elapsed = now - m_windowStart;
            int rate = elapsed ? (int)((double)m_windowBytes / elapsed * 1000.0) : 0;
            WriteLog(LOG_TRACE, L"===========>[%03d] time:%d  len:%d  sum:%d  bps:%d", m_windowCount,
                     (int)elapsed, (int)m_size, (int)m_windowBytes, rate);
            if (rate < m_bestRate)
                m_adapting = false;
            else
            {
                m_bestRate = rate;
                if (m_size + CDownloaderEx::kReadStepBytes <= CDownloaderEx::kBufferBytes)
                    m_size += CDownloaderEx::kReadStepBytes;
            }
            m_windowCount = 0;
            m_windowBytes = 0;
            m_windowStart = now;
        }
        ++m_windowCount;
    }

  private:
    DWORD m_size = CDownloaderEx::kFirstReadBytes;
    bool m_adapting = true;
    int m_windowCount = 0;
    DWORD m_windowBytes = 0;
    int m_bestRate = 0;
    DWORD m_windowStart;
};
} // namespace

struct CDownloaderEx::Job
{
    // The worker's WinINet handles, in the order they are opened.
    enum NetSlot
    {
        kInternet,
        kConnection,
        kRequest,
        kNetSlots
    };
    struct Response
    {
        unsigned long long total = 0;    // what progress is reported against
        unsigned long long declared = 0; // the length the server announced
        bool lengthSent = false;
    };

    DownInfo info;
    // Copied from the record when the download starts: a thread left to end alone may
    // outlive the record.
    bool useCredentials = false;
    std::wstring proxyUser, proxyPassword;
    DWORD timeouts[3] = {kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs};
    volatile LONG stop = 0;
    bool started = false;
    UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // The handles are shared with the stopping thread under netLock: each is closed
    // exactly once, by whichever side gets there first, and the worker fetches the value
    // again before every call, so it does not use one that a stop has closed. Handles
    // are made only by downloads, and the next one starts only after this one ended or
    // after a stop's grace time, so a closed value is not handed out again while this
    // worker could still be on its way into a call with it.
    std::mutex netLock;
    HINTERNET net[kNetSlots] = {};

    ~Job() { CloseNet(); }

    bool Running() const { return started && WaitForSingleObject(done.get(), 0) != WAIT_OBJECT_0; }

    // A job for the next download with the same settings.
    std::shared_ptr<Job> Successor() const
    {
        std::shared_ptr<Job> next = std::make_shared<Job>();
        CallbackSlot<DownloadProgressFn>::Pair progress = info.progress.Get();
        CallbackSlot<DownloadCompleteFn>::Pair complete = info.complete.Get();
        CallbackSlot<DownloadErrorFn>::Pair error = info.error.Get();
        next->info.progress.Set(progress.fn, progress.user);
        next->info.complete.Set(complete.fn, complete.user);
        next->info.error.Set(error.fn, error.user);
        next->info.param = info.param;
        next->info.host = info.host;
        next->info.port = info.port;
        next->info.owner = info.owner;
        for (int i = 0; i < 3; ++i)
            next->timeouts[i] = timeouts[i];
        return next;
    }

    void ClearCallbacks()
    {
        info.progress.Set(nullptr, nullptr);
        info.complete.Set(nullptr, nullptr);
        info.error.Set(nullptr, nullptr);
    }

    void RequestStop()
    {
        InterlockedExchange(&stop, 1);
        // A read blocked on a stalled server returns once its handle is closed (where
        // the platform cancels it so).
        CloseNet();
    }

    HINTERNET Adopt(NetSlot slot, HINTERNET handle)
    {
        std::lock_guard<std::mutex> guard(netLock);
        if (handle && stop)
        {
            // Stopped while it was being opened: the stop could not close it.
            InternetCloseHandle(handle);
            return nullptr;
        }
        net[slot] = handle;
        return handle;
    }

    // The open handle of slot; a stop (or a handle never opened) ends the download.
    HINTERNET Live(NetSlot slot)
    {
        std::lock_guard<std::mutex> guard(netLock);
        if (stop || !net[slot])
            throw DLExc(L"", 0);
        return net[slot];
    }

    void CloseNet()
    {
        std::lock_guard<std::mutex> guard(netLock);
        // Children first: a request belongs to its connection, which belongs to the session.
        for (int slot = kNetSlots - 1; slot >= 0; --slot)
            if (net[slot])
            {
                InternetCloseHandle(net[slot]);
                net[slot] = nullptr;
            }
    }

    void Run();
    void Transfer(UniqueFile& file);
    void ApplyTimeouts(HINTERNET handle) const;
    void OpenConnection();
    std::wstring ObjectName() const;
    void SendRequest(const std::wstring& object);
    Response ReadResponseHead(const std::wstring& object);
    void ReadBody(HANDLE file, const Response& response, const std::wstring& object);
};

CDownloaderEx::CDownloaderEx(CParam* param) : m_job(std::make_shared<Job>()), m_param(param)
{
    m_job->info.param = param;
}

CDownloaderEx::~CDownloaderEx()
{
    StopJob();
}

bool CDownloaderEx::StopJob()
{
    if (!m_job->Running())
        return true;
    m_job->RequestStop();
    // The done event is the thread's last touch of the job. A callback may be waiting
    // for this thread to take a progress bar message meanwhile.
    if (WaitAnswering(m_job->done.get(), kStopGraceMs))
        return true;
    // Its read goes on until its own time-out: let it end alone, telling no one.
    m_job->ClearCallbacks();
    return false;
}

void CDownloaderEx::SetProgressCallback(DownloadProgressFn fn, void* user)
{
    m_job->info.progress.Set(fn, user);
}

void CDownloaderEx::SetCompleteCallback(DownloadCompleteFn fn, void* user)
{
    m_job->info.complete.Set(fn, user);
}

void CDownloaderEx::SetErrorCallback(DownloadErrorFn fn, void* user)
{
    m_job->info.error.Set(fn, user);
}

void CDownloaderEx::SetHost(const wchar_t* host)
{
    m_job->info.host = host ? host : L"";
}

void CDownloaderEx::SetPort(WORD port)
{
    m_job->info.port = port;
}

void CDownloaderEx::SetOwner(HWND owner)
{
    m_job->info.owner = owner;
}

void CDownloaderEx::SetTimeouts(DWORD connectMs, DWORD sendMs, DWORD receiveMs)
{
    m_job->timeouts[0] = connectMs;
    m_job->timeouts[1] = sendMs;
    m_job->timeouts[2] = receiveMs;
}

HANDLE CDownloaderEx::DoneEvent() const
{
    return m_job->done.get();
}

const DownInfo& CDownloaderEx::GetDownInfo() const
{
    return m_job->info;
}

void CDownloaderEx::Download(const wchar_t* lpURL, const wchar_t* lpPath)
{
    WriteLog(LOG_TRACE, L"CDownloaderEx::Download : lpURL=%s lpPath=%s", lpURL ? lpURL : L"",
             lpPath ? lpPath : L"");
    if (!m_job->done)
        return;
    // One thread per job: a previous one (stopped, or failing with the retry flag that
    // brought us here) is let finish first, or left to end alone with a job of its own.
    if (m_job->Running())
    {
        std::shared_ptr<Job> next = m_job->Successor();
        if (!StopJob())
        {
            if (!next->done)
                return;
            m_job = next;
        }
    }
    Job& job = *m_job;
    job.info.url = lpURL ? lpURL : L"";
    job.info.folder = lpPath ? lpPath : L"";
    job.info.filePath.clear();
    job.useCredentials = m_param && m_param->GetUseSystemProxy() != 0 && m_param->GetProxyType() == 1;
    job.proxyUser = job.useCredentials ? m_param->GetProxyUser() : L"";
    job.proxyPassword = job.useCredentials ? m_param->GetProxyPassword() : L"";
    InterlockedExchange(&job.stop, 0);
    ResetEvent(job.done.get());
    // The thread holds the job for as long as it runs.
    std::shared_ptr<Job>* hold = new std::shared_ptr<Job>(m_job);
    DWORD id = 0;
    m_thread.reset(CreateThread(nullptr, 0, ThreadURLDownload, hold, CREATE_SUSPENDED, &id));
    if (!m_thread)
    {
        delete hold;
        SetEvent(job.done.get());
        CallbackSlot<DownloadErrorFn>::Pair error = job.info.error.Get();
        if (error.fn)
            error.fn(L"Can't internet", 0, error.user);
        return;
    }
    job.started = true;
    SetThreadPriority(m_thread.get(), THREAD_PRIORITY_NORMAL);
    ResumeThread(m_thread.get());
    WaitForSingleObject(m_thread.get(), 200);
}

void CDownloaderEx::SetDownStop()
{
    if (!m_thread)
        return;
    m_job->RequestStop();
    WriteLog(LOG_TRACE, L"CDownloaderEx::SetDownStop 1");
    WriteLog(LOG_TRACE, L"CDownloaderEx::SetDownStop 2");
    m_thread.reset();
}

HANDLE CDownloaderEx::OpenFile(DownInfo& info)
{
    return OpenDownloadFile(info);
}

namespace
{
HANDLE OpenDownloadFile(DownInfo& info)
{
    WriteLog(LOG_TRACE, L"CDownloaderEx::OpenFile : downinfo.GetURL()=%s", info.GetURL());
    size_t slash = info.url.find_last_of(L'/');
    if (slash == std::wstring::npos || info.url.size() - slash >= MAX_PATH)
        return INVALID_HANDLE_VALUE;
    std::wstring name = info.url.substr(slash + 1);
    bool exe = HasExeExtension(name.c_str());
    // The installer keeps its own name: nothing that could climb out of the download
    // folder or name a stream or a device.
    if ((exe && !IsPlainFileName(name.c_str())) || info.folder.empty())
        return INVALID_HANDLE_VALUE;
    for (const wchar_t* candidate : kCandidates)
    {
        std::wstring path = info.folder + L"\\" + (exe ? name : std::wstring(candidate));
        WriteLog(LOG_TRACE, L"CDownloaderEx::OpenFile : szFilePath=%s szFileName=%s", path.c_str(),
                 name.c_str());
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE)
        {
            info.filePath = path;
            return h;
        }
    }
    return INVALID_HANDLE_VALUE;
}
} // namespace

DWORD WINAPI CDownloaderEx::ThreadURLDownload(LPVOID hold)
{
    std::unique_ptr<std::shared_ptr<Job>> job(static_cast<std::shared_ptr<Job>*>(hold));
    (*job)->Run();
    return 0;
}

void CDownloaderEx::Job::Run()
{
    WriteLog(LOG_TRACE, L"CDownloaderEx::ThreadURLDownload : start Thread");
    UniqueFile file;
    std::wstring message;
    int retry = 0;
    bool failed = false;
    try
    {
        // Held for the transfer only, and given back on a failure or a stop as well.
        CTimerPeriod pace;
        Transfer(file);
    }
    catch (const DLExc& e)
    {
        failed = true;
        message = e.Message();
        retry = e.Retry();
    }
    catch (...)
    {
        failed = true;
        message = L"Can't internet";
    }
    // A stop ends as a failure without a message, whatever the closed handles made the
    // step at hand report.
    if (failed && stop)
    {
        message.clear();
        retry = 0;
    }
    CloseNet();
    file.reset();
    if (failed)
    {
        CallbackSlot<DownloadErrorFn>::Pair error = info.error.Get();
        if (error.fn)
            error.fn(message.c_str(), retry, error.user);
        WriteLog(LOG_TRACE, L"CDownloaderEx::ThreadURLDownload : error");
    }
    else
    {
        CallbackSlot<DownloadCompleteFn>::Pair complete = info.complete.Get();
        if (complete.fn)
            complete.fn(info.filePath.c_str(), complete.user);
        WriteLog(LOG_TRACE, L"CDownloaderEx::ThreadURLDownload : Kill Thread");
    }
    SetEvent(done.get());
}

void CDownloaderEx::Job::Transfer(UniqueFile& file)
{
    OpenConnection();
    std::wstring object = ObjectName();
    SendRequest(object);
    Response response = ReadResponseHead(object);
    file.reset(OpenDownloadFile(info));
    if (!file)
        throw DLExc(L"Can't save file");
    ReadBody(file.get(), response, object);
}

void CDownloaderEx::Job::ApplyTimeouts(HINTERNET handle) const
{
    const DWORD options[3] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                              INTERNET_OPTION_RECEIVE_TIMEOUT};
    for (int i = 0; i < 3; ++i)
    {
        DWORD value = timeouts[i];
        InternetSetOptionW(handle, options[i], &value, sizeof value);
    }
}

void CDownloaderEx::Job::OpenConnection()
{
    if (InternetAttemptConnect(0) != ERROR_SUCCESS)
        throw DLExc(L"Can't internet");
    if (!Adopt(kInternet,
               InternetOpenW(L"HTTP DWONLOADER", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)))
        throw DLExc(L"Can't open internet"); // or a stop: Run tells which
    if (InternetSetStatusCallbackW(Live(kInternet), IgnoreStatus) == INTERNET_INVALID_STATUS_CALLBACK)
        throw DLExc(L"The callback function is not valid");
    ApplyTimeouts(Live(kInternet));

    HINTERNET connection = InternetConnectW(Live(kInternet), info.host.c_str(), info.port,
                                            useCredentials ? proxyUser.c_str() : nullptr,
                                            useCredentials ? proxyPassword.c_str() : nullptr,
                                            INTERNET_SERVICE_HTTP, 0, reinterpret_cast<DWORD_PTR>(this));
    if (!Adopt(kConnection, connection))
        throw DLExc(L"Can't connect internet");
}

std::wstring CDownloaderEx::Job::ObjectName() const
{
    std::wstring object = WideText(PercentEncode(NarrowText(info.url.c_str())).c_str());
    // A longer name is refused rather than cut: a cut name fetches some other file.
    if (object.size() > kMaxObjectChars)
        throw DLExc(StepMessage(L"Can't HttpOpenRequest ", object));
    return object;
}

void CDownloaderEx::Job::SendRequest(const std::wstring& object)
{
    // The version goes into the request line as given: "HTTP/1.1", which servers accept
    // (a bare "1.1" is answered with 400 Bad Request).
    HINTERNET request =
        HttpOpenRequestW(Live(kConnection), L"GET", object.c_str(), L"HTTP/1.1", nullptr, nullptr,
                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_NO_CACHE_WRITE,
                         reinterpret_cast<DWORD_PTR>(this));
    if (!Adopt(kRequest, request))
        throw DLExc(StepMessage(L"Can't HttpOpenRequest ", object));
    // Some platforms do not pass the session's time-outs on to its requests: without
    // them here a server that stalls in the middle of the body blocks the read for ever.
    ApplyTimeouts(Live(kRequest));
    if (!HttpSendRequestW(Live(kRequest), nullptr, 0, nullptr, 0))
        throw DLExc(StepMessage(L"Can't HttpSendRequest ", object));
}

CDownloaderEx::Job::Response CDownloaderEx::Job::ReadResponseHead(const std::wstring& object)
{
    wchar_t statusText[40] = {}; // 80 bytes
    DWORD statusBytes = sizeof statusText;
    DWORD index = 0;
    if (!HttpQueryInfoW(Live(kRequest), HTTP_QUERY_STATUS_CODE, statusText, &statusBytes, &index))
        throw DLExc(StepMessage(L"Can't HttpQueryInfo ", object));
    statusText[ARRAYSIZE(statusText) - 1] = 0;
    long status = wcstol(statusText, nullptr, 10);

    Response response;
    response.declared = QueryContentLength(Live(kRequest), response.lengthSent);
    response.total = response.declared;

    if (status == HTTP_STATUS_DENIED || status == HTTP_STATUS_PROXY_AUTH_REQ)
    {
        DWORD answer =
            InternetErrorDlg(info.owner, Live(kRequest), ERROR_INTERNET_INCORRECT_PASSWORD,
                             FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                 FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                             nullptr);
        if (answer == ERROR_INTERNET_FORCE_RETRY)
            throw DLExc(L"", 1);
        throw DLExc(L" Canceled by the user.");
    }
    // An error page is no installer and no archive: it is never kept as the download.
    if (status < 200 || status > 299)
    {
        wchar_t text[64];
        _snwprintf(text, ARRAYSIZE(text) - 1, L"HTTP status %ld ", status);
        text[ARRAYSIZE(text) - 1] = 0;
        throw DLExc(StepMessage(text, object));
    }

    if (response.total == 0)
    {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(Live(kRequest), &available, 0, 0))
            throw DLExc(StepMessage(L"Can't InternetQueryDataAvailable ", object));
        response.total = available;
    }
    return response;
}

void CDownloaderEx::Job::ReadBody(HANDLE file, const Response& response, const std::wstring& object)
{
    std::vector<char> buffer(kBufferBytes);
    ReadSizer sizer;
    unsigned long long received = 0;
    DWORD got = 0;
    do
    {
        got = 0;
        if (!InternetReadFile(Live(kRequest), buffer.data(), sizer.Size(), &got))
            throw DLExc(StepMessage(L"Can't InternetReadFile ", object));
        sizer.Count(got);
        if (!WriteAll(file, buffer.data(), got))
            throw DLExc(StepMessage(L"Error writing file ", info.filePath));
        received += got;
        if (stop)
            throw DLExc(L"", 0);
        Sleep(1);
        CallbackSlot<DownloadProgressFn>::Pair progress = info.progress.Get();
        if (progress.fn)
        {
            if (got == 0)
                break;
            progress.fn(response.total, received, progress.user);
        }
    } while (got > 0);

    // The connection ended before the length the server announced: a cut download.
    if (response.lengthSent && received < response.declared)
        throw DLExc(StepMessage(L"Can't InternetReadFile ", object));
    CallbackSlot<DownloadProgressFn>::Pair progress = info.progress.Get();
    if (!stop && progress.fn)
        progress.fn(response.total, received, progress.user);
}
