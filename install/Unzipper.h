#pragma once
// CUnzipper: a thin object over minizip's zip reader that unpacks an update archive into
// a folder, entry by entry, reporting progress through one plain callback.
#include <windows.h>

#include <atomic>
#include <vector>

#include <unzip.h>

struct UnpackRun;

// Progress of an unpack, called on the thread that unpacks (the patcher's worker thread).
// kind 0: entry done (a = entry count, b = 1-based index, name = entry name);
// kind 1: bytes of the current entry (a = its uncompressed size, b = bytes written, name null);
// kind 2: all entries unpacked; kind 3: unpacking failed (a = b = 0, name null).
typedef void (*UnzipCallback)(int kind, int a, int b, const char* name, void* user);

enum UnzipKind
{
    UNZIP_ENTRY_DONE = 0,
    UNZIP_ENTRY_BYTES = 1,
    UNZIP_ALL_DONE = 2,
    UNZIP_FAILED = 3,
};

// What the archive says about its current entry.
struct UnzipEntry
{
    char name[MAX_PATH]; // every '/' turned into '\'
    unsigned long version;
    unsigned long versionNeeded;
    unsigned long flags;
    unsigned long compressionMethod;
    unsigned long dosDate; // DOS date in the high word, DOS time in the low word
    unsigned long crc;
    unsigned long compressedSize;
    unsigned long uncompressedSize;
    unsigned long internalAttributes;
    unsigned long externalAttributes;
    bool isFolder;
};

class CUnzipper
{
  public:
    enum
    {
        kBlockBytes = 2048,  // one read from the archive, one progress report
        kWriteBytes = 65536, // what is gathered before one write to the file
    };

    CUnzipper();
    virtual ~CUnzipper();
    CUnzipper(const CUnzipper&) = delete;
    CUnzipper& operator=(const CUnzipper&) = delete;

    // Opens an archive (8-bit path). The destination folder becomes the archive's folder,
    // followed with ownFolder by the archive's name without extension. False when the
    // path is empty, too long, or no archive.
    bool Open(const char* path, bool ownFolder);
    void Close();
    void SetCallback(UnzipCallback callback, void* user);
    // Number of entries, 0 when closed or unreadable.
    int GetEntryCount();
    const char* GetDestination() const { return m_destFolder; }

    // Unpacks every entry into folder (null: the destination folder). Fails at the first
    // entry that fails; a stop between entries ends with success and without kind 2.
    bool UnzipAll(const char* folder, bool flatten);
    // Unpacks the current entry; with flatten only its file name is kept. The bytes go to
    // a new file that then replaces whatever has the entry's name: a link planted there is
    // replaced, never written through.
    bool UnzipCurrent(const char* folder, bool flatten);
    bool GetFileInfo(UnzipEntry& entry);
    bool GotoFirst();
    bool GotoNext();

    void SetStop(bool stop) { m_stop = stop; }
    bool IsStopped() const { return m_stop; }

    // Creates path and its missing parents. An existing path succeeds only when it is a
    // directory; a path without any backslash counts as existing.
    static bool CreateFolder(const char* path);
    // CreateFolder of everything before the last backslash; fails when there is none.
    static bool CreateParentFolder(const char* path);
    // Sets creation and last-write time from a DOS date and time read as local time.
    static bool SetFileTimes(const char* path, unsigned long dosDateTime);
    // True for a name that stays inside the folder it is unpacked into (see
    // IsSafeRelativePath): no root, drive, UNC or \\?\ prefix, no ':', no ".." and no
    // device names. A "." part is the same folder ("./a.dll" is a.dll).
    static bool IsSafeEntryName(const char* name);

  private:
    // The folder to unpack into (null: the destination folder), created when missing;
    // null without an open archive or when it cannot be created.
    const char* TargetFolder(const char* folder);
    // Unpacks the current entry, described by entry, into folder (already made). run holds
    // the folders opened and looked up for earlier entries of the same unpack.
    bool UnzipEntryTo(const char* folder, bool flatten, const UnzipEntry& entry, UnpackRun& run);
    // Reads the current entry (opened) into file in blocks, reporting each block. True
    // when the whole entry came with the size and CRC the archive declares; the entry is
    // closed either way.
    bool CopyEntry(HANDLE file, const UnzipEntry& entry);
    void Notify(int kind, int a, int b, const char* name);

    unzFile m_zip;
    char m_destFolder[MAX_PATH];
    int m_entryCount;
    UnzipCallback m_callback;
    void* m_user;
    std::atomic<bool> m_stop;
    std::vector<char> m_writeBuffer; // kWriteBytes, made at the first entry
};
