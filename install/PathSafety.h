#pragma once
// The checks that keep names from archives, manifests and the network inside the
// folders they are meant for, and the checks on what a handle really opened: a name
// says little where links can be planted (Wine shows no reparse attribute on a file
// symlink and opens its target).
#include <windows.h>

#include <map>
#include <string>

#include "common/Handles.h"

// A path that stays below the folder it is joined to: not absolute, no drive, UNC or
// \\?\ prefix, no ':' (drives, streams), no wildcard or other character a file name
// cannot hold, no component made only of dots and blanks ("..", ". ."), and no component
// that names a device (CON, NUL, COM1, "aux.txt"...). Empty is accepted only with
// allowEmpty.
bool IsSafeRelativePath(const wchar_t* path, bool allowEmpty);
// A safe relative path of one component: a plain file name.
bool IsPlainFileName(const wchar_t* name);
// A name that ends in ".exe", in any case: what may be run as a program.
bool HasExeExtension(const wchar_t* name);

// The one form in which a relative path is compared and joined: '\' separators and no
// empty or "." parts, so "./a.dll", "bin//a.dll" and "bin/a.dll" name what "a.dll" and
// "bin\a.dll" name. False when the rest is not a safe relative path (".." stays
// refused) or, unless allowEmpty, names nothing.
bool NormalizeRelativePath(const std::wstring& path, bool allowEmpty, std::wstring& out);
// Windows names ignore case: the same file name whatever the case of its letters.
bool SameFileName(const std::wstring& a, const std::wstring& b);

// True when base (if checkBase) or an existing component of rel below it is a junction
// or a symbolic link: following it could read or write outside the folders we were
// given. Components that do not exist yet are passed over. last, when given, receives the
// attributes of base\rel itself (INVALID_FILE_ATTRIBUTES when it does not exist), so that a
// caller does not look the name up again.
bool HasReparseComponent(const std::wstring& base, bool checkBase, const std::wstring& rel,
                         DWORD* last = nullptr);

// The final path of what a handle opened (GetFinalPathNameByHandleW, looked up at run
// time: Windows XP lacks it). False where the function is missing or fails.
bool GetOpenedPath(HANDLE handle, std::wstring& path);

// True where the system gives the final path of a handle (not on Windows XP).
bool CanReadFinalPaths();

// The final paths of folders, each looked up once for the many files checked in it. No
// looser than a lookup per file: a folder swapped for a link after its first lookup no
// longer matches what the files in it show. Keep one for a run, not across runs.
class FolderFinalPaths
{
  public:
    // False when the folder cannot be opened or its final path not read (nothing kept).
    bool Get(const std::wstring& folder, std::wstring& finalPath);

  private:
    std::map<std::wstring, std::wstring> m_known;
};

// True when file, opened by the name folder\rel (rel normalized), is that plain file:
// no folder or reparse point, with singleLink one name only, and, where the system can
// tell, a final path that is folder's own final path followed by rel. Without the final
// path (Windows XP, which has no file symbolic links) the attribute and link checks
// stand alone. known, when given, holds folder's final path from an earlier check.
bool IsOpenedFileInside(HANDLE file, const std::wstring& folder, const std::wstring& rel, bool singleLink,
                        FolderFinalPaths* known = nullptr);

// Folders held open for one run, so that what is made in them stays there whatever
// happens to their names meanwhile. The base is opened by its name (it may be reached
// through a link on purpose); every level below it is opened, or made, by its own name
// relative to the open level above, and shown by its handle to be a folder, no link, and
// that level. A file made in an open level with CreateFileIn needs no check of its own.
class PinnedFolders
{
  public:
    explicit PinnedFolders(const std::wstring& base);
    PinnedFolders(const PinnedFolders&) = delete;
    PinnedFolders& operator=(const PinnedFolders&) = delete;

    // The open folder base\rel (rel normalized; empty for the base), its missing levels
    // made when create. Null when a level is a link or no folder, cannot be opened or
    // made, or the base is missing.
    HANDLE Get(const std::wstring& rel, bool create);

  private:
    struct Level
    {
        UniqueFile handle;
        std::wstring finalPath; // empty where the system cannot tell (Windows XP)
    };
    const Level* Open(const std::wstring& rel, bool create);

    std::wstring m_base;
    std::map<std::wstring, Level> m_levels; // by FileNameKey of the level's rel
};

// Makes the new file name (a plain name) in the open folder dir, opened with access and
// shared with nobody. Fails with ERROR_ALREADY_EXISTS where anything has the name, a link
// included: nothing is opened through one.
bool CreateFileIn(HANDLE dir, const std::wstring& name, DWORD access, UniqueFile& file);

// The attributes (FILE_ATTRIBUTE_DIRECTORY set for a folder) and the link count of what
// a handle opened.
bool GetOpenedFileFacts(HANDLE file, DWORD& attributes, DWORD& links);

// The key under which SameFileName compares a name: two names are the same exactly when
// their keys are equal.
std::wstring FileNameKey(const std::wstring& name);
