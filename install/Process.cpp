#include "install/Process.h"

#include <shellapi.h>

#include "common/Handles.h"
#include "common/Log.h"
#include "common/Module.h"
#include "install/Elevation.h"
#include "install/SystemQueries.h"

namespace
{
// Starts that are waited for keep their process handle. A failed start must come back
// as a result, not as a shell error box the caller cannot dismiss (its own failure box
// follows), hence no error UI.
const ULONG kWaitedStartMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;

// One start through the shell, with the platform's structure size, a normal window
// and no working folder unless given.
bool ShellStart(ULONG mask, HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t* params,
                const wchar_t* folder, HANDLE* process)
{
    if (process)
        *process = nullptr;
    if (!file || !*file)
        return false;
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = mask;
    info.hwnd = owner;
    info.lpVerb = verb;
    info.lpFile = file;
    info.lpParameters = params;
    info.lpDirectory = folder;
    info.nShow = SW_SHOWNORMAL;
    if (!CurrentSystemQueries().shellExecuteEx(&info))
        return false;
    if (process)
        *process = info.hProcess;
    else if (info.hProcess)
        ::CloseHandle(info.hProcess); // not asked for, but never leak one
    return true;
}
} // namespace

namespace proc
{
bool WaitPumpingMessages(HANDLE handle)
{
    // A start that gave no process handle has nothing to wait for: end at once.
    if (!handle)
        return false;
    bool signalled = false;
    bool sawQuit = false;
    WPARAM quitCode = 0;
    for (;;)
    {
        DWORD r = ::MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0)
        {
            signalled = true;
            break;
        }
        if (r != WAIT_OBJECT_0 + 1)
            break; // a failed wait would otherwise spin forever
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            // The thread's own message loop must still see the request to end.
            if (msg.message == WM_QUIT)
            {
                sawQuit = true;
                quitCode = msg.wParam;
                continue;
            }
            ::DispatchMessageW(&msg);
        }
    }
    if (sawQuit)
        ::PostQuitMessage(static_cast<int>(quitCode));
    return signalled;
}

bool ExecuteSync(const wchar_t* filePath, const wchar_t* params)
{
    HANDLE raw = nullptr;
    if (!ShellStart(kWaitedStartMask, nullptr, nullptr, filePath, params, nullptr, &raw))
        return false;
    UniqueHandle process(raw);
    WriteLog(LOG_INFO, L"ExecuteSync: start setup");
    // Without a process handle the outcome cannot be known: not a success.
    if (!WaitPumpingMessages(process.get()))
        return false;
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process.get(), &exitCode))
        exitCode = static_cast<DWORD>(-1);
    WriteLog(LOG_INFO, L"ExecuteSync:%d", static_cast<int>(exitCode));
    return exitCode == 0;
}

bool ExecuteAsync(HWND /*owner*/, const wchar_t* filePath, const wchar_t* params)
{
    return ShellStart(SEE_MASK_FLAG_NO_UI, nullptr, nullptr, filePath, params, nullptr, nullptr);
}

bool ExecuteAndWait(HWND owner, const wchar_t* verb, const wchar_t* filePath, const wchar_t* params,
                    const wchar_t* folder)
{
    HANDLE raw = nullptr;
    if (!ShellStart(kWaitedStartMask, owner, verb, filePath, params, folder, &raw))
        return false;
    UniqueHandle process(raw);
    WaitPumpingMessages(process.get());
    return true;
}

int RunEx(HWND owner, const wchar_t* params)
{
    const wchar_t* verb = nullptr;
    if (IsNt6OrLater())
    {
        TOKEN_ELEVATION_TYPE type;
        BOOL elevated = FALSE;
        // Only whether the queries work matters here, not what they answer.
        if (SUCCEEDED(QueryElevationType(&type)) && SUCCEEDED(IsElevated(&elevated)))
            verb = L"runas";
    }
    std::wstring self = ModulePath();
    if (self.empty())
        return -1;
    return ExecuteAndWait(owner, verb, self.c_str(), params, nullptr) ? 0 : -1;
}

bool RelaunchElevated(HWND owner, const wchar_t* params)
{
    std::wstring self = ModulePath();
    if (self.empty())
        return false;
    return ShellStart(0, owner, L"runas", self.c_str(), params, nullptr, nullptr);
}
} // namespace proc
