// nvpc_bench_floor: the bare system work of each worker, with none of the product's own
// code, so bench/bench.py can tell what the platform costs (Wine, here) from what we add.
//
//   nvpc_bench_floor write FOLDER COUNT BYTES PERDIR
//       the unpacker's floor: COUNT files "f%05d.bin" of BYTES bytes each, created,
//       written and closed in FOLDER (PERDIR 0) or in sub-folders "d%03d" of PERDIR files
//   nvpc_bench_floor place SRC DEST COUNT PERDIR
//       the placement's floor: each SRC\f%05d.bin copied to a temporary name in
//       DEST\d%03d (PERDIR files a folder), swapped in with one rename, the source deleted
//   nvpc_bench_floor read HOST PORT PATH FILE [SCHEDULE]
//       the downloader's floor: one HTTP GET through WinINet, the body read in 20480-byte
//       reads with a 1 ms pause after each and written to FILE. SCHEDULE
//       ("5120x101,6144x100,...,14336") gives the read sizes instead: so many reads of
//       each size, the last size to the end (the downloader's own sizes, from its log)
//   nvpc_bench_floor measure PROGRAM [ARGS...]
//       runs PROGRAM (its output goes to ours), waits, and reports its peak working set
//
// Prints "ok <count> <milliseconds>" (measure: "peak <exit code> <milliseconds> <KB>") and
// exits 0, or "error <text>" and exits 1; exit code 2 for a wrong command line.
#include <windows.h>

