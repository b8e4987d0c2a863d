#include "install/UnzipMove.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <direct.h>

#include <tinyxml2.h>

#include "common/Handles.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "install/InstallHelpers.h"
#include "install/Process.h"

namespace
{
bool IsSep(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

bool CopyField(wchar_t* dst, size_t chars, const wchar_t* value)
{
    size_t n = value ? wcslen(value) : 0;
    if (n >= chars)
        return false;
    wmemcpy(dst, value ? value : L"", n);
    dst[n] = 0;
    return true;
}

std::wstring WithoutTrailingSeps(std::wstring path)
{
    while (path.size() > 1 && IsSep(path.back()) && path[path.size() - 2] != L':')
        path.pop_back();
    return path;
}

DWORD Attributes(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str());
}

bool NameIs(const char* name, const char* expected)
{
    return name && _stricmp(name, expected) == 0;
}

// Attribute by name, compared without regard to case.
const char* FindAttribute(const tinyxml2::XMLElement* element, const char* name)
{
    for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a; a = a->Next())
        if (NameIs(a->Name(), name))
            return a->Value();
    return nullptr;
}

volatile LONG g_tempCounter = 0;

// Copies src to a new file in the destination's own folder, so that it takes that
// folder's permissions (not those of the user-writable download folder), then swaps it
// in with one rename. Any failure leaves the destination as it was and no temporary
// file behind.
bool ReplaceWithCopy(const std::wstring& src, const std::wstring& dest)
{
    UniqueFile in(CreateFileW(src.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(in.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return false;

    size_t sep = dest.find_last_of(L"\\/");
    std::wstring folder = sep == std::wstring::npos ? std::wstring() : dest.substr(0, sep + 1);
    std::wstring temp;
    UniqueFile out;
    for (int attempt = 0; attempt < 100 && !out; ++attempt)
    {
        wchar_t name[64];
        _snwprintf(name, 63, L"~nvpc%lu_%ld.tmp", GetCurrentProcessId(),
                   InterlockedIncrement(&g_tempCounter));
        name[63] = 0;
        temp = folder + name;
        out.reset(
            CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    if (!out)
        return false;

    bool ok = true;
    std::vector<char> buffer(256 * 1024);
    for (;;)
    {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer.data(), (DWORD)buffer.size(), &got, nullptr))
        {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        if (!WriteAll(out.get(), buffer.data(), got))
        {
            ok = false;
            break;
        }
    }
    // The placed file keeps the times the archive gave it.
    if (ok)
        SetFileTime(out.get(), &info.ftCreationTime, nullptr, &info.ftLastWriteTime);
    out.reset();
    if (ok)
        ok = MoveFileExW(temp.c_str(), dest.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (!ok)
    {
        DeleteFileW(temp.c_str());
        return false;
    }
    in.reset();
    DeleteFileW(src.c_str());
    return true;
}
} // namespace

CUnzipMove::CUnzipMove()
{
    m_packagePath[0] = m_masterName[0] = m_productName[0] = m_installFolder[0] = 0;
}

bool CUnzipMove::ParseArgs(const wchar_t* commandLine)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine ? commandLine : L"", &argc);
    if (!argv)
        return false;
    bool ok = true;
    for (int i = 0; i + 1 < argc; ++i)
    {
        const wchar_t* value = argv[i + 1];
        if (_wcsicmp(argv[i], L"/DNP") == 0)
        {
            ok = CopyField(m_packagePath, kPackageChars, value) && ok;
            wchar_t folder[MAX_PATH + 1] = {};
            CopyField(folder, MAX_PATH, m_packagePath);
            PathRemoveExtensionW(folder);
            m_unpackFolder = folder;
            m_unpackFolder += L'\\';
        }
        else if (_wcsicmp(argv[i], L"/MML") == 0)
            ok = CopyField(m_masterName, kMasterChars, value) && ok;
        else if (_wcsicmp(argv[i], L"/PML") == 0)
            ok = CopyField(m_productName, kProductChars, value) && ok;
        else if (_wcsicmp(argv[i], L"/SEP") == 0)
            ok = CopyField(m_installFolder, kInstallChars, value) && ok;
        else
            continue;
        ++i; // the value is not a switch of its own
    }
    LocalFree(argv);
    if (!ok)
        return false;
    // Every switch is needed: an empty master name would match every entry, and the
    // manifest names are file names inside the unpack folder, nothing more.
    return *m_packagePath && *m_installFolder && IsPlainFileName(m_masterName) &&
           IsPlainFileName(m_productName);
}

void CUnzipMove::AddEntry(const std::wstring& name, const std::wstring& ipath, int type)
{
    std::wstring file = m_unpackFolder + name;
    WriteLog(LOG_TRACE, L"CUnzipMove::parseXMLFile : GetFileName()=%s strFile=%s", name.c_str(),
             file.c_str());
    if (name.size() >= kNameChars || ipath.size() >= kIpathChars ||
        !IsSafeRelativePath(name.c_str(), false) || !IsSafeRelativePath(ipath.c_str(), true))
    {
        WriteLog(LOG_INFO, L"CUnzipMove::parseXMLFile : refused name=%s ipath=%s", name.c_str(),
                 ipath.c_str());
        return;
    }
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW(file.c_str(), &fd));
    if (!find || (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    for (const UnzipMoveEntry& e : m_entries)
        if (_wcsicmp(e.name, name.c_str()) == 0)
            return;
    UnzipMoveEntry entry;
    CopyField(entry.name, kNameChars, name.c_str());
    CopyField(entry.ipath, kIpathChars, ipath.c_str());
    entry.type = type;
    m_entries.push_back(entry);
}

void CUnzipMove::parseXMLFile(const wchar_t* name)
{
    if (m_unpackFolder.empty() || !name)
        return;
    std::wstring path = m_unpackFolder + name + L".xml";
    // Texts lose their leading and trailing blanks and line breaks, and inner runs of them
    // become one blank, so a manifest laid out over several lines names the same files.
    tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
    if (doc.LoadFile(ToNarrow(path.c_str())) != tinyxml2::XML_SUCCESS)
        return;
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    if (!root || !NameIs(root->Name(), "files_info"))
        return;
    for (const tinyxml2::XMLElement* file = root->FirstChildElement(); file;
         file = file->NextSiblingElement())
    {
        if (!NameIs(file->Name(), "file"))
            break;
        const char* typeText = FindAttribute(file, "type");
        int type = typeText ? (int)strtol(typeText, nullptr, 10) : 0;
        std::wstring entryName, ipath;
        bool haveName = false, haveIpath = false;
        for (const tinyxml2::XMLElement* child = file->FirstChildElement(); child;
             child = child->NextSiblingElement())
        {
            if (NameIs(child->Name(), "name"))
            {
                entryName = ToWide(child->GetText());
                haveName = true;
            }
            else if (NameIs(child->Name(), "ipath"))
            {
                ipath = ToWide(child->GetText());
                haveIpath = true;
            }
            if (haveName && haveIpath)
                AddEntry(entryName, ipath, type);
        }
    }
}

bool CUnzipMove::MakeFolder(const wchar_t* path)
{
    if (!path || !*path)
        return false;
    std::wstring p = WithoutTrailingSeps(path);
    if (p.size() >= MAX_PATH)
        return false;
    wchar_t buf[MAX_PATH];
    CopyField(buf, MAX_PATH, p.c_str());
    for (;;)
    {
        DWORD attrs = GetFileAttributesW(buf);
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
            break;
        if (_wmkdir(buf) != 0)
            break;
        if (!PathRemoveFileSpecW(buf))
            break;
    }
    DWORD attrs = GetFileAttributesW(p.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

int CUnzipMove::MovefileCust(const wchar_t* ipath, const wchar_t* name)
{
    if (!ipath)
        ipath = L"";
    if (!name || wcslen(name) >= kNameChars || wcslen(ipath) >= kIpathChars ||
        !IsSafeRelativePath(name, false) || !IsSafeRelativePath(ipath, true) || m_unpackFolder.empty() ||
        !*m_installFolder)
    {
        WriteLog(LOG_INFO, L"CUnzipMove::MovefileCust : refused ipath=%s name=%s", ipath, name ? name : L"");
        return 0;
    }
    std::wstring src = m_unpackFolder + name;
    std::wstring install = WithoutTrailingSeps(m_installFolder);
    std::wstring destFolder = install + L"\\";
    if (*ipath)
        destFolder += WithoutTrailingSeps(ipath) + L"\\";
    std::wstring dest = destFolder + name;

    // Checked before the folder is made too: its last level would be created through a link.
    std::wstring below = *ipath ? WithoutTrailingSeps(ipath) + L"\\" + name : std::wstring(name);
    bool linked =
        HasReparseComponent(m_unpackFolder, true, name) || HasReparseComponent(install, false, below);
    if (!linked)
    {
        MakeFolder(destFolder.c_str());
        linked = HasReparseComponent(install, false, below);
    }
    DWORD oldAttrs = Attributes(dest);
    bool readOnly = !linked && oldAttrs != INVALID_FILE_ATTRIBUTES && (oldAttrs & FILE_ATTRIBUTE_READONLY);
    if (readOnly)
        SetFileAttributesW(dest.c_str(), oldAttrs & ~FILE_ATTRIBUTE_READONLY);
    WriteLog(LOG_TRACE, L"CUnzipMove::MovefileCust : szSrcFile=%s szDestFile=%s", src.c_str(), dest.c_str());
    if (linked)
    {
        WriteLog(LOG_INFO, L"CUnzipMove::MovefileCust : refused link szSrcFile=%s szDestFile=%s", src.c_str(),
                 dest.c_str());
        return 0;
    }
    if (ReplaceWithCopy(src, dest))
        return 1;
    if (readOnly)
        SetFileAttributesW(dest.c_str(), oldAttrs); // the old file stays, as it was
    return 0;
}

int CUnzipMove::RunEntry(const wchar_t* name)
{
    if (!name || !IsSafeRelativePath(name, false) || m_unpackFolder.empty() ||
        HasReparseComponent(m_unpackFolder, true, name))
        return 0;
    std::wstring program = m_unpackFolder + name;
    if (!ExecuteSync(program.c_str(), nullptr))
        return 0;
    // It has done its work; removing it lets the unpack folder go at the end.
    DeleteFileW(program.c_str());
    return 1;
}

int CUnzipMove::Apply(const wchar_t* commandLine)
{
    if (!ParseArgs(commandLine))
    {
        WriteLog(LOG_INFO, L"CUnzipMove::Apply : refused commandLine=%s", commandLine ? commandLine : L"");
        return 0;
    }
    parseXMLFile(m_masterName);
    parseXMLFile(m_productName);

    std::wstring productFile = std::wstring(m_productName) + L".xml";
    size_t masterChars = wcslen(m_masterName);
    int result = 1;
    int failed = 0;
    const UnzipMoveEntry* master = nullptr;
    const UnzipMoveEntry* product = nullptr;
    for (const UnzipMoveEntry& e : m_entries)
    {
        int r;
        if (e.type == 1)
            r = RunEntry(e.name);
        else if (_wcsnicmp(e.name, m_masterName, masterChars) == 0)
        {
            master = &e;
            continue;
        }
        else if (productFile == e.name)
        {
            product = &e;
            continue;
        }
        else
            r = MovefileCust(e.ipath, e.name);
        result = r;
        if (!r)
            ++failed;
    }
    // The installed manifests describe what is installed: they change only when every
    // other entry made it, so the version check sees an incomplete update as one.
    if (failed)
    {
        WriteLog(LOG_INFO, L"CUnzipMove::Apply : %d entries failed, manifests kept", failed);
        return 0;
    }
    if (master && !MovefileCust(master->ipath, master->name))
        return 0;
    if (product && !MovefileCust(product->ipath, product->name))
        return 0;
    DeleteFileW(m_packagePath);
    RemoveDirectoryW(WithoutTrailingSeps(m_unpackFolder).c_str());
    return result;
}

int RunFilePlacement(const wchar_t* arguments)
{
    try
    {
        CUnzipMove move;
        move.Apply(arguments);
    }
    catch (...)
    {
        // Nothing escapes a mode; the result is the same either way.
    }
    return 0;
}
