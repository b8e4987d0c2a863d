#pragma once
// The one bounded copy into fixed-width text fields. A field of n units holds at most
// n - 1 of them and its terminating zero; a longer value is refused, never cut, because a
// cut host, path or name would name something else.
#include <cstddef>
#include <cwchar>

namespace detail
{
inline size_t BoundedLength(const char* value, size_t limit)
{
    size_t n = 0;
    while (n < limit && value[n])
        ++n;
    return n;
}
inline size_t BoundedLength(const wchar_t* value, size_t limit)
{
    return wcsnlen(value, limit);
}
} // namespace detail

// Copies value (null counts as empty) into dst, which holds dstUnits units. A value of
// dstUnits units or more is refused: the result is false and dst is left as it was.
template <typename Char> bool CopyBounded(Char* dst, size_t dstUnits, const Char* value)
{
    static const Char kEmpty[1] = {0};
    if (!value)
        value = kEmpty;
    size_t length = detail::BoundedLength(value, dstUnits);
    if (dstUnits == 0 || length >= dstUnits)
        return false;
    for (size_t i = 0; i < length; ++i)
        dst[i] = value[i];
    dst[length] = 0;
    return true;
}

template <typename Char, size_t N> bool CopyBounded(Char (&dst)[N], const Char* value)
{
    return CopyBounded<Char>(dst, N, value);
}
