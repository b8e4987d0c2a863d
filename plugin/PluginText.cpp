#include "PluginText.h"

#include <windows.h>

#include <cmath>

namespace plugin
{
BSTR PageStringToBstr(const NPString& text)
{
    if (!text.UTF8Characters && text.UTF8Length != 0)
        return nullptr;
    if (text.UTF8Length == 0)
        return ::SysAllocStringLen(L"", 0);
    if (text.UTF8Length > static_cast<uint32_t>(INT32_MAX))
        return nullptr;

    wchar_t wide[kWideBufferUnits];
    // Room for the terminator stays free: more than 1023 units does not fit.
    int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.UTF8Characters,
                                      static_cast<int>(text.UTF8Length), wide, kWideBufferUnits - 1);
    if (units <= 0)
        return nullptr;
    wide[units] = L'\0';

    char ansi[kAnsiBufferBytes];
    int bytes =
        ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, units, ansi, kAnsiBufferBytes - 1, nullptr, nullptr);
    if (bytes <= 0)
        return nullptr;
    ansi[bytes] = '\0';

    int length = ::MultiByteToWideChar(CP_THREAD_ACP, 0, ansi, bytes, nullptr, 0);
    if (length <= 0)
        return nullptr;
    BSTR result = ::SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (!result)
        return nullptr;
    if (::MultiByteToWideChar(CP_THREAD_ACP, 0, ansi, bytes, result, length) != length)
    {
        ::SysFreeString(result);
        return nullptr;
    }
    return result;
}

bool PageNumberToLow32(const NPVariant& value, uint32_t& low32)
{
    if (value.type == NPVariantType_Int32)
    {
        low32 = static_cast<uint32_t>(value.value.intValue);
        return true;
    }
    if (value.type != NPVariantType_Double)
        return false;
    double d = value.value.doubleValue;
    // Converting a double outside the 64-bit range is undefined in C++; the bounds are
    // exact powers of two, so the comparisons themselves are exact.
    if (std::isnan(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
    {
        low32 = 0;
        return true;
    }
    low32 = static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(d)));
    return true;
}

int AnsiToUtf8(const char* ansi, char* out, int size)
{
    if (!ansi || !out || size <= 0)
        return -1;
    wchar_t wide[kWideBufferUnits];
    int units = ::MultiByteToWideChar(CP_THREAD_ACP, 0, ansi, -1, wide, kWideBufferUnits);
    if (units <= 0)
        return -1;
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, nullptr, nullptr);
    if (bytes <= 0)
        return -1;
    return bytes - 1;
}
} // namespace plugin
