#include "install/Unzipper.h"

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/Handles.h"
#include "common/TextConv.h"
#include "install/FileIo.h"
#include "install/FileReplace.h"
#include "install/PathSafety.h"

// What one unpack keeps from entry to entry: the folders it holds open and the final
// paths it looked up.
struct UnpackRun
{
    explicit UnpackRun(const std::wstring& base) : pinned(base) {}
    PinnedFolders pinned;
    FolderFinalPaths known;
};

namespace
{
// Paths are in the ANSI code page, where a double-byte character may end in 0x5C: walk
// characters, not bytes, when looking for separators.
const char* LastBackslash(const char* s)
{
    const char* last = nullptr;
    for (const char* p = s; *p; p = CharNextA(p))
        if (*p == '\\')
            last = p;
    return last;
}

bool EndsWithBackslash(const char* s)
{
    const char* last = LastBackslash(s);
    return last && last[1] == 0;
}

// A DOS date (high word) and time (low word), read as local time.
bool DosTimeToUtc(unsigned long dosDateTime, FILETIME& utc)
{
    FILETIME local;
    return DosDateTimeToFileTime(HIWORD(dosDateTime), LOWORD(dosDateTime), &local) &&
           LocalFileTimeToFileTime(&local, &utc);
}
} // namespace

CUnzipper::CUnzipper() : m_zip(nullptr), m_entryCount(0), m_callback(nullptr), m_user(nullptr), m_stop(false)
{
    m_destFolder[0] = 0;
}

CUnzipper::~CUnzipper()
{
    Close();
}

void CUnzipper::SetCallback(UnzipCallback callback, void* user)
{
    m_callback = callback;
    m_user = user;
}

void CUnzipper::Notify(int kind, int a, int b, const char* name)
{
    if (m_callback)
        m_callback(kind, a, b, name, m_user);
}

bool CUnzipper::Open(const char* path, bool ownFolder)
{
    Close();
    if (!path || !*path)
        return false;
    char full[MAX_PATH];
    char* filePart = nullptr;
    DWORD n = GetFullPathNameA(path, MAX_PATH, full, &filePart);
    if (n == 0 || n >= MAX_PATH)
        return false;
    m_zip = unzOpen(full);
    if (!m_zip)
        return false;

    // Drive and directory of the archive, then (with ownFolder) its name without extension.
    const char* sep = LastBackslash(full);
    std::string dest(full, sep ? (size_t)(sep - full + 1) : 0);
    if (ownFolder)
    {
        std::string name = sep ? sep + 1 : full;
        const char* dot = nullptr;
        for (const char* p = name.c_str(); *p; p = CharNextA(p))
            if (*p == '.')
                dot = p;
        if (dot)
            name.resize(dot - name.c_str());
        dest += name;
    }
    if (dest.empty() || dest.size() >= MAX_PATH)
    {
        Close();
        return false;
    }
    memcpy(m_destFolder, dest.c_str(), dest.size() + 1);
    m_entryCount = 0;
    return true;
}

void CUnzipper::Close()
{
    if (m_zip)
    {
        unzClose(m_zip);
        m_zip = nullptr;
    }
    m_destFolder[0] = 0;
}

int CUnzipper::GetEntryCount()
{
    if (!m_zip)
        return 0;
    unz_global_info info;
    if (unzGetGlobalInfo(m_zip, &info) != UNZ_OK)
        return 0;
    return (int)info.number_entry;
}

bool CUnzipper::GotoFirst()
{
    return m_zip && unzGoToFirstFile(m_zip) == UNZ_OK;
}

bool CUnzipper::GotoNext()
{
    return m_zip && unzGoToNextFile(m_zip) == UNZ_OK;
}

