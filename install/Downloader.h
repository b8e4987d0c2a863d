#pragma once
// CDownloaderEx: fetches one file (the full installer or an update archive) from the
// upgrade host's web server with one HTTP GET through WinINet, on a worker thread, and
// reports progress, completion and failure through plain callbacks.
#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

#include "common/Handles.h"
#include "install/CallbackSlot.h"

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
    // Each callback changes together with its user value, also while a download runs.
    CallbackSlot<DownloadProgressFn> progress;
    CallbackSlot<DownloadCompleteFn> complete;
    CallbackSlot<DownloadErrorFn> error;
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
        kConnectTimeoutMs = 60000,
        kSendTimeoutMs = 30000,
        kReceiveTimeoutMs = 30000,
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
    // Stops a running download and waits for its thread, answering the messages its
    // callbacks send to this thread meanwhile. A thread that has not ended after about a
    // second (a read that its closed connection does not end) is left to end on its own:
    // its callbacks are cleared, and it no longer touches this object.
    virtual ~CDownloaderEx();
    CDownloaderEx(const CDownloaderEx&) = delete;
    CDownloaderEx& operator=(const CDownloaderEx&) = delete;

    // Any callback may be null. They may be changed or cleared while a download runs.
    void SetProgressCallback(DownloadProgressFn fn, void* user);
    void SetCompleteCallback(DownloadCompleteFn fn, void* user);
    void SetErrorCallback(DownloadErrorFn fn, void* user);
    // Set before Download.
    void SetHost(const wchar_t* host);
    void SetPort(WORD port);
    void SetOwner(HWND owner);
    // The connection's time-outs in milliseconds (by default 60000, 30000 and 30000), for
    // the downloads started afterwards.
    void SetTimeouts(DWORD connectMs, DWORD sendMs, DWORD receiveMs);

    // Starts fetching lpURL into the folder lpPath and returns after at most 200 ms. A
    // download still running is stopped first, as by the destructor.
    void Download(const wchar_t* lpURL, const wchar_t* lpPath);
    // Asks a known download thread to stop and forgets it, without waiting. Its
    // connection is closed at once, so that a stalled read ends.
    void SetDownStop();
    // Creates the local file; INVALID_HANDLE_VALUE when none could be created.
    HANDLE OpenFile(DownInfo& info);

    // Set whenever the download thread has ended, whichever way (manual-reset).
    HANDLE DoneEvent() const;
    const DownInfo& GetDownInfo() const;

    // How long a stop waits for the download thread before leaving it to end alone.
    static const DWORD kStopGraceMs = 1000;

  private:
    // One download: everything its thread uses, shared with the thread, so a thread that
    // is left to end alone never touches the downloader.
    struct Job;
    static DWORD WINAPI ThreadURLDownload(LPVOID job);
    // Stops the running download, if any; false when its thread was left to end alone.
    bool StopJob();

    std::shared_ptr<Job> m_job;
    UniqueHandle m_thread;
    CParam* m_param;
};
