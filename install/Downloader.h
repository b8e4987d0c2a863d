#pragma once
// CDownloaderEx: fetches one file (the full installer or an update archive) from the
// upgrade host's web server with one HTTP GET through WinINet, on a worker thread, and
// reports progress, completion and failure through plain callbacks.
#include <windows.h>

#include <string>

#include "common/Handles.h"

class CParam;

// The three callbacks run on the download thread; owners hand the event over to their
// own thread (the dialogs arm timers).
typedef void (*DownloadProgressFn)(unsigned long long total, unsigned long long received, void* user);
typedef void (*DownloadCompleteFn)(const wchar_t* filePath, void* user);
// An empty message without retry flag is a stop; retry 1 asks the owner to start again.
typedef void (*DownloadErrorFn)(const wchar_t* message, int retry, void* user);

// What to fetch, from where, into which folder, and whom to tell.
struct DownInfo
{
    DownloadProgressFn progress = nullptr;
    void* progressUser = nullptr;
    DownloadCompleteFn complete = nullptr;
    void* completeUser = nullptr;
    DownloadErrorFn error = nullptr;
    void* errorUser = nullptr;
    CParam* param = nullptr;
    std::wstring url;      // the file's path on the web server
    std::wstring folder;   // download folder
    std::wstring filePath; // the local file, set when it is opened
    std::wstring host;
    WORD port = 80;
    HWND owner = nullptr; // parent of the credentials dialog

    const wchar_t* GetURL() const { return url.c_str(); }
};

class CDownloaderEx
{
  public:
    enum
    {
        kBufferBytes = 20480,
        kFirstReadBytes = 5120,
        kReadStepBytes = 1024,
        kWindowReads = 100,
        kMaxObjectChars = 99,
    };

    // The failure raised inside the download thread; it never leaves the thread.
    class DLExc
    {
      public:
        DLExc(const std::wstring& message, int retry = 0) : m_message(message), m_retry(retry) {}
        const std::wstring& Message() const { return m_message; }
        int Retry() const { return m_retry; }

      private:
        std::wstring m_message;
        int m_retry;
    };

    explicit CDownloaderEx(CParam* param);
    // Asks a running download to stop and waits for its thread, which uses this object;
    // messages its callbacks send to this thread are answered meanwhile.
    virtual ~CDownloaderEx();
    CDownloaderEx(const CDownloaderEx&) = delete;
    CDownloaderEx& operator=(const CDownloaderEx&) = delete;

    // Set before Download; any callback may be null.
    void SetProgressCallback(DownloadProgressFn fn, void* user)
    {
        downinfo.progress = fn;
        downinfo.progressUser = user;
    }
    void SetCompleteCallback(DownloadCompleteFn fn, void* user)
    {
        downinfo.complete = fn;
        downinfo.completeUser = user;
    }
    void SetErrorCallback(DownloadErrorFn fn, void* user)
    {
        downinfo.error = fn;
        downinfo.errorUser = user;
    }
    void SetHost(const wchar_t* host) { downinfo.host = host ? host : L""; }
    void SetPort(WORD port) { downinfo.port = port; }
    void SetOwner(HWND owner) { downinfo.owner = owner; }

    // Starts fetching lpURL into the folder lpPath and returns after at most 200 ms. A
    // download still running is stopped and awaited first, as by the destructor.
    void Download(const wchar_t* lpURL, const wchar_t* lpPath);
    // Asks a known download thread to stop and forgets it, without waiting.
    void SetDownStop();
    // Creates the local file; INVALID_HANDLE_VALUE when none could be created.
    HANDLE OpenFile(DownInfo& info);

    // Set whenever the download thread has ended, whichever way (manual-reset).
    HANDLE DoneEvent() const { return m_done.get(); }
    const DownInfo& GetDownInfo() const { return downinfo; }

  private:
    static DWORD WINAPI ThreadURLDownload(LPVOID self);
    void RunDownload();
    void Transfer(UniqueInternet& internet, UniqueInternet& connection, UniqueInternet& request,
                  UniqueFile& file);

    DownInfo downinfo;
    UniqueHandle m_thread;
    volatile LONG m_stop;
    UniqueHandle m_done;
    CParam* m_param;
    bool m_started; // a thread was started at least once: it must be awaited before reuse
};
