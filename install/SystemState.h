#pragma once
// Small questions about the system asked around the starts: does a file exist, is the
// client running, does the system use a proxy.
#include <windows.h>

// Held by the meeting client while it runs.
extern const wchar_t kClientMutexName[];

// True when FindFirstFileW finds an entry for the path or wildcard pattern.
bool FileExists(const wchar_t* pathOrPattern);

// True when the client-running mutex exists. Holds no mutex afterwards.
bool IsClientRunning();

// 1 when the system's per-connection (LAN) settings use a proxy, else 0.
int IsSystemProxyEnabled();
