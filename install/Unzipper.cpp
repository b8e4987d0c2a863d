#include "install/Unzipper.h"

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/Handles.h"
#include "common/TextConv.h"
#include "install/InstallHelpers.h"

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
    return IsSafeRelativePath(FileApiToWide(name).c_str(), false);
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
    for (int index = 1;; ++index)
    {
        if (!UnzipCurrent(folder, flatten))
            return false;
        UnzipEntry entry;
        if (!GetFileInfo(entry))
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
    if (!IsSafeEntryName(entry.name))
        return false;

    const char* name = entry.name;
    if (flatten && !entry.isFolder)
    {
        const char* sep = LastBackslash(name);
        if (sep)
            name = sep + 1;
    }
    std::string out = folder;
    if (!out.empty() && !EndsWithBackslash(out.c_str()))
        out += '\\';
    out += name;
    if (out.size() >= MAX_PATH)
        return false;
    // Looked at before any folder is made (a missing level would be created through a
    // link) and again after (a level made meanwhile could be one).
    const std::wstring base = FileApiToWide(folder), rel = FileApiToWide(name);
    if (HasReparseComponent(base, false, rel))
        return false;
    if (entry.isFolder)
        return CreateFolder(out.c_str()) && !HasReparseComponent(base, false, rel);
    if (!CreateParentFolder(out.c_str()) || HasReparseComponent(base, false, rel))
        return false;

    bool ended = false;
    uLong crc = crc32(0L, Z_NULL, 0);
    unsigned long written = 0;
    {
        UniqueFile file(CreateFileA(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return false;
        if (unzOpenCurrentFile(m_zip) != UNZ_OK)
        {
            file.reset();
            DeleteFileA(out.c_str());
            return false;
        }
        bool failed = false;
        char block[kBlockBytes];
        for (;;)
        {
            int got = unzReadCurrentFile(m_zip, block, sizeof block);
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
            if (!WriteAll(file.get(), block, (DWORD)got))
            {
                failed = true;
                break;
            }
            crc = crc32(crc, reinterpret_cast<const Bytef*>(block), (uInt)got);
            written += (unsigned long)got;
            Notify(UNZIP_ENTRY_BYTES, (int)entry.uncompressedSize, (int)written, nullptr);
            if (m_stop)
                break;
        }
        // minizip checks the CRC only when the whole declared size was read; a stream
        // that ends early or carries other bytes is caught by our own count and CRC.
        int closed = unzCloseCurrentFile(m_zip);
        if (failed || closed == UNZ_CRCERROR ||
            (ended && (written != entry.uncompressedSize || crc != entry.crc)))
            ended = false;
    }
    if (!ended)
    {
        DeleteFileA(out.c_str()); // never leave a damaged or partial file for placement
        return false;
    }
    SetFileTimes(out.c_str(), entry.dosDate);
    return true;
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
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(HIWORD(dosDateTime), LOWORD(dosDateTime), &local) ||
        !LocalFileTimeToFileTime(&local, &utc))
        return false;
    UniqueFile file(CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return false;
    return SetFileTime(file.get(), &utc, nullptr, &utc) != FALSE;
}
