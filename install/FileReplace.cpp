#include "install/FileReplace.h"

#include <cwchar>
#include <unordered_set>
#include <vector>

#include "common/Log.h"
#include "common/Module.h"
#include "install/PathSafety.h"

namespace
{
const wchar_t kTempPrefix[] = L"~nvpc";
const wchar_t kAsidePrefix[] = L"~nvpcold";
const wchar_t kSuffix[] = L".tmp";

volatile LONG g_counter = 0;

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/')
        return folder + name;
    return folder + L'\\' + name;
}

// "<pid>_<n>" of a fresh name of ours.
std::wstring UniquePart()
{
    wchar_t text[32];
    _snwprintf(text, 31, L"%lu_%ld", GetCurrentProcessId(), InterlockedIncrement(&g_counter));
    text[31] = 0;
    return text;
}

// Decimal digits from at, at least one; returns the position after them or npos.
size_t SkipDigits(const std::wstring& s, size_t at)
{
    size_t i = at;
    while (i < s.size() && s[i] >= L'0' && s[i] <= L'9')
        ++i;
    return i > at ? i : std::wstring::npos;
}

bool EndsWithSuffix(const std::wstring& name)
{
    size_t n = wcslen(kSuffix);
    return name.size() > n && _wcsicmp(name.c_str() + name.size() - n, kSuffix) == 0;
}

// "<pid>_<n>" at at, followed by what; npos when it is not there.
size_t SkipUniquePart(const std::wstring& name, size_t at)
{
    size_t i = SkipDigits(name, at);
    if (i == std::wstring::npos || i >= name.size() || name[i] != L'_')
        return std::wstring::npos;
    return SkipDigits(name, i + 1);
}

bool StartsWith(const std::wstring& name, const wchar_t* prefix)
{
    return _wcsnicmp(name.c_str(), prefix, wcslen(prefix)) == 0;
}

typedef BOOL(WINAPI* SetFileInfoFn)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// Looked up at run time: Windows XP lacks it.
SetFileInfoFn SetFileInfoFunction()
{
    static SetFileInfoFn fn = reinterpret_cast<SetFileInfoFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle"));
    return fn;
}
} // namespace

bool IsOwnTempName(const std::wstring& name)
{
    if (!StartsWith(name, kTempPrefix) || !EndsWithSuffix(name))
        return false;
    size_t end = SkipUniquePart(name, wcslen(kTempPrefix));
    return end != std::wstring::npos && end + wcslen(kSuffix) == name.size();
}

bool IsOwnAsideName(const std::wstring& name, std::wstring* original)
{
    if (!StartsWith(name, kAsidePrefix) || !EndsWithSuffix(name))
        return false;
    size_t end = SkipUniquePart(name, wcslen(kAsidePrefix));
    size_t stop = name.size() - wcslen(kSuffix);
    if (end == std::wstring::npos || end >= stop || name[end] != L'_' || end + 1 >= stop)
        return false;
    std::wstring rest = name.substr(end + 1, stop - end - 1);
    if (!IsPlainFileName(rest.c_str()))
        return false;
    if (original)
        *original = rest;
    return true;
}

bool DeleteByHandle(HANDLE file)
{
    SetFileInfoFn setInfo = SetFileInfoFunction();
    if (!setInfo)
        return false;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return setInfo(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

bool DeleteOpenedFile(UniqueFile& file, const std::wstring& path)
{
    if (SetFileInfoFunction())
    {
        bool marked = DeleteByHandle(file.get());
        file.reset(); // the file goes with its last handle
        return marked;
    }
    // Windows XP: no disposition by handle, and no file symbolic links either.
    file.reset();
    return DeleteFileW(path.c_str()) != FALSE;
}

bool DeleteCheckedFile(const std::wstring& folder, const std::wstring& name)
{
    std::wstring path = Join(folder, name);
    UniqueFile file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file || !IsOpenedFileInside(file.get(), folder, name, true))
        return false;
    return DeleteOpenedFile(file, path);
}

bool CreateOwnTempFileIn(HANDLE dir, const std::wstring& folder, std::wstring& name, UniqueFile& file)
{
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        std::wstring candidate = kTempPrefix + UniquePart() + kSuffix;
        if (Join(folder, candidate).size() >= MAX_PATH)
            return false;
        if (CreateFileIn(dir, candidate, GENERIC_WRITE | DELETE, file))
        {
            name = candidate;
            return true;
        }
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool SwapIntoPlace(const std::wstring& folder, const std::wstring& tempName, const std::wstring& name)
{
    std::wstring temp = Join(folder, tempName), dest = Join(folder, name);
    if (MoveFileExW(temp.c_str(), dest.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    if (GetFileAttributesW(dest.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    // Only a plain file of one link is moved aside: the aside file is deleted later.
    {
        UniqueFile current(CreateFileW(dest.c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!current || !IsOpenedFileInside(current.get(), folder, name, true))
            return false;
    }
    std::wstring asideName = kAsidePrefix + UniquePart() + L"_" + name + kSuffix;
    std::wstring aside = Join(folder, asideName);
    if (aside.size() >= MAX_PATH || !MoveFileExW(dest.c_str(), aside.c_str(), 0))
        return false; // in use beyond renaming: the installed file stays as it was
    if (!MoveFileExW(temp.c_str(), dest.c_str(), 0))
    {
        if (!MoveFileExW(aside.c_str(), dest.c_str(), 0))
            WriteLog(LOG_INFO, L"CUnzipMove::MovefileCust : the installed file stays as %s", aside.c_str());
        return false;
    }
    WriteLog(LOG_INFO, L"CUnzipMove::MovefileCust : %s was in use, moved aside as %s", dest.c_str(),
             asideName.c_str());
    if (!DeleteCheckedFile(folder, asideName))
        MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT); // needs rights we may lack
    return true;
}

bool RemoveStaleAsideFiles(const std::wstring& folder, std::unordered_set<std::wstring>* names)
{
    if (folder.empty())
        return false;
    std::vector<std::wstring> candidates;
    WIN32_FIND_DATAW fd;
    // Every name when the caller wants them all: one pass over the folder either way.
    UniqueFind find(FindFirstFileW(Join(folder, names ? L"*" : L"~nvpc*.tmp").c_str(), &fd));
    if (!find)
    {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES;
    }
    do
    {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (!(fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
            StartsWith(name, kTempPrefix) && EndsWithSuffix(name))
            candidates.push_back(name);
        else if (names)
            names->insert(FileNameKey(name));
    } while (FindNextFileW(find.get(), &fd));
    bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    find.reset();
    for (const std::wstring& name : candidates)
    {
        std::wstring original;
        bool gone = false;
        if (IsOwnTempName(name))
            gone = DeleteCheckedFile(folder, name);
        else if (IsOwnAsideName(name, &original) &&
                 GetFileAttributesW(Join(folder, original).c_str()) != INVALID_FILE_ATTRIBUTES)
            gone = DeleteCheckedFile(folder, name); // fails quietly while still in use
        if (!gone && names)
            names->insert(FileNameKey(name));
    }
    return complete;
}

void RemoveStaleAsideFilesBesideProgram()
{
    RemoveStaleAsideFiles(ModuleFolder());
}
