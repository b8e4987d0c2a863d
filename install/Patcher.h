#pragma once
// CPatcher: unpacks a downloaded update archive on a worker thread, beside the archive in
// a folder named after it, and reports per-entry and per-byte progress.
#include <windows.h>

#include "common/Handles.h"
#include "install/CallbackSlot.h"
#include "install/Unzipper.h"

class CPatcher
{
  public:
    CPatcher();
    // Waits for a running unpack to end (it is asked to stop first): the thread uses
    // this object. Messages its callbacks send to this thread are answered meanwhile.
    virtual ~CPatcher();
    CPatcher(const CPatcher&) = delete;
    CPatcher& operator=(const CPatcher&) = delete;

    // Called on the unpack thread; see UnzipCallback for the kinds.
    // Also reaches a running unpack, so an owner can clear it before going away: the
    // function and its user value change together.
    void SetCallback(UnzipCallback callback, void* user) { m_callback.Set(callback, user); }

    // Starts unpacking the archive. Returns its number of entries, or 0 when it cannot be
    // opened, the path is too long, an unpack is still running, or no thread started.
    int Patch(const wchar_t* lpFilePath);
    // Asks a known unpack thread to stop and forgets it, without waiting.
    void SetPatchStop();

    // Set whenever the unpack thread has ended (manual-reset).
    HANDLE DoneEvent() const { return m_done.get(); }
    const wchar_t* GetFilePath() const { return m_filePath; }

  private:
    static DWORD WINAPI ThreadUnzip(LPVOID self);
    // The unzipper's callback: passes each report on to the pair set now.
    static void Relay(int kind, int a, int b, const char* name, void* self);
    void RunUnzip();

    UniqueHandle m_thread;
    CUnzipper m_unzipper;
    CallbackSlot<UnzipCallback> m_callback;
    wchar_t m_filePath[MAX_PATH];
    UniqueHandle m_done;
    bool m_started; // a thread was started at least once: the destructor must await it
};
