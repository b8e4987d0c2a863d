#include "install/InstallHelpers.h"

#include <cwchar>

namespace
{
bool IsSep(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Windows opens these names, with any extension, as devices in every folder.
bool IsDeviceName(const wchar_t* begin, const wchar_t* end)
{
    const wchar_t* stop = begin;
    while (stop < end && *stop != L'.')
        ++stop;
    while (stop > begin && stop[-1] == L' ')
        --stop;
    std::wstring base(begin, stop);
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices)
        if (_wcsicmp(base.c_str(), device) == 0)
            return true;
    return base.size() == 4 &&
           (_wcsnicmp(base.c_str(), L"COM", 3) == 0 || _wcsnicmp(base.c_str(), L"LPT", 3) == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

bool IsReparse(const std::wstring& path)
{
    DWORD attrs = GetFileAttributesW(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}
} // namespace

bool WriteAll(HANDLE file, const void* data, DWORD size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0)
    {
        DWORD written = 0;
        if (!WriteFile(file, p, size, &written, nullptr) || written == 0)
            return false;
        p += written;
        size -= written;
    }
    return true;
}

bool IsSafeRelativePath(const wchar_t* path, bool allowEmpty)
{
    if (!path || !*path)
        return allowEmpty;
    if (IsSep(path[0]))
        return false; // root, UNC and \\?\ alike
    const wchar_t* start = path;
    for (const wchar_t* p = path;; ++p)
    {
        wchar_t c = *p;
        if (c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|' ||
            (c > 0 && c < 32))
            return false;
        if (IsSep(c) || c == 0)
        {
            bool onlyDots = p > start;
            for (const wchar_t* q = start; q < p; ++q)
                if (*q != L'.' && *q != L' ')
                    onlyDots = false;
            if (onlyDots || (p > start && IsDeviceName(start, p)))
                return false;
            if (c == 0)
                return true;
            start = p + 1;
        }
    }
}

bool IsPlainFileName(const wchar_t* name)
{
    return name && *name && IsSafeRelativePath(name, false) && !wcschr(name, L'\\') && !wcschr(name, L'/');
}

bool HasReparseComponent(const std::wstring& base, bool checkBase, const std::wstring& rel)
{
    std::wstring path = base;
    while (path.size() > 1 && IsSep(path.back()) && path[path.size() - 2] != L':')
        path.pop_back();
    if (checkBase && IsReparse(path))
        return true;
    size_t i = 0;
    while (i < rel.size())
    {
        size_t j = i;
        while (j < rel.size() && !IsSep(rel[j]))
            ++j;
        if (j > i)
        {
            if (!path.empty() && !IsSep(path.back()))
                path += L'\\';
            path.append(rel, i, j - i);
            if (IsReparse(path))
                return true;
        }
        i = j + 1;
    }
    return false;
}

bool WaitForWorkerEnd(HANDLE done)
{
    if (!done)
        return false;
    for (;;)
    {
        // Answers the messages sent to this thread; posted ones are not taken.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD r = MsgWaitForMultipleObjectsEx(1, &done, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r != WAIT_OBJECT_0 + 1)
            return false; // a failed wait would otherwise spin
    }
}
