#pragma once
// The one rule for a name that becomes one part of a path (a product folder, a program,
// an archive entry's folder or file): a plain name that stays in the folder it is put in.
#include <cstddef>

// True when name is one plain path part: not empty, no '\', '/' or ':', none of the
// characters a file name cannot hold (<>"|?*), no control character, not made only of
// dots and blanks ("..", ". ."), and no device name (CON, NUL, COM1, "aux.txt"...).
bool IsPlainName(const wchar_t* name);
// The same for the count characters at name (a part of a longer path).
bool IsPlainName(const wchar_t* name, size_t count);
