#include "install/Patcher.h"

#include "common/BoundedCopy.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "install/WorkerWait.h"

CPatcher::CPatcher() : m_started(false)
{
    m_filePath[0] = 0;
    m_done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

CPatcher::~CPatcher()
{
    // The done event is the thread's last touch of this object. A callback may be
    // waiting for this thread to take a progress bar message meanwhile.
    if (m_started)
    {
        m_unzipper.SetStop(true);
        WaitForWorkerEnd(m_done.get());
    }
}

int CPatcher::Patch(const wchar_t* lpFilePath)
{
    WriteLog(LOG_TRACE, L"CPatcher::Patch : lpFilePath=%s", lpFilePath ? lpFilePath : L"");
    // A thread that was told to stop may still be closing the archive it shares with us.
    if (!m_done || (m_started && WaitForSingleObject(m_done.get(), 0) != WAIT_OBJECT_0))
        return 0;
    // An empty path names no archive; a path that does not fit is refused, never cut.
    if (!lpFilePath || !*lpFilePath || !CopyBounded(m_filePath, lpFilePath))
        return 0;
    m_unzipper.SetStop(false);
    m_unzipper.SetCallback(&CPatcher::Relay, this);
    if (!m_unzipper.Open(PathToFileApi(m_filePath).c_str(), true))
        return 0;
    // Counted before the thread starts: once it runs, it alone touches the archive.
    int count = m_unzipper.GetEntryCount();

    ResetEvent(m_done.get());
    DWORD id = 0;
    m_thread.reset(CreateThread(nullptr, 0, ThreadUnzip, this, CREATE_SUSPENDED, &id));
    if (!m_thread)
    {
        m_unzipper.Close();
        SetEvent(m_done.get());
        return 0;
    }
    m_started = true;
    SetThreadPriority(m_thread.get(), THREAD_PRIORITY_NORMAL);
    ResumeThread(m_thread.get());
    WaitForSingleObject(m_thread.get(), 200);
    return count;
}

void CPatcher::SetPatchStop()
{
    if (!m_thread)
        return;
    m_unzipper.SetStop(true);
    WriteLog(LOG_TRACE, L"CPatcher::SetPatchStop : 1");
    WriteLog(LOG_TRACE, L"CPatcher::SetPatchStop : 2");
    m_thread.reset();
}

void CPatcher::Relay(int kind, int a, int b, const char* name, void* self)
{
    CallbackSlot<UnzipCallback>::Pair pair = static_cast<CPatcher*>(self)->m_callback.Get();
    if (pair.fn)
        pair.fn(kind, a, b, name, pair.user);
}

DWORD WINAPI CPatcher::ThreadUnzip(LPVOID self)
{
    static_cast<CPatcher*>(self)->RunUnzip();
    return 0;
}

void CPatcher::RunUnzip()
{
    WriteLog(LOG_TRACE, L"CPatcher::ThreadUnzip : start");
    bool ok = false;
    try
    {
        ok = m_unzipper.UnzipAll(nullptr, false);
    }
    catch (...)
    {
        ok = false;
    }
    if (!ok)
        Relay(UNZIP_FAILED, 0, 0, nullptr, this);
    WriteLog(LOG_TRACE, L"CPatcher::ThreadUnzip : Kill Thread1");
    m_unzipper.Close();
    m_unzipper.SetStop(false);
    WriteLog(LOG_TRACE, L"CPatcher::ThreadUnzip : Kill Thread2");
    SetEvent(m_done.get());
}
