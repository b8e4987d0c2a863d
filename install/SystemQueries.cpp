#include "install/SystemQueries.h"

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
} // namespace

const SystemQueries& RealSystemQueries()
{
    return g_realQueries;
}

const SystemQueries& CurrentSystemQueries()
{
    return g_queries;
}

void SetSystemQueries(const SystemQueries* queries)
{
    g_queries = queries ? *queries : g_realQueries;
}
