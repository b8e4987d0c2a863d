// The product's folders and the running program's own version.
#include <shlobj.h>

#include <cwchar>
#include <direct.h>

#include "common/Module.h"
#include "params/FileVersion.h"
#include "params/Param.h"

namespace
{
// Longest path the folder operations hand out (MAX_PATH less the terminating zero).
const size_t kMaxPathChars = MAX_PATH - 1;

std::wstring ShellFolder(int csidl)
{
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return std::wstring();
    buffer[MAX_PATH - 1] = 0;
    return buffer;
}

// Appends a backslash and name when name is not empty.
void AppendPart(std::wstring& path, const wchar_t* name)
{
    if (name && *name)
    {
        path += L'\\';
        path += name;
    }
}

std::wstring Limited(const std::wstring& path)
{
    return path.size() > kMaxPathChars ? std::wstring() : path;
}

// Appends a backslash and name and creates that folder (an existing one is fine, and a
// failure is left to the users of the folder). False, with nothing created, when the path
// would be too long.
bool AppendAndCreate(std::wstring& folder, const wchar_t* name)
{
    AppendPart(folder, name);
    if (folder.size() > kMaxPathChars)
        return false;
    _wmkdir(folder.c_str());
    return true;
}
} // namespace

std::wstring CParam::GetInstallFolder() const
{
    std::wstring folder;
    if (UseModuleFolder == 1)
    {
        // The running program's own folder: the product sits beside it.
        folder = ModuleFolder();
        if (folder.empty())
            return std::wstring();
        AppendPart(folder, Group);
        return Limited(folder);
    }
    folder = ShellFolder(CSIDL_PROGRAM_FILES);
    if (folder.empty())
        return folder;
    AppendPart(folder, Group);
    AppendPart(folder, ProductID);
    return Limited(folder);
}

std::wstring CParam::GetFilePath() const
{
    std::wstring path = GetInstallFolder();
    if (path.empty())
        return path;
    AppendPart(path, FileName);
    return Limited(path);
}

std::wstring CParam::GetUpgradeFolder() const
{
    std::wstring folder = ShellFolder(CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE);
    if (folder.empty())
        return folder;
    if (ProductID[0] && !AppendAndCreate(folder, ProductID))
        return std::wstring();
    if (!AppendAndCreate(folder, L"upgrade"))
        return std::wstring();
    return folder;
}

std::wstring CParam::GetConfigFolder() const
{
    // Without a product folder "\config" would name a folder at the root of the drive.
    std::wstring folder = GetInstallFolder();
    if (folder.empty() || !AppendAndCreate(folder, L"config"))
        return std::wstring();
    return folder;
}

int CParam::IsVersionDifferent() const
{
    std::wstring own = GetModuleFileVersion(nullptr);
    return _wcsicmp(Version, own.c_str()) != 0 ? 1 : 0;
}