#include <psapi.h>
#include <wininet.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace
{
int Fail(const wchar_t* what)
{
    wprintf(L"error %ls (%lu)\n", what, GetLastError());
    fflush(stdout);
    return 1;
}

int Done(unsigned long count, DWORD start)
{
    wprintf(L"ok %lu %lu\n", count, GetTickCount() - start);
    fflush(stdout);
    return 0;
}

std::wstring Numbered(const wchar_t* format, unsigned long n)
{
    wchar_t text[32];
    _snwprintf(text, 31, format, n);
    text[31] = 0;
    return text;
}

// Where file i goes: the folder itself, or its sub-folder of PERDIR files.
std::wstring FolderOf(const std::wstring& root, unsigned long i, unsigned long perDir)
{
    return perDir ? root + L"\\" + Numbered(L"d%03lu", i / perDir) : root;
}

bool WriteAll(HANDLE file, const char* data, DWORD size)
{
    while (size > 0)
    {
        DWORD written = 0;
        if (!WriteFile(file, data, size, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

int WriteFloor(wchar_t** argv)
{
    std::wstring root = argv[0];
    unsigned long count = wcstoul(argv[1], nullptr, 10), bytes = wcstoul(argv[2], nullptr, 10);
    unsigned long perDir = wcstoul(argv[3], nullptr, 10);
    std::vector<char> data(64 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + (i >> 7));
    DWORD start = GetTickCount();
    CreateDirectoryW(root.c_str(), nullptr);
    for (unsigned long i = 0; i < count; ++i)
    {
        std::wstring folder = FolderOf(root, i, perDir);
        if (perDir && i % perDir == 0)
            CreateDirectoryW(folder.c_str(), nullptr);
        std::wstring path = folder + L"\\" + Numbered(L"f%05lu.bin", i);
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return Fail(path.c_str());
        bool ok = true;
        for (unsigned long left = bytes; ok && left > 0;)
        {
            DWORD n = left < data.size() ? left : static_cast<DWORD>(data.size());
            ok = WriteAll(file, data.data(), n);
            left -= n;
        }
        CloseHandle(file);
        if (!ok)
            return Fail(path.c_str());
    }
    return Done(count, start);
}

bool CopyTo(const std::wstring& from, const std::wstring& to, std::vector<char>& buffer)
{
    HANDLE in = CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return false;
    HANDLE out =
        CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = out != INVALID_HANDLE_VALUE;
    for (DWORD got = 1; ok && got > 0;)
        ok = ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
             WriteAll(out, buffer.data(), got);
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    CloseHandle(in);
    return ok;
}

int PlaceFloor(wchar_t** argv)
{
    std::wstring source = argv[0], dest = argv[1];
    unsigned long count = wcstoul(argv[2], nullptr, 10), perDir = wcstoul(argv[3], nullptr, 10);
    std::vector<char> buffer(256 * 1024);
    DWORD start = GetTickCount();
    CreateDirectoryW(dest.c_str(), nullptr);
    for (unsigned long i = 0; i < count; ++i)
    {
        std::wstring folder = FolderOf(dest, i, perDir);
        if (perDir && i % perDir == 0)
            CreateDirectoryW(folder.c_str(), nullptr);
        std::wstring name = Numbered(L"f%05lu.bin", i);
        std::wstring from = source + L"\\" + name, temp = folder + L"\\~floor.tmp",
                     to = folder + L"\\" + name;
        if (!CopyTo(from, temp, buffer))
            return Fail(from.c_str());
        if (!MoveFileExW(temp.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
            return Fail(to.c_str());
        if (!DeleteFileW(from.c_str()))
            return Fail(from.c_str());
    }
    return Done(count, start);
}

struct Net
{
    HINTERNET h;
    explicit Net(HINTERNET handle) : h(handle) {}
    ~Net()
    {
        if (h)
            InternetCloseHandle(h);
    }
};

int ReadFloor(wchar_t** argv, const wchar_t* schedule)
{
    // The downloader holds a 1 ms timer resolution for its transfer: so does its floor.
    typedef UINT(WINAPI * PeriodFn)(UINT);
    HMODULE winmm = LoadLibraryW(L"winmm.dll");
    PeriodFn begin = winmm ? reinterpret_cast<PeriodFn>(GetProcAddress(winmm, "timeBeginPeriod")) : nullptr;
    PeriodFn end = winmm ? reinterpret_cast<PeriodFn>(GetProcAddress(winmm, "timeEndPeriod")) : nullptr;
    DWORD start = GetTickCount();
    if (begin)
        begin(1);
    Net session(InternetOpenW(L"floor", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    Net connection(session.h
                       ? InternetConnectW(session.h, argv[0], (INTERNET_PORT)wcstoul(argv[1], nullptr, 10),
                                          nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)
                       : nullptr);
    Net request(connection.h ? HttpOpenRequestW(connection.h, L"GET", argv[2], L"HTTP/1.1", nullptr, nullptr,
                                                INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0)
                             : nullptr);
    if (!request.h || !HttpSendRequestW(request.h, nullptr, 0, nullptr, 0))
        return Fail(L"request");
    HANDLE file =
        CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(argv[3]);
    // The read sizes: (size, count) steps, the last one to the end.
    std::vector<std::pair<DWORD, unsigned long>> steps;
    for (const wchar_t* p = schedule; p && *p;)
    {
        wchar_t* next = nullptr;
        DWORD size = wcstoul(p, &next, 10);
        unsigned long count = *next == L'x' ? wcstoul(next + 1, &next, 10) : 0;
        if (size == 0 || size > 20480)
            return Fail(schedule);
        steps.emplace_back(size, count);
        p = *next == L',' ? next + 1 : next;
    }
    if (steps.empty())
        steps.emplace_back(20480, 0);
    std::vector<char> buffer(20480);
    unsigned long total = 0, done = 0;
    size_t step = 0;
    bool ok = true;
    for (DWORD got = 1; ok && got > 0;)
    {
        if (steps[step].second && done == steps[step].second && step + 1 < steps.size())
        {
            ++step;
            done = 0;
        }
        ok = InternetReadFile(request.h, buffer.data(), steps[step].first, &got) &&
             WriteAll(file, buffer.data(), got);
        total += got;
        ++done;
        Sleep(1);
    }
    CloseHandle(file);
    if (end)
        end(1);
    return ok ? Done(total, start) : Fail(L"read");
}

// The peak working set of a running process: sampled while it runs, because a process
// that has ended no longer answers under every system.
SIZE_T PeakOf(HANDLE process, SIZE_T peak)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process, &counters, sizeof counters) && counters.PeakWorkingSetSize > peak)
        return counters.PeakWorkingSetSize;
    return peak;
}

int Measure()
{
    // Everything after the word "measure", as it was written.
    const wchar_t* line = GetCommandLineW();
    const wchar_t* rest = wcsstr(line, L" measure ");
    if (!rest)
        return 2;
    std::wstring command = rest + 9;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD start = GetTickCount();
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return Fail(command.c_str());
    CloseHandle(pi.hThread);
    SIZE_T peak = 0;
    while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT)
        peak = PeakOf(pi.hProcess, peak);
    peak = PeakOf(pi.hProcess, peak);
    DWORD ms = GetTickCount() - start, code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    wprintf(L"peak %lu %lu %lu\n", code, ms, static_cast<unsigned long>(peak / 1024));
    fflush(stdout);
    return 0;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 6 && wcscmp(argv[1], L"write") == 0)
        return WriteFloor(argv + 2);
    if (argc == 6 && wcscmp(argv[1], L"place") == 0)
        return PlaceFloor(argv + 2);
    if ((argc == 6 || argc == 7) && wcscmp(argv[1], L"read") == 0)
        return ReadFloor(argv + 2, argc == 7 ? argv[6] : nullptr);
    if (argc >= 3 && wcscmp(argv[1], L"measure") == 0)
        return Measure();
    fwprintf(stderr,
             L"usage: nvpc_bench_floor write FOLDER COUNT BYTES PERDIR | place SRC DEST COUNT PERDIR |"
             L" read HOST PORT PATH FILE [SCHEDULE] | measure PROGRAM [ARGS...]\n");
    return 2;
}
