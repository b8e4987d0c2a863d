#pragma once
// Starting other programs (installers, the client, ourselves elevated), the elevation
// tests those starts rely on, and small system utilities used around them.
// Everything here runs on the user-interface thread; the waits pump that thread's
// messages, so callers must expect re-entrant message handling while they wait.
#include <windows.h>
#include <shellapi.h>

// Held by the meeting client while it runs.
extern const wchar_t kClientMutexName[];

// The system answers the elevation decisions and the starts depend on. Under test they
// are replaced, because some platforms (Wine) report every process elevated on 6.1.
struct SystemQueries
{
    BOOL(WINAPI* getVersionEx)(LPOSVERSIONINFOW info);
    BOOL(WINAPI* getTokenInformation)
    (HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD returned);
    BOOL(WINAPI* shellExecuteEx)(SHELLEXECUTEINFOW* info);
};
// The real functions.
const SystemQueries& RealSystemQueries();
// Replaces the answers process-wide (null restores the real ones). Not thread-safe:
// set before the operations run.
void SetSystemQueries(const SystemQueries* queries);

// Runs filePath with params (may be null) and waits, pumping messages. Logs
// "ExecuteSync: start setup" and "ExecuteSync:%d" with the exit code. True when the
// process exited with code 0; false when the start failed or no process could be awaited.
bool ExecuteSync(const wchar_t* filePath, const wchar_t* params);

// Starts filePath with params without waiting and without error UI. The owner is not
// passed on. True when the start succeeded.
bool ExecuteAsync(HWND owner, const wchar_t* filePath, const wchar_t* params);

// Starts filePath (verb and folder may be null) and waits for it, pumping messages.
// False when the start failed, true once the process ended (its exit code is not read).
bool ExecuteAndWait(HWND owner, const wchar_t* verb, const wchar_t* filePath, const wchar_t* params,
                    const wchar_t* folder);

// Runs this program again with params and waits, with the verb "runas" on Windows NT 6.0
// and later when both token queries succeed. Negative when the start failed, else 0.
int RunEx(HWND owner, const wchar_t* params);

// Starts this program again with the verb "runas" without waiting. True when started.
bool RelaunchElevated(HWND owner, const wchar_t* params);

// S_OK and *elevated = 1 when the process token is elevated, S_FALSE and 0 when not,
// E_FAIL when the token cannot be queried (before Windows NT 6.0 for instance).
HRESULT IsElevated(BOOL* elevated);
// S_OK with the token's elevation type, or E_FAIL.
HRESULT QueryElevationType(TOKEN_ELEVATION_TYPE* type);

// True on Windows NT 6.0 and later when both token queries succeed and the process is
// not elevated: the program should start itself elevated instead.
bool NeedsElevatedRelaunch();
// The entry point's elevation check: when NeedsElevatedRelaunch, starts this program
// elevated with params. True when that elevated copy was started (this run should end);
// false when no relaunch was needed or the start failed (this run goes on).
bool CheckElevation(const wchar_t* params);

// True when FindFirstFileW finds an entry for the path or wildcard pattern.
bool FileExists(const wchar_t* pathOrPattern);

// True when the client-running mutex exists. Holds no mutex afterwards.
bool IsClientRunning();

// 1 when the system's per-connection settings use a proxy, else 0.
int IsSystemProxyEnabled();

// Brings the window to the foreground, borrowing the foreground thread's input when
// the plain request is refused.
void ForceForeground(HWND window);

// The wait of ExecuteSync and ExecuteAndWait: waits for the handle while dispatching
// every message of the thread. A WM_QUIT seen meanwhile is posted again afterwards.
// True when the handle was signalled; false at once for a null handle, or on a failed wait.
bool WaitPumpingMessages(HANDLE handle);
