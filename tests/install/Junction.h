#pragma once
// Creates a directory junction (a mount-point reparse point) for the tests that check we
// never write or read through one. Falls back to a directory symbolic link.
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

// link must not exist; target must be an existing absolute folder.
inline bool CreateJunction(const std::wstring& link, const std::wstring& target)
{
    if (CreateDirectoryW(link.c_str(), nullptr))
    {
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
        RemoveDirectoryW(link.c_str());
    }
    typedef BOOLEAN(WINAPI * CreateSymbolicLinkWFn)(LPCWSTR, LPCWSTR, DWORD);
    auto createLink = reinterpret_cast<CreateSymbolicLinkWFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW"));
    return createLink && createLink(link.c_str(), target.c_str(), 1 /* directory */) && IsReparsePoint(link);
}
