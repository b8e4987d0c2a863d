#pragma once
// Putting a file in place without acting through a link or losing the installed copy.
// A copy is written to a temporary file beside its destination and swapped in with one
// rename; an installed file that a running program holds is renamed aside first and
// removed once it is free. Our temporaries ("~nvpc<pid>_<n>.tmp") and the files we moved
// aside ("~nvpcold<pid>_<n>_<name>.tmp") have names that nobody else gives, and are
// deleted only after the handle shows a plain file of one link inside the folder.
#include <windows.h>

#include <string>
#include <unordered_set>

#include "common/Handles.h"

// Creates a new temporary file of ours in the open folder dir (see PinnedFolders), whose
// path is folder, open for writing and deleting; name receives its file name. Made there
// by the handle, it needs no check of where it landed. False, with nothing made, when the
// temporary's path would be too long to rename or delete by name afterwards.
bool CreateOwnTempFileIn(HANDLE dir, const std::wstring& folder, std::wstring& name, UniqueFile& file);

// The names of our temporaries, and of the files we moved aside (original: the name
// the file had).
bool IsOwnTempName(const std::wstring& name);
bool IsOwnAsideName(const std::wstring& name, std::wstring* original);

// Marks the file of an open handle (opened with DELETE access) for deletion: what was
// checked is what goes, whatever its name leads to now. False where the system cannot
// (Windows XP) or refuses (a running program).
bool DeleteByHandle(HANDLE file);
// The same for a file we checked when we opened it, by its name where the system has no
// other way (Windows XP). Closes the handle; true when the file is gone (unless another
// handle still holds it open).
bool DeleteOpenedFile(UniqueFile& file, const std::wstring& path);
// Deletes folder\name when the handle shows a plain file of one link at that place.
bool DeleteCheckedFile(const std::wstring& folder, const std::wstring& name);

// Renames folder\tempName to folder\name, replacing the file there. When that file is in
// use, it is renamed aside within folder, the new one is put in place and the old one
// deleted, or, while it is still in use, left for RemoveStaleAsideFiles and the next
// restart. If the new file cannot be put in place, the old one is renamed back. False
// when the old file stays (in use beyond renaming, or not a plain file of one link).
bool SwapIntoPlace(const std::wstring& folder, const std::wstring& tempName, const std::wstring& name);

// Removes from folder what earlier placements left there: the temporaries of a killed
// run and the files moved aside that are free now. A file moved aside whose original
// name is missing is the only copy of an installed file and stays.
// names, when given, receives the FileNameKey of every name the folder holds afterwards
// (files, folders and links alike), read in the same pass. False when the folder could not
// be read to its end (a missing folder is read: it holds nothing).
bool RemoveStaleAsideFiles(const std::wstring& folder, std::unordered_set<std::wstring>* names = nullptr);
// The same in the running program's own folder, where an update that replaced the
// program while it ran left the old program file.
void RemoveStaleAsideFilesBesideProgram();
