#include "support/TestSupport.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>

namespace
{
volatile LONG g_tempCounter = 0;
}

TempDir::TempDir()
{
    wchar_t base[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, base);
    if (n == 0 || n >= MAX_PATH)
        lstrcpynW(base, L"C:\\", MAX_PATH);
    for (int attempt = 0; attempt < 1000; ++attempt)
    {
        wchar_t name[MAX_PATH + 64];
        _snwprintf(name, ARRAYSIZE(name) - 1, L"%snvpc_t%lu_%ld_%d", base, GetCurrentProcessId(),
                   InterlockedIncrement(&g_tempCounter), attempt);
        name[ARRAYSIZE(name) - 1] = 0;
        if (CreateDirectoryW(name, nullptr))
        {
            m_path = name;
            return;
        }
    }
}

TempDir::~TempDir()
{
    if (!m_path.empty())
        RemoveTree(m_path);
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE)
    {
        do
        {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = path + L"\\" + name;
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveTree(full);
            else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(full.c_str());
            else
                DeleteFileW(full.c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

bool WriteUtf16File(const std::wstring& path, const std::wstring& text)
{
    std::string bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return WriteBytes(path, bytes);
}

std::string ReadBytes(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

std::string WideToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring Utf8ToWideString(const std::string& text)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}

LogCapture::LogCapture()
{
    m_file = m_dir / L"test.log";
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(L"NVPC_LOG_FILE", buf, ARRAYSIZE(buf));
    if (n > 0 && n < ARRAYSIZE(buf))
    {
        m_hadPrevious = true;
        m_previous = buf;
    }
    SetEnvironmentVariableW(L"NVPC_LOG_FILE", m_file.c_str());
}

LogCapture::~LogCapture()
{
    SetEnvironmentVariableW(L"NVPC_LOG_FILE", m_hadPrevious ? m_previous.c_str() : nullptr);
}

std::vector<LogLine> LogCapture::Lines() const
{
    return ParseLogFile(m_file);
}

std::vector<std::wstring> LogCapture::Texts() const
{
    std::vector<std::wstring> out;
    for (const LogLine& l : Lines())
        out.push_back(l.text);
    return out;
}

EnvGuard::EnvGuard(const wchar_t* name, const wchar_t* value) : m_name(name)
{
    DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
    if (n > 0)
    {
        std::vector<wchar_t> buf(n);
        DWORD got = GetEnvironmentVariableW(name, buf.data(), n);
        m_had = got < n;
        if (m_had)
            m_previous.assign(buf.data(), got);
    }
    SetEnvironmentVariableW(name, value);
}

EnvGuard::~EnvGuard()
{
    SetEnvironmentVariableW(m_name.c_str(), m_had ? m_previous.c_str() : nullptr);
}

// "YYYY-MM-DD hh:mm:ss.mmm T<thread> L<level> <text>\r\n"
std::vector<LogLine> ParseLogFile(const std::wstring& path)
{
    std::vector<LogLine> out;
    std::string all = ReadBytes(path);
    size_t pos = 0;
    while (pos < all.size())
    {
        size_t end = all.find("\r\n", pos);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(pos, end - pos);
        pos = end + 2;
        size_t t = line.find(" T", 0);
        if (t == std::string::npos)
            continue;
        LogLine l;
        char* next = nullptr;
        l.thread = strtoul(line.c_str() + t + 2, &next, 10);
        if (!next || strncmp(next, " L", 2) != 0)
            continue;
        l.level = (int)strtol(next + 2, &next, 10);
        if (!next || *next != ' ')
            continue;
        l.text = Utf8ToWideString(next + 1);
        out.push_back(l);
    }
    return out;
}

int RunProcess(const std::wstring& exe, const std::wstring& args, DWORD timeoutMs,
               const std::wstring& workDir)
{
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workDir.empty() ? nullptr : workDir.c_str(), &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hProcess);
    return (int)code;
}

namespace
{
ChildScenarioFn g_childScenario = nullptr;
}

ChildScenarioRegistrar::ChildScenarioRegistrar(ChildScenarioFn fn)
{
    g_childScenario = fn;
}

int RunChildScenario(int argc, char** argv)
{
    if (!g_childScenario)
    {
        fprintf(stderr, "this test program has no child scenarios\n");
        return 2;
    }
    return g_childScenario(argc, argv);
}
