#pragma once
// Conversions between page script values and what the loader control takes.
#include "npapi.h"

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>

namespace plugin
{
// The buffers text passes through: UTF-16 units (with the terminator) and bytes of the
// thread's ANSI code page (with the terminator), as page strings reach the control.
constexpr int kWideBufferUnits = 1024;
constexpr int kAnsiBufferBytes = 1000;
constexpr int kUtf8BufferBytes = 1024;

// A page string as a new BSTR: UTF-8 -> UTF-16 -> the thread's ANSI code page -> BSTR, so
// the control sees what the ANSI pages it was written for would send. Null (refused) for
// invalid UTF-8, a null text with a length, or text that does not fit the buffers
// (more than 1023 UTF-16 units or 999 ANSI bytes); the caller frees the result.
BSTR PageStringToBstr(const NPString& text);

// A page number as the 32 bits the control's numeric methods take: an int32 as it is, a
// double truncated toward zero to 64 bits and cut to its low 32. A double with no 64-bit
// value (NaN, infinite, beyond +-2^63) gives 0, what the 32-bit conversion instruction's
// "indefinite" answer leaves in the low word. False for any other type.
bool PageNumberToLow32(const NPVariant& value, uint32_t& low32);

// Text of the thread's ANSI code page as UTF-8 into out (at most size bytes with the
// terminator); the number of bytes without the terminator, or -1 if it does not fit.
int AnsiToUtf8(const char* ansi, char* out, int size);
} // namespace plugin
