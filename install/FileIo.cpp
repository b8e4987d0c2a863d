#include "install/FileIo.h"

bool WriteAll(HANDLE file, const void* data, DWORD size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0)
    {
        DWORD written = 0;
        if (!WriteFile(file, p, size, &written, nullptr) || written == 0)
            return false;
        p += written;
        size -= written;
    }
    return true;
}
