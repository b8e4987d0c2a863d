#include "install/PathSafety.h"

#include <winternl.h>

#include <cwchar>

#include "common/FileNames.h"
#include "common/Handles.h"

namespace
{
bool IsSep(wchar_t c)
{
    return c == L'\\' || c == L'/';
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

typedef BOOL(WINAPI* GetInfoExFn)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// Looked up at run time: Windows XP lacks it.
GetInfoExFn InfoExFunction()
{
    static GetInfoExFn fn = reinterpret_cast<GetInfoExFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx"));
    return fn;
}
} // namespace

bool IsSafeRelativePath(const wchar_t* path, bool allowEmpty)
{
    if (!path || !*path)
        return allowEmpty;
    if (IsSep(path[0]))
        return false; // root, UNC and \\?\ alike
    // Every part between separators is a plain name; an empty part (a doubled separator,
    // a trailing one) names the same folder.
    const wchar_t* start = path;
    for (const wchar_t* p = path;; ++p)
    {
        if (!IsSep(*p) && *p != 0)
            continue;
        if (p > start && !IsPlainName(start, static_cast<size_t>(p - start)))
            return false;
        if (*p == 0)
            return true;
        start = p + 1;
    }
}

bool HasExeExtension(const wchar_t* name)
{
    size_t length = name ? wcslen(name) : 0;
    return length >= 4 && _wcsicmp(name + length - 4, L".exe") == 0;
}

bool IsPlainFileName(const wchar_t* name)
{
    return IsPlainName(name);
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

std::wstring FileNameKey(const std::wstring& name)
{
    return FoldCase(name);
}

bool HasReparseComponent(const std::wstring& base, bool checkBase, const std::wstring& rel, DWORD* last)
{
    std::wstring path = base;
    while (path.size() > 1 && IsSep(path.back()) && path[path.size() - 2] != L':')
        path.pop_back();
    DWORD attrs = INVALID_FILE_ATTRIBUTES;
    if (checkBase || (last && rel.empty()))
    {
        attrs = GetFileAttributesW(path.c_str());
        if (checkBase && attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
    }
    bool missing = false;
    size_t i = 0;
    while (i < rel.size() && !missing)
    {
        size_t j = i;
        while (j < rel.size() && !IsSep(rel[j]))
            ++j;
        if (j > i)
        {
            if (!path.empty() && !IsSep(path.back()))
                path += L'\\';
            path.append(rel, i, j - i);
            attrs = GetFileAttributesW(path.c_str());
            if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT))
                return true;
            // Nothing below a missing component exists either. (Under Wine every lookup
            // of a missing name reads its whole folder.)
            DWORD error = attrs == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
            missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        }
        i = j + 1;
    }
    if (last)
        *last = attrs; // a missing component left INVALID_FILE_ATTRIBUTES here
    return false;
}

bool CanReadFinalPaths()
{
    return FinalPathFunction() != nullptr;
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

bool GetOpenedFileFacts(HANDLE file, DWORD& attributes, DWORD& links)
{
    // The two small queries where they exist: the one-call summary also reads the volume
    // and the name, which under Wine costs milliseconds in a folder of many files.
    if (GetInfoExFn fn = InfoExFunction())
    {
        FILE_BASIC_INFO basic;
        FILE_STANDARD_INFO standard;
        if (!fn(file, FileBasicInfo, &basic, sizeof basic) ||
            !fn(file, FileStandardInfo, &standard, sizeof standard))
            return false;
        attributes = basic.FileAttributes | (standard.Directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
        links = standard.NumberOfLinks;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    attributes = info.dwFileAttributes;
    links = info.nNumberOfLinks;
    return true;
}

bool FolderFinalPaths::Get(const std::wstring& folder, std::wstring& finalPath)
{
    auto found = m_known.find(folder);
    if (found != m_known.end())
    {
        finalPath = found->second;
        return true;
    }
    UniqueFile dir(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!dir || !GetOpenedPath(dir.get(), finalPath))
        return false;
    m_known[folder] = finalPath;
    return true;
}

bool IsOpenedFileInside(HANDLE file, const std::wstring& folder, const std::wstring& rel, bool singleLink,
                        FolderFinalPaths* known)
{
    DWORD attributes = 0, links = 0;
    if (!GetOpenedFileFacts(file, attributes, links) ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        (singleLink && links != 1))
        return false;
    if (!FinalPathFunction())
        return true; // Windows XP: no file symbolic links to follow
    // The folder's own final path, not its name: the folder itself may be reached
    // through a link we were given on purpose.
    FolderFinalPaths once;
    std::wstring opened, expected;
    if (!(known ? known : &once)->Get(folder, expected) || !GetOpenedPath(file, opened))
        return false;
    if (expected.empty() || !IsSep(expected.back()))
        expected += L'\\';
    expected += rel;
    return SameFileName(opened, expected);
}

namespace
{
typedef LONG(NTAPI* NtCreateFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                    ULONG, ULONG, ULONG, PVOID, ULONG);
typedef ULONG(NTAPI* StatusToErrorFn)(LONG);

// Opens or makes name relative to the open folder dir, never through a link at name.
// The status becomes the thread's last error.
bool CreateRelative(HANDLE dir, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, UniqueFile& out)
{
    static const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    static const NtCreateFileFn create =
        ntdll ? reinterpret_cast<NtCreateFileFn>(GetProcAddress(ntdll, "NtCreateFile")) : nullptr;
    static const StatusToErrorFn toError =
        ntdll ? reinterpret_cast<StatusToErrorFn>(GetProcAddress(ntdll, "RtlNtStatusToDosError")) : nullptr;
    if (!create || !toError)
    {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    if (!dir || dir == INVALID_HANDLE_VALUE || !IsPlainFileName(name.c_str()) || name.size() > 255)
    {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, dir, nullptr);
    IO_STATUS_BLOCK io = {};
    HANDLE handle = nullptr;
    LONG status = create(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                         disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0)
    {
        SetLastError(toError(status));
        return false;
    }
    out.reset(handle);
    return true;
}

const DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                            FILE_READ_ATTRIBUTES;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool IsPlainFolder(HANDLE folder)
{
    DWORD attributes = 0, links = 0;
    return GetOpenedFileFacts(folder, attributes, links) && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
} // namespace

PinnedFolders::PinnedFolders(const std::wstring& base) : m_base(base)
{
    while (m_base.size() > 1 && IsSep(m_base.back()) && m_base[m_base.size() - 2] != L':')
        m_base.pop_back();
}

HANDLE PinnedFolders::Get(const std::wstring& rel, bool create)
{
    const Level* level = Open(rel, create);
    return level ? level->handle.get() : nullptr;
}

const PinnedFolders::Level* PinnedFolders::Open(const std::wstring& rel, bool create)
{
    const std::wstring key = FileNameKey(rel);
    auto found = m_levels.find(key);
    if (found != m_levels.end())
        return &found->second;
    Level level;
    std::wstring expected; // the final path a level below the base must show
    if (rel.empty())
    {
        level.handle.reset(CreateFileW(m_base.c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    }
    else
    {
        size_t cut = rel.find_last_of(L'\\');
        const std::wstring parentRel = cut == std::wstring::npos ? std::wstring() : rel.substr(0, cut);
        const std::wstring name = cut == std::wstring::npos ? rel : rel.substr(cut + 1);
        const Level* parent = Open(parentRel, create);
        if (!parent || !CreateRelative(parent->handle.get(), name, kFolderAccess, kShareAll,
                                       create ? FILE_OPEN_IF : FILE_OPEN,
                                       FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, level.handle))
            return nullptr;
        expected = parent->finalPath;
        if (!expected.empty() && !IsSep(expected.back()))
            expected += L'\\';
        expected += name;
    }
    if (!level.handle || !IsPlainFolder(level.handle.get()))
        return nullptr;
    if (FinalPathFunction())
    {
        // Under Wine a link opens what it leads to, with no mark on the handle; its final
        // path tells.
        if (!GetOpenedPath(level.handle.get(), level.finalPath) ||
            (!rel.empty() && !SameFileName(level.finalPath, expected)))
            return nullptr;
    }
    return &(m_levels[key] = std::move(level));
}

bool CreateFileIn(HANDLE dir, const std::wstring& name, DWORD access, UniqueFile& file)
{
    return CreateRelative(dir, name, access, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, file);
}
