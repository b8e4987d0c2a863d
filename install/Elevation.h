#pragma once
// Whether this process runs elevated, and the entry point's decision to start itself
// elevated instead. The answers come through SystemQueries.
#include <windows.h>

// True when GetVersionExW works and reports Windows NT 6.0 or later.
bool IsNt6OrLater();

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
