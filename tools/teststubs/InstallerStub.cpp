// InstallerStub.exe: stands in for a downloaded installer.
//
//   InstallerStub.exe [exit code [sleep ms]]
// The arguments win over the environment, which serves starts without arguments (the
// workflow runs installers without any):
//   NVPC_INSTALLER_EXIT      exit code (default 0)
//   NVPC_INSTALLER_SLEEP_MS  how long to run before exiting (default 0, at most 60 s)
//   NVPC_INSTALLER_RECORD    file to append the start record to (see StubRecord.h)
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "StubRecord.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    long exitCode = stub::EnvNumber(L"NVPC_INSTALLER_EXIT", 0);
    long sleepMs = stub::EnvNumber(L"NVPC_INSTALLER_SLEEP_MS", 0);
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc))
    {
        if (argc > 1)
            exitCode = wcstol(argv[1], nullptr, 10);
        if (argc > 2)
            sleepMs = wcstol(argv[2], nullptr, 10);
        LocalFree(argv);
    }
    std::wstring record = stub::Env(L"NVPC_INSTALLER_RECORD");
    if (!record.empty())
        stub::AppendRecord(record);
    if (sleepMs > 0)
        Sleep(sleepMs < 60000 ? (DWORD)sleepMs : 60000);
    return (int)exitCode;
}
