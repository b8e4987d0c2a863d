#include "common/FileNames.h"

#include <cwchar>
#include <string>

namespace
{
// Windows opens these names, with any extension and blanks before it, as devices in
// every folder.
bool IsDeviceName(const wchar_t* name, size_t count)
{
    size_t stop = 0;
    while (stop < count && name[stop] != L'.')
        ++stop;
    while (stop > 0 && name[stop - 1] == L' ')
        --stop;
    std::wstring base(name, stop);
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices)
        if (_wcsicmp(base.c_str(), device) == 0)
            return true;
    // COM1-9 and LPT1-9; the superscript digits 1, 2 and 3 count too.
    if (base.size() != 4 ||
        (_wcsnicmp(base.c_str(), L"COM", 3) != 0 && _wcsnicmp(base.c_str(), L"LPT", 3) != 0))
        return false;
    wchar_t digit = base[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}
} // namespace

bool IsPlainName(const wchar_t* name, size_t count)
{
    if (!name || count == 0)
        return false;
    bool onlyDotsAndBlanks = true;
    for (size_t i = 0; i < count; ++i)
    {
        wchar_t c = name[i];
        if (c < 32 || c == 127 || wcschr(L"\\/:<>\"|?*", c))
            return false; // wcschr also finds the terminator: a zero inside is refused too
        if (c != L'.' && c != L' ')
            onlyDotsAndBlanks = false;
    }
    return !onlyDotsAndBlanks && !IsDeviceName(name, count);
}

bool IsPlainName(const wchar_t* name)
{
    return name && IsPlainName(name, wcslen(name));
}
