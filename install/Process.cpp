#include "install/Process.h"

#include <wininet.h>

#include <vector>

#include "common/Handles.h"
#include "common/Log.h"

const wchar_t kClientMutexName[] = L"_Calderix_Norvane_No_1";

namespace
{
BOOL WINAPI RealGetVersionEx(LPOSVERSIONINFOW info)
{
    return ::GetVersionExW(info);
}
BOOL WINAPI RealGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size,
                                    PDWORD returned)
{
    return ::GetTokenInformation(token, cls, info, size, returned);
}
BOOL WINAPI RealShellExecuteEx(SHELLEXECUTEINFOW* info)
{
    return ::ShellExecuteExW(info);
}

const SystemQueries g_realQueries = {RealGetVersionEx, RealGetTokenInformation, RealShellExecuteEx};
SystemQueries g_queries = g_realQueries;

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
    if (!g_queries.shellExecuteEx(&info))
        return false;
    if (process)
        *process = info.hProcess;
    else if (info.hProcess)
        ::CloseHandle(info.hProcess); // not asked for, but never leak one
    return true;
}

// The running program's own path, whatever its length.
bool OwnModulePath(std::vector<wchar_t>& path)
{
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2)
    {
        path.assign(size, L'\0');
        DWORD n = ::GetModuleFileNameW(nullptr, path.data(), size);
        if (n == 0)
            return false;
        if (n < size)
            return true;
    }
    return false;
}

bool IsNt6OrLater()
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return g_queries.getVersionEx(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           info.dwMajorVersion > 5;
}

// Reads one DWORD-sized token property of this process.
bool QueryTokenDword(TOKEN_INFORMATION_CLASS cls, DWORD* value)
{
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return false;
    DWORD answer = 0, returned = 0;
    if (!g_queries.getTokenInformation(token.get(), cls, &answer, sizeof answer, &returned))
        return false;
    *value = answer;
    return true;
}
} // namespace

const SystemQueries& RealSystemQueries()
{
    return g_realQueries;
}

void SetSystemQueries(const SystemQueries* queries)
{
    g_queries = queries ? *queries : g_realQueries;
}

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
    std::vector<wchar_t> self;
    if (!OwnModulePath(self))
        return -1;
    return ExecuteAndWait(owner, verb, self.data(), params, nullptr) ? 0 : -1;
}

bool RelaunchElevated(HWND owner, const wchar_t* params)
{
    std::vector<wchar_t> self;
    if (!OwnModulePath(self))
        return false;
    return ShellStart(0, owner, L"runas", self.data(), params, nullptr, nullptr);
}

HRESULT IsElevated(BOOL* elevated)
{
    if (!elevated)
        return E_POINTER;
    DWORD value = 0;
    if (!QueryTokenDword(TokenElevation, &value))
        return E_FAIL;
    *elevated = value ? 1 : 0;
    return value ? S_OK : S_FALSE;
}

HRESULT QueryElevationType(TOKEN_ELEVATION_TYPE* type)
{
    if (!type)
        return E_POINTER;
    DWORD value = 0;
    if (!QueryTokenDword(TokenElevationType, &value))
        return E_FAIL;
    *type = static_cast<TOKEN_ELEVATION_TYPE>(value);
    return S_OK;
}

bool NeedsElevatedRelaunch()
{
    if (!IsNt6OrLater())
        return false;
    TOKEN_ELEVATION_TYPE type;
    if (FAILED(QueryElevationType(&type)))
        return false;
    BOOL elevated = FALSE;
    return IsElevated(&elevated) == S_FALSE;
}

bool CheckElevation(const wchar_t* params)
{
    return NeedsElevatedRelaunch() && RelaunchElevated(nullptr, params);
}

bool FileExists(const wchar_t* pathOrPattern)
{
    if (!pathOrPattern || !*pathOrPattern)
        return false;
    WIN32_FIND_DATAW data;
    UniqueFind find(::FindFirstFileW(pathOrPattern, &data));
    return find.valid();
}

bool IsClientRunning()
{
    UniqueHandle mutex(::CreateMutexW(nullptr, TRUE, kClientMutexName));
    DWORD error = ::GetLastError();
    // A client started with other rights may own a mutex we may not open: it exists all
    // the same, so that counts as running too.
    return error == ERROR_ALREADY_EXISTS || (!mutex && error == ERROR_ACCESS_DENIED);
}

int IsSystemProxyEnabled()
{
    INTERNET_PER_CONN_OPTIONW option = {};
    option.dwOption = INTERNET_PER_CONN_FLAGS;
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.pszConnection = nullptr; // the LAN settings
    list.dwOptionCount = 1;
    list.pOptions = &option;
    DWORD size = sizeof list;
    if (!::InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size))
        return 0;
    return (option.Value.dwValue & PROXY_TYPE_PROXY) ? 1 : 0;
}

void ForceForeground(HWND window)
{
    if (!window)
        return;
    if (::GetForegroundWindow() == window)
        return;
    if (!::SetForegroundWindow(window))
    {
        HWND foreground = ::GetForegroundWindow();
        if (!foreground)
            foreground = ::FindWindowW(L"Shell_TrayWnd", nullptr);
        DWORD from = foreground ? ::GetWindowThreadProcessId(foreground, nullptr) : 0;
        DWORD to = ::GetWindowThreadProcessId(window, nullptr);
        // Sharing the foreground thread's input state lets the request through.
        bool attached = from && to && from != to && ::AttachThreadInput(from, to, TRUE);
        ::SetForegroundWindow(window);
        if (attached)
            ::AttachThreadInput(from, to, FALSE);
    }
    ::BringWindowToTop(window);
}
