#include "common/Log.h"

#include <windows.h>

namespace
{
// Loaded once and never unloaded: worker threads may log until the process ends.
HMODULE g_logger = nullptr;
LoggerWritelnFn g_writeln = nullptr;
volatile LONG g_state = 0; // 0 not tried, 1 loading, 2 done
} // namespace

void InitLog()
{
    if (InterlockedCompareExchange(&g_state, 1, 0) != 0)
    {
        while (g_state != 2)
            Sleep(0);
        return;
    }
    g_logger = LoadLibraryW(L"Logger");
    if (g_logger)
    {
        typedef int(__cdecl * UseConsoleFn)(int, int, int);
        if (auto useConsole = reinterpret_cast<UseConsoleFn>(GetProcAddress(g_logger, "Logger_UseConsole")))
            useConsole(1, 200, 5000);
        g_writeln = reinterpret_cast<LoggerWritelnFn>(GetProcAddress(g_logger, "Logger_Writeln"));
    }
    InterlockedExchange(&g_state, 2);
}

LoggerWritelnFn LogWriter()
{
    return g_writeln;
}
