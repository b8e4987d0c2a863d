#include "StubRecord.h"

#include <cwchar>
#include <vector>

namespace stub
{
std::wstring Env(const wchar_t* name)
{
    DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
    if (n == 0)
        return std::wstring();
    std::vector<wchar_t> buf(n);
    n = GetEnvironmentVariableW(name, buf.data(), n);
    return std::wstring(buf.data(), n < buf.size() ? n : 0);
}

long EnvNumber(const wchar_t* name, long fallback)
{
    std::wstring text = Env(name);
    if (text.empty())
        return fallback;
    wchar_t* end = nullptr;
    long value = wcstol(text.c_str(), &end, 10);
    return (end && *end == 0) ? value : fallback;
}

const wchar_t* ArgumentString(const wchar_t* p)
{
    if (!p)
        return L"";
    if (*p == L'"')
    {
        ++p;
        while (*p && *p != L'"')
            ++p;
        if (*p == L'"')
            ++p;
    }
    else
    {
        while (*p && *p != L' ' && *p != L'\t')
            ++p;
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

namespace
{
std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

void Line(std::string& out, const char* key, const std::wstring& value)
{
    out += key;
    out += '=';
    for (char c : Utf8(value))
    {
        if (c == '%')
            out += "%25";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    out += "\r\n";
}
} // namespace

bool AppendRecord(const std::wstring& file)
{
    const wchar_t* commandLine = GetCommandLineW();
    wchar_t cwd[MAX_PATH * 2];
    DWORD n = GetCurrentDirectoryW(ARRAYSIZE(cwd), cwd);
    std::string block;
    Line(block, "start", std::to_wstring(GetCurrentProcessId()));
    Line(block, "cmdline", commandLine ? commandLine : L"");
    Line(block, "args", ArgumentString(commandLine));
    Line(block, "cwd", (n > 0 && n < ARRAYSIZE(cwd)) ? std::wstring(cwd, n) : std::wstring());
    block += "end\r\n";
    // One write per block, so blocks of concurrent starts do not interleave.
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
        {
            DWORD written = 0;
            BOOL ok = WriteFile(h, block.data(), (DWORD)block.size(), &written, nullptr);
            CloseHandle(h);
            return ok && written == block.size();
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return false;
        Sleep(5);
    }
    return false;
}
} // namespace stub
