#include "install/Downloader.h"

#include <wininet.h>

#include <cwchar>
#include <vector>

#include "common/Log.h"
#include "common/TextConv.h"
#include "install/InstallHelpers.h"
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

bool EndsWithExe(const std::wstring& name)
{
    return name.size() >= 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0;
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
} // namespace

CDownloaderEx::CDownloaderEx(CParam* param) : m_stop(0), m_param(param), m_started(false)
{
    downinfo.param = param;
    m_done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

CDownloaderEx::~CDownloaderEx()
{
    // The done event is the thread's last touch of this object. A callback may be
    // waiting for this thread to take a progress bar message meanwhile.
    if (m_started && m_done)
    {
        InterlockedExchange(&m_stop, 1);
        WaitForWorkerEnd(m_done.get());
    }
}

void CDownloaderEx::Download(const wchar_t* lpURL, const wchar_t* lpPath)
{
    WriteLog(LOG_TRACE, L"CDownloaderEx::Download : lpURL=%s lpPath=%s", lpURL ? lpURL : L"",
             lpPath ? lpPath : L"");
    if (!m_done)
        return;
    // One thread at a time shares downinfo: a previous one (stopped, or failing with the
    // retry flag that brought us here) is let finish first.
    if (m_started && WaitForSingleObject(m_done.get(), 0) != WAIT_OBJECT_0)
    {
        InterlockedExchange(&m_stop, 1);
        WaitForWorkerEnd(m_done.get());
    }
    downinfo.url = lpURL ? lpURL : L"";
    downinfo.folder = lpPath ? lpPath : L"";
    downinfo.filePath.clear();
    InterlockedExchange(&m_stop, 0);
    ResetEvent(m_done.get());
    DWORD id = 0;
    m_thread.reset(CreateThread(nullptr, 0, ThreadURLDownload, this, CREATE_SUSPENDED, &id));
    if (!m_thread)
    {
        SetEvent(m_done.get());
        if (downinfo.error)
            downinfo.error(L"Can't internet", 0, downinfo.errorUser);
        return;
    }
    m_started = true;
    SetThreadPriority(m_thread.get(), THREAD_PRIORITY_NORMAL);
    ResumeThread(m_thread.get());
    WaitForSingleObject(m_thread.get(), 200);
}

void CDownloaderEx::SetDownStop()
{
    if (!m_thread)
        return;
    InterlockedExchange(&m_stop, 1);
    WriteLog(LOG_TRACE, L"CDownloaderEx::SetDownStop 1");
    WriteLog(LOG_TRACE, L"CDownloaderEx::SetDownStop 2");
    m_thread.reset();
}

HANDLE CDownloaderEx::OpenFile(DownInfo& info)
{
    WriteLog(LOG_TRACE, L"CDownloaderEx::OpenFile : downinfo.GetURL()=%s", info.GetURL());
    size_t slash = info.url.find_last_of(L'/');
    if (slash == std::wstring::npos || info.url.size() - slash >= MAX_PATH)
        return INVALID_HANDLE_VALUE;
    std::wstring name = info.url.substr(slash + 1);
    bool exe = EndsWithExe(name);
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

DWORD WINAPI CDownloaderEx::ThreadURLDownload(LPVOID self)
{
    static_cast<CDownloaderEx*>(self)->RunDownload();
    return 0;
}

void CDownloaderEx::RunDownload()
{
    WriteLog(LOG_TRACE, L"CDownloaderEx::ThreadURLDownload : start Thread");
    UniqueInternet internet, connection, request;
    UniqueFile file;
    std::wstring message;
    int retry = 0;
    bool failed = false;
    try
    {
        Transfer(internet, connection, request, file);
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
    request.reset();
    connection.reset();
    internet.reset();
    file.reset();
    if (failed)
    {
        if (downinfo.error)
            downinfo.error(message.c_str(), retry, downinfo.errorUser);
        WriteLog(LOG_TRACE, L"CDownloaderEx::ThreadURLDownload : error");
    }
    else
    {
        if (downinfo.complete)
            downinfo.complete(downinfo.filePath.c_str(), downinfo.completeUser);
        WriteLog(LOG_TRACE, L"CDownloaderEx::ThreadURLDownload : Kill Thread");
    }
    SetEvent(m_done.get());
}

void CDownloaderEx::Transfer(UniqueInternet& internet, UniqueInternet& connection, UniqueInternet& request,
                             UniqueFile& file)
{
    const wchar_t* user = nullptr;
    const wchar_t* password = nullptr;
    if (m_param && m_param->GetUseSystemProxy() != 0 && m_param->GetProxyType() == 1)
    {
        user = m_param->GetProxyUser();
        password = m_param->GetProxyPassword();
    }

    if (InternetAttemptConnect(0) != ERROR_SUCCESS)
        throw DLExc(L"Can't internet");
    internet.reset(InternetOpenW(L"HTTP DWONLOADER", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet)
        throw DLExc(L"Can't open internet");
    if (InternetSetStatusCallbackW(internet.get(), IgnoreStatus) == INTERNET_INVALID_STATUS_CALLBACK)
        throw DLExc(L"The callback function is not valid");
    DWORD timeout = 60000;
    InternetSetOptionW(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    timeout = 30000;
    InternetSetOptionW(internet.get(), INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionW(internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);

    connection.reset(InternetConnectW(internet.get(), downinfo.host.c_str(), downinfo.port, user, password,
                                      INTERNET_SERVICE_HTTP, 0, reinterpret_cast<DWORD_PTR>(this)));
    if (!connection)
        throw DLExc(L"Can't connect internet");

    std::string narrowUrl = ToNarrow(downinfo.url.c_str());
    std::wstring object = ToWide(PercentEncode(narrowUrl).c_str());
    // A longer name is refused rather than cut: a cut name fetches some other file.
    if (object.size() > kMaxObjectChars)
        throw DLExc(StepMessage(L"Can't HttpOpenRequest ", object));

    // The version goes into the request line as given: "HTTP/1.1", which servers accept
    // (a bare "1.1" is answered with 400 Bad Request).
    request.reset(
        HttpOpenRequestW(connection.get(), L"GET", object.c_str(), L"HTTP/1.1", nullptr, nullptr,
                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_NO_CACHE_WRITE,
                         reinterpret_cast<DWORD_PTR>(this)));
    if (!request)
        throw DLExc(StepMessage(L"Can't HttpOpenRequest ", object));
    if (!HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0))
        throw DLExc(StepMessage(L"Can't HttpSendRequest ", object));

    wchar_t statusText[40] = {}; // 80 bytes
    DWORD statusBytes = sizeof statusText;
    DWORD index = 0;
    if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE, statusText, &statusBytes, &index))
        throw DLExc(StepMessage(L"Can't HttpQueryInfo ", object));
    statusText[ARRAYSIZE(statusText) - 1] = 0;
    long status = wcstol(statusText, nullptr, 10);

    bool lengthSent = false;
    unsigned long long total = QueryContentLength(request.get(), lengthSent);
    unsigned long long declared = total;

    if (status == HTTP_STATUS_DENIED || status == HTTP_STATUS_PROXY_AUTH_REQ)
    {
        DWORD answer =
            InternetErrorDlg(downinfo.owner, request.get(), ERROR_INTERNET_INCORRECT_PASSWORD,
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

    if (total == 0)
    {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request.get(), &available, 0, 0))
            throw DLExc(StepMessage(L"Can't InternetQueryDataAvailable ", object));
        total = available;
    }

    file.reset(OpenFile(downinfo));
    if (!file)
        throw DLExc(L"Can't save file");

    // Read size adapts to the measured rate once per window of reads: it grows while the
    // rate holds, and freezes at the first slower window.
    std::vector<char> buffer(kBufferBytes);
    DWORD readSize = kFirstReadBytes;
    bool adapting = true;
    int windowCount = 0;
    DWORD windowBytes = 0;
    int bestRate = 0;
    unsigned long long received = 0;
    DWORD windowStart = GetTickCount();
    DWORD got = 0;
    do
    {
        got = 0;
        if (!InternetReadFile(request.get(), buffer.data(), readSize, &got))
            throw DLExc(StepMessage(L"Can't InternetReadFile ", object));
        if (adapting)
        {
            windowBytes += got;
            if (windowCount == kWindowReads)
            {
                DWORD now = GetTickCount();
                DWORD elapsed = now - windowStart;
                int rate = elapsed ? (int)((double)windowBytes / elapsed * 1000.0) : 0;
                WriteLog(LOG_TRACE, L"===========>[%03d] time:%d  len:%d  sum:%d  bps:%d", windowCount,
                         (int)elapsed, (int)readSize, (int)windowBytes, rate);
                if (rate < bestRate)
                    adapting = false;
                else
                {
                    bestRate = rate;
                    if (readSize + kReadStepBytes <= kBufferBytes)
                        readSize += kReadStepBytes;
                }
                windowCount = 0;
                windowBytes = 0;
                windowStart = now;
            }
            ++windowCount;
        }
        if (!WriteAll(file.get(), buffer.data(), got))
            throw DLExc(StepMessage(L"Error writing file ", downinfo.filePath));
        received += got;
        if (m_stop)
            throw DLExc(L"", 0);
        Sleep(1);
        if (downinfo.progress)
        {
            if (got == 0)
                break;
            downinfo.progress(total, received, downinfo.progressUser);
        }
    } while (got > 0);

    // The connection ended before the length the server announced: a cut download.
    if (lengthSent && received < declared)
        throw DLExc(StepMessage(L"Can't InternetReadFile ", object));
    if (!m_stop && downinfo.progress)
        downinfo.progress(total, received, downinfo.progressUser);
}
