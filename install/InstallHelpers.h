#pragma once
// Small pieces shared by the downloader, the unpacker and the file placement: whole
// writes, the checks that keep names from the network inside the folders they are meant
// for, and the wait for a worker thread that may be talking to the waiting thread.
#include <windows.h>

#include <string>

// Writes all size bytes; false on a failed or empty write.
bool WriteAll(HANDLE file, const void* data, DWORD size);

// A path that stays below the folder it is joined to: not absolute, no drive, UNC or
// \\?\ prefix, no ':' (drives, streams), no wildcard or other character a file name
// cannot hold, no component made only of dots and blanks ("..", ". ."), and no component
// that names a device (CON, NUL, COM1, "aux.txt"...). Empty is accepted only with
// allowEmpty.
bool IsSafeRelativePath(const wchar_t* path, bool allowEmpty);
// A safe relative path of one component: a plain file name.
bool IsPlainFileName(const wchar_t* name);


// True when base (if checkBase) or an existing component of rel below it is a junction
// or a symbolic link: following it could read or write outside the folders we were
// given. Components that do not exist yet are passed over.
bool HasReparseComponent(const std::wstring& base, bool checkBase, const std::wstring& rel);

// Waits until a worker's done event is set. Messages that other threads send to this
// thread's windows are answered meanwhile (a callback moving a progress bar blocks its
// worker until they are), posted ones stay queued for the owner's own loop. The wait
// lasts as long as the worker needs to notice its stop flag.
bool WaitForWorkerEnd(HANDLE done);
