// nvpc_bench_driver: runs one worker of the product on its own, for bench/bench.py and
// the end-to-end tests, and says how long the work took (start-up not counted).
//
//   nvpc_bench_driver download HOST PORT URL FOLDER   CDownloaderEx into FOLDER
//   nvpc_bench_driver unzip ARCHIVE                   CPatcher beside the archive
//   nvpc_bench_driver startfloor PORT CLIENT ARGS     the platform's floor of the
//       no-update start: two connections to 127.0.0.1:PORT (directory and upgrade
//       server), then CLIENT started with ARGS, without waiting for it
//
// Prints "ok <file or entries> <milliseconds>" and exits 0, or "error <text>" and exits 1;
// exit code 2 for a wrong command line.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/Log.h"
#include "install/Downloader.h"
#include "install/Patcher.h"
#include "params/Param.h"

namespace
{
struct Outcome
{
    std::wstring text;
    bool ok = false;
    int entries = 0;
};

void OnComplete(const wchar_t* path, void* user)
{
    Outcome* o = static_cast<Outcome*>(user);
    o->ok = true;
    o->text = path;
}

void OnError(const wchar_t* message, int retry, void* user)
{
    Outcome* o = static_cast<Outcome*>(user);
    o->ok = false;
    o->text = std::wstring(message) + (retry ? L" (retry)" : L"");
}

void OnUnzip(int kind, int a, int /*b*/, const char* /*name*/, void* user)
{
    Outcome* o = static_cast<Outcome*>(user);
    if (kind == 0)
        o->entries = a;
    else if (kind == 2)
        o->ok = true;
    else if (kind == 3)
        o->text = L"unpacking failed";
}

int Report(const Outcome& o, const std::wstring& what, DWORD ms)
{
    if (o.ok)
        wprintf(L"ok %ls %lu\n", what.c_str(), ms);
    else
        wprintf(L"error %ls\n", o.text.empty() ? L"(no result)" : o.text.c_str());
    fflush(stdout);
    return o.ok ? 0 : 1;
}

int Download(wchar_t** argv)
{
    CParam param;
    CDownloaderEx downloader(&param);
    Outcome o;
    downloader.SetCompleteCallback(&OnComplete, &o);
    downloader.SetErrorCallback(&OnError, &o);
    downloader.SetHost(argv[0]);
    downloader.SetPort((WORD)wcstoul(argv[1], nullptr, 10));
    DWORD start = GetTickCount();
    downloader.Download(argv[2], argv[3]);
    WaitForSingleObject(downloader.DoneEvent(), INFINITE);
    DWORD ms = GetTickCount() - start;
    return Report(o, o.text, ms);
}

int Unzip(wchar_t** argv)
{
    CPatcher patcher;
    Outcome o;
    patcher.SetCallback(&OnUnzip, &o);
    DWORD start = GetTickCount();
    int count = patcher.Patch(argv[0]);
    if (count == 0)
        o.text = L"the archive cannot be opened or has no entries";
    WaitForSingleObject(patcher.DoneEvent(), count ? INFINITE : 0);
    DWORD ms = GetTickCount() - start;
    return Report(o, std::to_wstring(o.entries), ms);
}
// A connection to the server, opened and closed as the workflow's two lookups do.
bool ConnectOnce(WORD port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
    closesocket(s);
    return ok;
}

int StartFloor(wchar_t** argv)
{
    Outcome o;
    DWORD start = GetTickCount();
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    WORD port = static_cast<WORD>(wcstoul(argv[0], nullptr, 10));
    o.ok = ConnectOnce(port) && ConnectOnce(port);
    std::wstring line = L"\"" + std::wstring(argv[1]) + L"\" " + argv[2];
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    if (o.ok && CreateProcessW(argv[1], &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    else
    {
        o.ok = false;
        o.text = L"connection or start failed";
    }
    WSACleanup();
    return Report(o, L"started", GetTickCount() - start);
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    InitLog();
    if (argc == 6 && wcscmp(argv[1], L"download") == 0)
        return Download(argv + 2);
    if (argc == 3 && wcscmp(argv[1], L"unzip") == 0)
        return Unzip(argv + 2);
    if (argc == 5 && wcscmp(argv[1], L"startfloor") == 0)
        return StartFloor(argv + 2);
    fwprintf(stderr,
             L"usage: nvpc_bench_driver download HOST PORT URL FOLDER | unzip ARCHIVE | startfloor PORT "
             L"CLIENT ARGS\n");
    return 2;
}
