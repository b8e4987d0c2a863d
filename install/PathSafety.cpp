#include "install/PathSafety.h"

#include <cwchar>

#include "common/Handles.h"

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

// Upper case by the invariant tables, close to the file system's own: not the C
// library's, which folds ASCII letters only.
std::wstring FoldCase(const std::wstring& text)
{
    if (text.empty())
        return text;
    std::wstring out(text.size(), L'\0');
    int n = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.c_str(), (int)text.size(), &out[0],
                         (int)out.size());
    if (n != (int)text.size())
        return text;
    return out;
}

typedef DWORD(WINAPI* GetFinalPathFn)(HANDLE, LPWSTR, DWORD, DWORD);

GetFinalPathFn FinalPathFunction()
{
    static GetFinalPathFn fn = reinterpret_cast<GetFinalPathFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW"));
    return fn;
}
} // namespace

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

bool HasExeExtension(const wchar_t* name)
{
    size_t length = name ? wcslen(name) : 0;
    return length >= 4 && _wcsicmp(name + length - 4, L".exe") == 0;
}

bool IsPlainFileName(const wchar_t* name)
{
    return name && *name && IsSafeRelativePath(name, false) && !wcschr(name, L'\\') && !wcschr(name, L'/');
}

bool NormalizeRelativePath(const std::wstring& path, bool allowEmpty, std::wstring& out)
{
    if (!path.empty() && IsSep(path[0]))
        return false; // a root is no relative path, whatever follows
    std::wstring joined;
    size_t i = 0;
    while (i <= path.size())
    {
        size_t j = i;
        while (j < path.size() && !IsSep(path[j]))
            ++j;
        if (j > i && !(j == i + 1 && path[i] == L'.'))
        {
            if (!joined.empty())
                joined += L'\\';
            joined.append(path, i, j - i);
        }
        i = j + 1;
    }
    if (!IsSafeRelativePath(joined.c_str(), allowEmpty))
        return false;
    out = joined;
    return true;
}

bool SameFileName(const std::wstring& a, const std::wstring& b)
{
    return a.size() == b.size() && FoldCase(a) == FoldCase(b);
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

bool GetOpenedPath(HANDLE handle, std::wstring& path)
{
    GetFinalPathFn fn = FinalPathFunction();
    if (!fn || !handle || handle == INVALID_HANDLE_VALUE)
        return false;
    std::wstring buffer(MAX_PATH + 16, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        DWORD n = fn(handle, &buffer[0], (DWORD)buffer.size(), 0 /* normalized, DOS volume name */);
        if (n == 0)
            return false;
        if (n < buffer.size())
        {
            buffer.resize(n);
            path = buffer;
            return true;
        }
        buffer.assign(n + 1, L'\0'); // n is the size needed, terminator included
    }
    return false;
}

bool IsOpenedFileInside(HANDLE file, const std::wstring& folder, const std::wstring& rel, bool singleLink)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        (singleLink && info.nNumberOfLinks != 1))
        return false;
    if (!FinalPathFunction())
        return true; // Windows XP: no file symbolic links to follow
    // The folder's own final path, not its name: the folder itself may be reached
    // through a link we were given on purpose.
    UniqueFile dir(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring opened, expected;
    if (!dir || !GetOpenedPath(dir.get(), expected) || !GetOpenedPath(file, opened))
        return false;
    if (expected.empty() || !IsSep(expected.back()))
        expected += L'\\';
    expected += rel;
    return SameFileName(opened, expected);
}
