#pragma once
// Whole writes to a file handle.
#include <windows.h>

// Writes all size bytes; false on a failed or empty write.
bool WriteAll(HANDLE file, const void* data, DWORD size);
