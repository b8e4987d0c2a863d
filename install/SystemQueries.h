#pragma once
// The system answers that the elevation decisions and the process starts depend on. Under
// test they are replaced, because some platforms (Wine) report every process elevated
// on 6.1, and a start's request to the shell is easiest to check where it is made.
#include <windows.h>
#include <shellapi.h>

struct SystemQueries
{
    BOOL(WINAPI* getVersionEx)(LPOSVERSIONINFOW info);
    BOOL(WINAPI* getTokenInformation)
    (HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD returned);
    BOOL(WINAPI* shellExecuteEx)(SHELLEXECUTEINFOW* info);
};
// The real functions.
const SystemQueries& RealSystemQueries();
// The answers in force.
const SystemQueries& CurrentSystemQueries();
// Replaces the answers process-wide (null restores the real ones). Not thread-safe:
// set before the operations run.
void SetSystemQueries(const SystemQueries* queries);
