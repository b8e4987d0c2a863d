// Logger.dll: appends one line per call to a log file, optionally echoing to the console.
//
// The file is named by the environment variable NVPC_LOG_FILE (read at every call, so a
// test can switch files), else "<program>.log" beside the running program.
// A line reads "YYYY-MM-DD hh:mm:ss.mmm T<thread id> L<level> <text>" in UTF-8, ended by CRLF.
#include <windows.h>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace
{
CRITICAL_SECTION g_lock;
bool g_console = false;
int g_consoleWidth = 0; // console lines are cut at this many characters (0: whole)
int g_consoleLimit = 0; // at most this many lines go to the console (0: no limit)
int g_consoleCount = 0;
// Whether standard error is a console, asked once per handle: the question is a round
// trip to the console driver, which for every line slows long runs.
HANDLE g_checkedErr = INVALID_HANDLE_VALUE;
bool g_errIsConsole = false;

bool ErrIsConsole(HANDLE err)
{
    if (err != g_checkedErr)
    {
        DWORD mode = 0;
        g_errIsConsole = err && err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode);
        g_checkedErr = err;
    }
    return g_errIsConsole;
}

std::wstring LogFilePath()
{
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(L"NVPC_LOG_FILE", buf, ARRAYSIZE(buf));
    if (n > 0 && n < ARRAYSIZE(buf))
        return buf;
    n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return L"Logger.log";
    std::wstring path(buf, n);
    size_t dot = path.find_last_of(L'.');
    size_t slash = path.find_last_of(L"\\/");
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
        path.resize(dot);
    return path + L".log";
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

// Windows semantics: %s in a wide format is a wide string.
std::wstring Expand(const wchar_t* format, va_list args)
{
    if (!format)
        return L"(null)";
    va_list copy;
    va_copy(copy, args);
    int n = _vscwprintf(format, copy);
    va_end(copy);
    if (n < 0)
        return format;
    std::wstring out(n + 1, L'\0');
    _vsnwprintf(&out[0], out.size(), format, args);
    out.resize(n);
    return out;
}

// The open log file, kept between lines: opening it for every line makes long runs slow.
// Reopened when NVPC_LOG_FILE names another file. Guarded by g_lock.
std::wstring g_openPath;
HANDLE g_file = INVALID_HANDLE_VALUE;

HANDLE OpenLog(const std::wstring& path)
{
    // Several processes (the program and its elevated copy) append to one file, and
    // readers may look at it meanwhile.
    for (int attempt = 0; attempt < 50; ++attempt)
    {
        HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
            return h;
        Sleep(2);
    }
    return INVALID_HANDLE_VALUE;
}

void Append(const std::wstring& path, const std::string& line)
{
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        if (g_file == INVALID_HANDLE_VALUE || path != g_openPath)
        {
            if (g_file != INVALID_HANDLE_VALUE)
                CloseHandle(g_file);
            g_file = OpenLog(path);
            g_openPath = path;
            if (g_file == INVALID_HANDLE_VALUE)
                return;
        }
        DWORD written = 0;
        if (WriteFile(g_file, line.data(), (DWORD)line.size(), &written, nullptr))
            return;
        // The file went away under us (deleted with its folder, say): open it afresh once.
        CloseHandle(g_file);
        g_file = INVALID_HANDLE_VALUE;
    }
}
} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&g_lock);
    return TRUE;
}

// enable: echo lines to the console as well; width: cut console lines at this many
// characters; limit: stop echoing after this many lines. The file always gets every line whole.
extern "C" __declspec(dllexport) int __cdecl Logger_UseConsole(int enable, int width, int limit)
{
    EnterCriticalSection(&g_lock);
    g_console = enable != 0;
    g_consoleWidth = width > 0 ? width : 0;
    g_consoleLimit = limit > 0 ? limit : 0;
    g_consoleCount = 0;
    g_checkedErr = INVALID_HANDLE_VALUE; // asked afresh
    LeaveCriticalSection(&g_lock);
    return 1;
}

// The console settings in force, for the tests that check how a program set them up.
extern "C" __declspec(dllexport) int __cdecl Logger_GetConsole(int* enable, int* width, int* limit)
{
    if (!enable || !width || !limit)
        return 0;
    EnterCriticalSection(&g_lock);
    *enable = g_console ? 1 : 0;
    *width = g_consoleWidth;
    *limit = g_consoleLimit;
    LeaveCriticalSection(&g_lock);
    return 1;
}

extern "C" __declspec(dllexport) int __cdecl Logger_Writeln(int level, const wchar_t* format, ...)
{
    try
    {
        va_list args;
        va_start(args, format);
        std::wstring text = Expand(format, args);
        va_end(args);

        SYSTEMTIME st;
        GetLocalTime(&st);
        wchar_t head[96];
        _snwprintf(head, ARRAYSIZE(head) - 1, L"%04u-%02u-%02u %02u:%02u:%02u.%03u T%lu L%d ", st.wYear,
                   st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds,
                   GetCurrentThreadId(), level);
        head[ARRAYSIZE(head) - 1] = 0;
        std::string line = ToUtf8(head + text) + "\r\n";

        EnterCriticalSection(&g_lock);
        Append(LogFilePath(), line);
        if (g_console && (g_consoleLimit == 0 || g_consoleCount < g_consoleLimit))
        {
            ++g_consoleCount;
            std::wstring shown = text;
            if (g_consoleWidth > 0 && (int)shown.size() > g_consoleWidth)
                shown = shown.substr(0, g_consoleWidth);
            // Only a real console: a pipe or file on standard error stays quiet.
            HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
            if (ErrIsConsole(err))
            {
                std::string out = ToUtf8(head + shown) + "\n";
                DWORD written = 0;
                WriteFile(err, out.data(), (DWORD)out.size(), &written, nullptr);
            }
        }
        LeaveCriticalSection(&g_lock);
        return 1;
    }
    catch (...)
    {
        return 0;
    }
}
