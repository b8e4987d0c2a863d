#pragma once
// Links for the tests that check we never write or read through one. Directories: a
// junction (a mount-point reparse point), else a directory symbolic link, else (under
// Wine, which makes neither) a Unix symbolic link, which Wine shows as a directory
// reparse point. Files: symbolic and hard links, made by /bin/ln where the system makes
// none.
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "common/Handles.h"

inline bool IsReparsePoint(const std::wstring& path)
{
    DWORD attrs = GetFileAttributesW(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

namespace junction_detail
{
inline bool MountPoint(const std::wstring& link, const std::wstring& target)
{
    if (!CreateDirectoryW(link.c_str(), nullptr))
        return false;
    UniqueFile dir(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (dir)
    {
        std::wstring substitute = L"\\??\\" + target;
        const size_t subBytes = substitute.size() * sizeof(wchar_t);
        const size_t printBytes = target.size() * sizeof(wchar_t);
        // Header (8) + mount point header (8) + both names with their terminators.
        std::vector<BYTE> buf(8 + 8 + subBytes + 2 + printBytes + 2, 0);
        DWORD* tag = reinterpret_cast<DWORD*>(&buf[0]);
        *tag = IO_REPARSE_TAG_MOUNT_POINT;
        WORD* w = reinterpret_cast<WORD*>(&buf[4]);
        w[0] = (WORD)(buf.size() - 8); // ReparseDataLength
        WORD* mp = reinterpret_cast<WORD*>(&buf[8]);
        mp[0] = 0;                    // SubstituteNameOffset
        mp[1] = (WORD)subBytes;       // SubstituteNameLength
        mp[2] = (WORD)(subBytes + 2); // PrintNameOffset
        mp[3] = (WORD)printBytes;     // PrintNameLength
        memcpy(&buf[16], substitute.c_str(), subBytes);
        memcpy(&buf[16 + subBytes + 2], target.c_str(), printBytes);
        DWORD returned = 0;
        if (DeviceIoControl(dir.get(), FSCTL_SET_REPARSE_POINT, buf.data(), (DWORD)buf.size(), nullptr, 0,
                            &returned, nullptr) &&
            IsReparsePoint(link))
            return true;
    }
    dir.reset();
    RemoveDirectoryW(link.c_str());
    return false;
}

inline bool SymbolicLink(const std::wstring& link, const std::wstring& target)
{
    typedef BOOLEAN(WINAPI * CreateSymbolicLinkWFn)(LPCWSTR, LPCWSTR, DWORD);
    auto createLink = reinterpret_cast<CreateSymbolicLinkWFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW"));
    return createLink && createLink(link.c_str(), target.c_str(), 1 /* directory */) && IsReparsePoint(link);
}

// Wine's own exports, absent on Windows: both return heap memory of the process heap.
inline std::wstring UnixPath(const std::wstring& path)
{
    typedef char*(CDECL * UnixNameFn)(LPCWSTR);
    auto unixName = reinterpret_cast<UnixNameFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    if (!name)
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    std::wstring out(n > 0 ? (size_t)n : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, name, -1, &out[0], n);
    out.resize(n > 0 ? (size_t)n - 1 : 0);
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

inline std::wstring DosPath(const char* unixPath)
{
    typedef WCHAR*(CDECL * DosNameFn)(LPCSTR);
    auto dosName = reinterpret_cast<DosNameFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name"));
    WCHAR* name = dosName ? dosName(unixPath) : nullptr;
    if (!name)
        return std::wstring();
    std::wstring out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Starts a Unix tool (Wine starts Unix programs like its own, but hands back no process
// to wait for) and waits, at most 10 s, until done() says its work is there.
template <typename Done> bool RunUnixTool(const char* tool, const std::wstring& arguments, Done done)
{
    std::wstring program = DosPath(tool);
    if (program.empty())
        return false;
    std::wstring line = L"\"" + UnixPath(program) + L"\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    for (int i = 0; i < 200; ++i)
    {
        if (done())
            return true;
        Sleep(50);
    }
    return false;
}
} // namespace junction_detail

// The links of one test, taken away again when it ends: declare the guard after the
// folders the links live in. (Under Wine, RemoveDirectoryW on a Unix link would remove
// the empty folder it points to and keep the link.)
class JunctionGuard
{
  public:
    JunctionGuard() = default;
    JunctionGuard(const JunctionGuard&) = delete;
    JunctionGuard& operator=(const JunctionGuard&) = delete;
    ~JunctionGuard()
    {
        for (const Made& m : m_made)
        {
            if (m.unixLink)
                junction_detail::RunUnixTool(
                    "/bin/rm", L"-f \"" + m.unixPath + L"\"",
                    [&m] { return GetFileAttributesW(m.link.c_str()) == INVALID_FILE_ATTRIBUTES; });
            else if (m.file)
                DeleteFileW(m.link.c_str()); // a Windows file link: the link goes, not its target
            else
                RemoveDirectoryW(m.link.c_str());
        }
    }

    // link must not exist; target must be an existing absolute folder.
    bool Make(const std::wstring& link, const std::wstring& target)
    {
        using namespace junction_detail;
        if (MountPoint(link, target) || SymbolicLink(link, target))
        {
            m_made.push_back({link, std::wstring(), false, false});
            return true;
        }
        std::wstring unixLink = UnixPath(link), unixTarget = UnixPath(target);
        if (unixLink.empty() || unixTarget.empty())
            return false;
        bool made = RunUnixTool("/bin/ln", L"-s \"" + unixTarget + L"\" \"" + unixLink + L"\"",
                                [&link] { return IsReparsePoint(link); });
        m_made.push_back({link, unixLink, true, false}); // taken away even if it came late
        return made;
    }

    // A file symbolic link (hard: a second name of the same file) at link, which must not
    // exist, to the existing file target. Under Wine, which makes no file symbolic links,
    // a Unix one made with /bin/ln: it looks like a plain file there and opens its target.
    bool MakeFileLink(const std::wstring& link, const std::wstring& target, bool hard)
    {
        using namespace junction_detail;
        typedef BOOLEAN(WINAPI * CreateSymbolicLinkWFn)(LPCWSTR, LPCWSTR, DWORD);
        auto createLink = reinterpret_cast<CreateSymbolicLinkWFn>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW"));
        // Wine answers CreateSymbolicLinkW with success and makes nothing: look.
        bool made = hard ? CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != FALSE
                         : createLink && createLink(link.c_str(), target.c_str(), 0);
        if (made && GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES)
        {
            m_made.push_back({link, std::wstring(), false, true});
            return true;
        }
        std::wstring unixLink = UnixPath(link), unixTarget = UnixPath(target);
        if (unixLink.empty() || unixTarget.empty())
            return false;
        made = RunUnixTool(
            "/bin/ln", std::wstring(hard ? L"" : L"-s ") + L"\"" + unixTarget + L"\" \"" + unixLink + L"\"",
            [&link] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
        m_made.push_back({link, unixLink, true, false});
        return made;
    }

  private:
    struct Made
    {
        std::wstring link;
        std::wstring unixPath;
        bool unixLink;
        bool file;
    };
    std::vector<Made> m_made;
};
