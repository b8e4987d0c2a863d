#include "install/UnzipMove.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <direct.h>

#include <tinyxml2.h>

#include "common/BoundedCopy.h"
#include "common/Handles.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "install/FileIo.h"
#include "install/FileReplace.h"
#include "install/PathSafety.h"
#include "install/Process.h"

namespace
{
bool IsSep(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

std::wstring WithoutTrailingSeps(std::wstring path)
{
    while (path.size() > 1 && IsSep(path.back()) && path[path.size() - 2] != L':')
        path.pop_back();
    return path;
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

const size_t kCopyBytes = 256 * 1024;

bool IsFolder(const std::wstring& path)
{
    DWORD attrs = GetFileAttributesW(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

// A file (or a link, dangling or not) of that name, not a folder. The name holds no
// wildcard (the names were checked), so the attributes answer what a directory search
// would, without the search: under Wine that costs a millisecond per name.
bool FileExists(const std::wstring& path)
{
    DWORD attrs = GetFileAttributesW(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

// Copies the source (an open handle, already checked) to a new file of ours in the
// destination's own folder, so that it takes that folder's permissions (not those of the
// user-writable download folder), then swaps it in with one rename. Any failure leaves
// the destination as it was and no temporary file behind.
// folderHandle is that folder, open (see PinnedFolders).
bool ReplaceWithCopy(HANDLE in, const std::wstring& folder, HANDLE folderHandle, const std::wstring& name,
                     std::vector<char>& buffer)
{
    FILETIME created, written;
    if (!GetFileTime(in, &created, nullptr, &written))
        return false;
    std::wstring tempName;
    UniqueFile out;
    if (!CreateOwnTempFileIn(folderHandle, folder, tempName, out))
        return false;
    bool ok = true;
    if (buffer.size() != kCopyBytes)
        buffer.assign(kCopyBytes, 0);
    for (;;)
    {
        DWORD got = 0;
        if (!ReadFile(in, buffer.data(), (DWORD)buffer.size(), &got, nullptr))
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
    if (!ok)
    {
        DeleteOpenedFile(out, folder + L"\\" + tempName);
        return false;
    }
    // The placed file keeps the times the archive gave it.
    SetFileTime(out.get(), &created, nullptr, &written);
    out.reset();
    if (SwapIntoPlace(folder, tempName, name))
        return true;
    DeleteCheckedFile(folder, tempName);
    return false;
}
} // namespace

CUnzipMove::CUnzipMove() : m_refusedEntries(0)
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
            ok = CopyBounded(m_packagePath, kPackageChars, value) && ok;
            wchar_t folder[MAX_PATH + 1] = {};
            CopyBounded(folder, MAX_PATH, m_packagePath);
            PathRemoveExtensionW(folder);
            m_unpackFolder = folder;
            m_unpackFolder += L'\\';
        }
        else if (_wcsicmp(argv[i], L"/MML") == 0)
            ok = CopyBounded(m_masterName, kMasterChars, value) && ok;
        else if (_wcsicmp(argv[i], L"/PML") == 0)
            ok = CopyBounded(m_productName, kProductChars, value) && ok;
        else if (_wcsicmp(argv[i], L"/SEP") == 0)
            ok = CopyBounded(m_installFolder, kInstallChars, value) && ok;
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
    // One form per file: "bin/a.dll", "./bin/a.dll" and "bin\a.dll" are one entry.
    std::wstring entryName, entryIpath;
    bool nameOk = NormalizeRelativePath(name, false, entryName);
    bool ipathOk = NormalizeRelativePath(ipath, true, entryIpath);
    if (!nameOk || !ipathOk || name.size() >= kNameChars || ipath.size() >= kIpathChars)
    {
        WriteLog(LOG_INFO, L"CUnzipMove::parseXMLFile : refused name=%s ipath=%s", name.c_str(),
                 ipath.c_str());
        // Skipping an entry whose file the update carries would let the new manifests
        // describe a file that was never placed. A name that leaves the unpack folder is
        // not looked for at all, and counts as such an entry.
        if (!nameOk || FileExists(m_unpackFolder + entryName))
            ++m_refusedEntries;
        return;
    }
    if (!FileExists(m_unpackFolder + entryName))
        return;
    // By key, not by a walk of the list: a manifest of many thousand files stays linear.
    if (!m_entryKeys.insert(FileNameKey(entryName)).second)
        return;
    UnzipMoveEntry entry;
    CopyBounded(entry.name, kNameChars, entryName.c_str());
    CopyBounded(entry.ipath, kIpathChars, entryIpath.c_str());
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
    if (doc.LoadFile(PathToFileApi(path.c_str()).c_str()) != tinyxml2::XML_SUCCESS)
        return;
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    if (!root || !NameIs(root->Name(), "files_info"))
        return;
    // Room for every entry at once: a list grown step by step holds up to twice its size
    // while it moves, which for a manifest of many thousand files is megabytes.
    size_t files = 0;
    for (const tinyxml2::XMLElement* file = root->FirstChildElement(); file && NameIs(file->Name(), "file");
         file = file->NextSiblingElement())
        ++files;
    m_entries.reserve(m_entries.size() + files);
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
                entryName = WideText(child->GetText());
                haveName = true;
            }
            else if (NameIs(child->Name(), "ipath"))
            {
                ipath = WideText(child->GetText());
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
    if (IsFolder(p))
        return true;
    wchar_t buf[MAX_PATH];
    CopyBounded(buf, MAX_PATH, p.c_str());
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
    std::wstring rel, folderRel;
    if (!name || wcslen(name) >= kNameChars || wcslen(ipath) >= kIpathChars ||
        !NormalizeRelativePath(name, false, rel) || !NormalizeRelativePath(ipath, true, folderRel) ||
        m_unpackFolder.empty() || !*m_installFolder)
    {
        WriteLog(LOG_INFO, L"CUnzipMove::MovefileCust : refused ipath=%s name=%s", ipath, name ? name : L"");
        return 0;
    }
    std::wstring src = m_unpackFolder + rel;
    std::wstring unpack = WithoutTrailingSeps(m_unpackFolder);
    std::wstring install = WithoutTrailingSeps(m_installFolder);
    std::wstring destFolder = install + L"\\";
    if (!folderRel.empty())
        destFolder += folderRel + L"\\";
    std::wstring dest = destFolder + rel;
    // The folder the file itself lands in, and its name there.
    size_t sep = dest.find_last_of(L'\\');
    std::wstring fileFolder = dest.substr(0, sep), fileName = dest.substr(sep + 1);

    // Checked before the folder is made too: its last level would be created through a link.
    // The folders only: the file's own name is looked at below, where it is known to be there.
    std::wstring below = folderRel.empty() ? rel : folderRel + L"\\" + rel;
    size_t cut = below.find_last_of(L'\\');
    std::wstring belowFolder = cut == std::wstring::npos ? std::wstring() : below.substr(0, cut);
    DWORD folderAttrs = INVALID_FILE_ATTRIBUTES;
    bool linked = UnpackPathHasLink(rel) || HasReparseComponent(install, false, belowFolder, &folderAttrs);
    // Where the name has no folder of its own, the walk has just seen the destination folder.
    bool folderSeen = rel.find(L'\\') == std::wstring::npos && folderAttrs != INVALID_FILE_ATTRIBUTES &&
                      (folderAttrs & FILE_ATTRIBUTE_DIRECTORY);
    if (!linked && !folderSeen && !IsFolder(destFolder))
    {
        MakeFolder(destFolder.c_str());
        linked = HasReparseComponent(install, false, belowFolder);
    }
    // What the source name really opened: a planted file link or a second name of a file
    // elsewhere shows only here (Wine shows no reparse point on a file symlink). The copy
    // reads this handle, and only this handle deletes the source.
    UniqueFile in;
    if (!linked)
    {
        in.reset(CreateFileW(src.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!in) // a source we may read but not delete is still placed
            in.reset(CreateFileW(src.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        linked = in && !IsOpenedFileInside(in.get(), unpack, rel, true, &m_folderPaths);
    }
    DWORD oldAttrs = INVALID_FILE_ATTRIBUTES; // the installed file's
    std::unordered_set<std::wstring>* names = linked ? nullptr : FolderNames(fileFolder);
    if (!linked && (!names || names->count(FileNameKey(fileName))))
    {
        oldAttrs = GetFileAttributesW(dest.c_str());
        linked = oldAttrs != INVALID_FILE_ATTRIBUTES && (oldAttrs & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    bool readOnly =
        !linked && in && oldAttrs != INVALID_FILE_ATTRIBUTES && (oldAttrs & FILE_ATTRIBUTE_READONLY);
    if (readOnly)
        SetFileAttributesW(dest.c_str(), oldAttrs & ~FILE_ATTRIBUTE_READONLY);
    WriteLog(LOG_TRACE, L"CUnzipMove::MovefileCust : szSrcFile=%s szDestFile=%s", src.c_str(), dest.c_str());
    if (linked)
    {
        WriteLog(LOG_INFO, L"CUnzipMove::MovefileCust : refused link szSrcFile=%s szDestFile=%s", src.c_str(),
                 dest.c_str());
        return 0;
    }
    // The copy is made in the destination folder opened level by level, never through a link.
    HANDLE folderHandle = in ? InstallLevel(install, belowFolder) : nullptr;
    if (folderHandle && ReplaceWithCopy(in.get(), fileFolder, folderHandle, fileName, m_copyBuffer))
    {
        if (names)
            names->insert(FileNameKey(fileName));
        DeleteOpenedFile(in, src);
        return 1;
    }
    if (readOnly)
        SetFileAttributesW(dest.c_str(), oldAttrs); // the old file stays, as it was
    return 0;
}

std::unordered_set<std::wstring>* CUnzipMove::FolderNames(const std::wstring& folder)
{
    std::wstring key = FileNameKey(folder);
    auto found = m_folderNames.find(key);
    if (found != m_folderNames.end())
        return found->second.get();
    std::unique_ptr<std::unordered_set<std::wstring>> names(new std::unordered_set<std::wstring>);
    if (!RemoveStaleAsideFiles(folder, names.get()))
        names.reset(); // unread: every name is looked up
    return (m_folderNames[key] = std::move(names)).get();
}

bool CUnzipMove::UnpackPathHasLink(const std::wstring& rel)
{
    // Without final paths (Windows XP) only the names show a junction.
    if (!CanReadFinalPaths())
        return HasReparseComponent(m_unpackFolder, true, rel);
    // The source's final path, compared with the unpack folder's as first looked up, shows
    // any link below it, and the folder itself swapped for one later; the folder is looked
    // at by name once, before that first lookup.
    if (m_unpackBaseChecked != m_unpackFolder)
    {
        m_unpackBaseLinked = HasReparseComponent(m_unpackFolder, true, std::wstring());
        m_unpackBaseChecked = m_unpackFolder;
    }
    return m_unpackBaseLinked;
}

HANDLE CUnzipMove::InstallLevel(const std::wstring& install, const std::wstring& rel)
{
    if (!m_installLevels || !SameFileName(m_installLevelsBase, install))
    {
        m_installLevels.reset(new PinnedFolders(install));
        m_installLevelsBase = install;
    }
    return m_installLevels->Get(rel, false);
}

int CUnzipMove::RunEntry(const wchar_t* name)
{
    std::wstring rel;
    if (!name || !NormalizeRelativePath(name, false, rel) || m_unpackFolder.empty() ||
        HasReparseComponent(m_unpackFolder, true, rel))
        return 0;
    std::wstring unpack = WithoutTrailingSeps(m_unpackFolder);
    std::wstring program = m_unpackFolder + rel;
    {
        // The program that runs elevated is the file in the unpack folder, not what a
        // link planted there leads to.
        UniqueFile file(CreateFileW(program.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file || !IsOpenedFileInside(file.get(), unpack, rel, true))
        {
            WriteLog(LOG_INFO, L"CUnzipMove::RunEntry : refused link %s", program.c_str());
            return 0;
        }
    }
    if (!proc::ExecuteSync(program.c_str(), nullptr))
        return 0;
    // It has done its work; removing it lets the unpack folder go at the end.
    DeleteCheckedFile(unpack, rel);
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
    int failed = m_refusedEntries;
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
