// InstallerStub.exe: stands in for a downloaded installer.
//
//   InstallerStub.exe [exit code [sleep ms]]
// The arguments win over the environment, which serves starts without arguments (the
// workflow runs installers without any):
//   NVPC_INSTALLER_EXIT      exit code (default 0)
//   NVPC_INSTALLER_SLEEP_MS  how long to run before exiting (default 0, at most 60 s)
//   NVPC_INSTALLER_RECORD    file to append the start record to (see StubRecord.h)
//   NVPC_INSTALLER_GATE      a file: after the sleep, wait until it exists (at most 60 s),
//                            so a test can look at the waiting updater before going on
//   NVPC_INSTALLER_PAYLOAD   a folder whose files and sub-folders are copied, after the
//   NVPC_INSTALLER_TARGET    gate, into this folder (created with its parent), as an
//                            installer places the client; a failed copy exits with 2
//                            instead of a zero exit code
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "StubRecord.h"

namespace
{
const DWORD kMaxWaitMs = 60000;
const DWORD kGatePollMs = 20;

bool IsDirectory(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates the folder and, where missing, its parents.
bool MakeFolders(const std::wstring& path)
{
    if (path.empty() || IsDirectory(path))
        return !path.empty();
    size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 2 && !MakeFolders(path.substr(0, slash)))
        return false;
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool CopyTree(const std::wstring& from, const std::wstring& to)
{
    if (!MakeFolders(to))
        return false;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    do
    {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::wstring source = from + L"\\" + name, target = to + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = CopyTree(source, target) && ok;
        else
            ok = CopyFileW(source.c_str(), target.c_str(), FALSE) && ok;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

void WaitForGate(const std::wstring& gate)
{
    DWORD start = GetTickCount();
    while (GetFileAttributesW(gate.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount() - start < kMaxWaitMs)
        Sleep(kGatePollMs);
}
} // namespace

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
        Sleep(sleepMs < (long)kMaxWaitMs ? (DWORD)sleepMs : kMaxWaitMs);
    std::wstring gate = stub::Env(L"NVPC_INSTALLER_GATE");
    if (!gate.empty())
        WaitForGate(gate);
    std::wstring payload = stub::Env(L"NVPC_INSTALLER_PAYLOAD"), target = stub::Env(L"NVPC_INSTALLER_TARGET");
    if (!payload.empty() && !target.empty() && !CopyTree(payload, target) && exitCode == 0)
        exitCode = 2;
    return (int)exitCode;
}