bool CUnzipper::GetFileInfo(UnzipEntry& entry)
{
    memset(&entry, 0, sizeof entry);
    if (!m_zip)
        return false;
    unz_file_info info;
    char name[MAX_PATH + 1] = {};
    if (unzGetCurrentFileInfo(m_zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    // A name that does not fit, or that hides a zero byte, is refused rather than cut.
    if (info.size_filename >= MAX_PATH || strlen(name) != info.size_filename)
        return false;
    for (char* p = name; *p; p = CharNextA(p))
        if (*p == '/')
            *p = '\\';
    memcpy(entry.name, name, info.size_filename + 1);
    entry.version = info.version;
    entry.versionNeeded = info.version_needed;
    entry.flags = info.flag;
    entry.compressionMethod = info.compression_method;
    entry.dosDate = info.dosDate;
    entry.crc = info.crc;
    entry.compressedSize = info.compressed_size;
    entry.uncompressedSize = info.uncompressed_size;
    entry.internalAttributes = info.internal_fa;
    entry.externalAttributes = info.external_fa;
    // A name ending in a slash cannot be a file either, whatever its attributes say.
    entry.isFolder = (info.external_fa & 0x10) != 0 || EndsWithBackslash(entry.name);
    return true;
}

bool CUnzipper::IsSafeEntryName(const char* name)
{
    std::wstring rel;
    return NormalizeRelativePath(FileApiToWide(name), false, rel);
}

const char* CUnzipper::TargetFolder(const char* folder)
{
    if (!m_zip)
        return nullptr;
    if (!folder)
        folder = m_destFolder;
    return CreateFolder(folder) ? folder : nullptr;
}

bool CUnzipper::UnzipAll(const char* folder, bool flatten)
{
    folder = TargetFolder(folder);
    if (!folder)
        return false;
    unz_global_info info;
    if (unzGetGlobalInfo(m_zip, &info) != UNZ_OK || info.number_entry == 0 || !GotoFirst())
        return false;
    m_entryCount = (int)info.number_entry;
    // Temporaries that a killed unpack left beside its files.
    RemoveStaleAsideFiles(FileApiToWide(folder));
    UnpackRun run(FileApiToWide(folder));
    for (int index = 1;; ++index)
    {
        UnzipEntry entry;
        if (!GetFileInfo(entry) || !UnzipEntryTo(folder, flatten, entry, run))
            return false;
        if (m_stop)
            return true;
        Notify(UNZIP_ENTRY_DONE, m_entryCount, index, entry.name);
        int r = unzGoToNextFile(m_zip);
        if (r == UNZ_END_OF_LIST_OF_FILE)
            break;
        if (r != UNZ_OK)
            return false; // a damaged directory is no end of the archive
    }
    if (!m_stop)
        Notify(UNZIP_ALL_DONE, 0, 0, nullptr);
    return true;
}

bool CUnzipper::UnzipCurrent(const char* folder, bool flatten)
{
    folder = TargetFolder(folder);
    if (!folder)
        return false;
    UnzipEntry entry;
    if (!GetFileInfo(entry))
        return false;
    UnpackRun run(FileApiToWide(folder));
    return UnzipEntryTo(folder, flatten, entry, run);
}

bool CUnzipper::UnzipEntryTo(const char* folder, bool flatten, const UnzipEntry& entry, UnpackRun& run)
{
    // "./a.dll" is a.dll; a folder entry "./" is the folder itself.
    std::wstring rel;
    if (!NormalizeRelativePath(FileApiToWide(entry.name), entry.isFolder, rel))
        return false;
    if (flatten && !entry.isFolder)
        rel = rel.substr(rel.find_last_of(L'\\') + 1);

    std::wstring base = FileApiToWide(folder);
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/'))
        base.pop_back();
    const std::wstring out = rel.empty() ? base : base + L'\\' + rel;
    if (out.size() >= MAX_PATH)
        return false;
    // Every folder level is opened, or made, relative to the one above it and never
    // through a link (a folder entry is just that).
    if (entry.isFolder)
        return run.pinned.Get(rel, true) != nullptr;
    const size_t cut = rel.find_last_of(L'\\');
    const std::wstring leaf = cut == std::wstring::npos ? rel : rel.substr(cut + 1);
    HANDLE parent = run.pinned.Get(cut == std::wstring::npos ? std::wstring() : rel.substr(0, cut), true);
    if (!parent)
        return false;

    // Where nothing has the entry's name yet, the bytes go straight into a new file of
    // ours, made in the open folder: never through a link, and there whatever happens to
    // the folders' names. Where something has the name (an earlier unpack, a planted
    // link), they go to a temporary of ours, which then replaces it with one rename: a
    // link is replaced, never written through. DELETE: a failed entry is removed by this
    // handle.
    UniqueFile file;
    if (CreateFileIn(parent, leaf, GENERIC_WRITE | DELETE, file))
    {
        if (unzOpenCurrentFile(m_zip) != UNZ_OK || !CopyEntry(file.get(), entry))
        {
            // Never leave a damaged or partial file for placement.
            DeleteOpenedFile(file, out);
            return false;
        }
        FILETIME utc;
        if (DosTimeToUtc(entry.dosDate, utc))
            SetFileTime(file.get(), &utc, nullptr, &utc);
        return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
        return false;
    if (HasReparseComponent(base, false, rel))
        return false;
    std::wstring tempName;
    if (!CreateOwnTempFileIn(run.pinned.Get(std::wstring(), false), base, tempName, file))
        return false;
    if (unzOpenCurrentFile(m_zip) != UNZ_OK || !CopyEntry(file.get(), entry))
    {
        DeleteOpenedFile(file, base + L'\\' + tempName);
        return false;
    }
    file.reset();
    if (!MoveFileExW((base + L'\\' + tempName).c_str(), out.c_str(), MOVEFILE_REPLACE_EXISTING))
    {
        DeleteCheckedFile(base, tempName);
        return false;
    }
    // The times are set through a handle that shows the file we just put there.
    FILETIME utc;
    UniqueFile placed(CreateFileW(out.c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!placed || !IsOpenedFileInside(placed.get(), base, rel, true, &run.known))
        return false;
    if (DosTimeToUtc(entry.dosDate, utc))
        SetFileTime(placed.get(), &utc, nullptr, &utc);
    return true;
}

bool CUnzipper::CopyEntry(HANDLE file, const UnzipEntry& entry)
{
    // Blocks are read and reported one by one but written in larger runs: a write per
    // block costs a system call per 2 KB.
    if (m_writeBuffer.size() != kWriteBytes)
        m_writeBuffer.assign(kWriteBytes, 0);
    char* const pending = m_writeBuffer.data();
    DWORD held = 0;
    bool ended = false, failed = false;
    unsigned long written = 0;
    for (;;)
    {
        int got = unzReadCurrentFile(m_zip, pending + held, kBlockBytes);
        if (got < 0)
        {
            failed = true;
            break;
        }
        if (got == 0)
        {
            ended = true;
            break;
        }
        held += (DWORD)got;
        if (held > kWriteBytes - kBlockBytes)
        {
            if (!WriteAll(file, pending, held))
            {
                failed = true;
                break;
            }
            held = 0;
        }
        written += (unsigned long)got;
        Notify(UNZIP_ENTRY_BYTES, (int)entry.uncompressedSize, (int)written, nullptr);
        if (m_stop)
            break;
    }
    if (ended && held > 0 && !WriteAll(file, pending, held))
        failed = true;
    // minizip checks the CRC against the central directory's once the whole declared size
    // was read, and never hands out more; a stream that ends early is caught by the count.
    int closed = unzCloseCurrentFile(m_zip);
    return ended && !failed && closed == UNZ_OK && written == entry.uncompressedSize;
}

bool CUnzipper::CreateFolder(const char* path)
{
    if (!path || !*path)
        return false;
    std::string p = path;
    while (!p.empty() && EndsWithBackslash(p.c_str()))
        p.pop_back();
    if (p.empty())
        return true; // the root of the current drive
    DWORD attrs = GetFileAttributesA(p.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES)
        return (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const char* sep = LastBackslash(p.c_str());
    if (!sep)
        return true;
    if (!CreateFolder(std::string(p.c_str(), sep - p.c_str()).c_str()))
        return false;
    if (CreateDirectoryA(p.c_str(), nullptr))
        return true;
    attrs = GetFileAttributesA(p.c_str()); // made meanwhile by someone else
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool CUnzipper::CreateParentFolder(const char* path)
{
    if (!path)
        return false;
    const char* sep = LastBackslash(path);
    if (!sep)
        return false;
    if (sep == path)
        return true;
    return CreateFolder(std::string(path, sep - path).c_str());
}

bool CUnzipper::SetFileTimes(const char* path, unsigned long dosDateTime)
{
    FILETIME utc;
    if (!DosTimeToUtc(dosDateTime, utc))
        return false;
    UniqueFile file(CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return false;
    return SetFileTime(file.get(), &utc, nullptr, &utc) != FALSE;
}
