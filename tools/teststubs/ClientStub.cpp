// ClientStub.exe: stands in for the meeting client. It takes its whole command line as
// the client's parameters and is driven by the environment instead:
//   NVPC_CLIENT_RECORD      file to append the start record to (see StubRecord.h)
//   NVPC_CLIENT_HOLD_MS     hold the client-running mutex this long (at most 60 s);
//                           the record is written once the mutex is held
//   NVPC_CLIENT_QUIT_EVENT  name of an event that ends the hold early
//   NVPC_CLIENT_EXIT        exit code (default 0)
#include <windows.h>

#include "StubRecord.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    long holdMs = stub::EnvNumber(L"NVPC_CLIENT_HOLD_MS", 0);
    HANDLE mutex = nullptr;
    if (holdMs > 0)
        mutex = CreateMutexW(nullptr, TRUE, L"_Calderix_Norvane_No_1");
    std::wstring record = stub::Env(L"NVPC_CLIENT_RECORD");
    if (!record.empty())
        stub::AppendRecord(record);
    if (holdMs > 0)
    {
        std::wstring quitName = stub::Env(L"NVPC_CLIENT_QUIT_EVENT");
        HANDLE quit = quitName.empty() ? nullptr : CreateEventW(nullptr, TRUE, FALSE, quitName.c_str());
        DWORD ms = holdMs < 60000 ? (DWORD)holdMs : 60000;
        if (quit)
        {
            WaitForSingleObject(quit, ms);
            CloseHandle(quit);
        }
        else
        {
            Sleep(ms);
        }
    }
    if (mutex)
    {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return (int)stub::EnvNumber(L"NVPC_CLIENT_EXIT", 0);
}
