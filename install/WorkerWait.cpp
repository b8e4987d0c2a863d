#include "install/WorkerWait.h"

bool WaitForWorkerEnd(HANDLE done)
{
    if (!done)
        return false;
    for (;;)
    {
        // Answers the messages sent to this thread; posted ones are not taken.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD r = MsgWaitForMultipleObjectsEx(1, &done, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r != WAIT_OBJECT_0 + 1)
            return false; // a failed wait would otherwise spin
    }
}
