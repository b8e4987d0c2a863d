#pragma once
// Starting other programs: the downloaded installer (awaited, for its exit code), the
// meeting client (not awaited), and this program again, elevated, for the file placement
// or instead of the current run. In a namespace of their own, so that a class's member
// of the same name (the loader control's RunEx) cannot hide them.
// Everything here runs on the user-interface thread; the waits pump that thread's
// messages, so callers must expect re-entrant message handling while they wait.
// The shell is reached through SystemQueries (install/SystemQueries.h).
#include <windows.h>

namespace proc
{
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

// The wait of ExecuteSync and ExecuteAndWait: waits for the handle while dispatching
// every message of the thread. A WM_QUIT seen meanwhile is posted again afterwards.
// True when the handle was signalled; false at once for a null handle, or on a failed wait.
bool WaitPumpingMessages(HANDLE handle);
} // namespace proc
