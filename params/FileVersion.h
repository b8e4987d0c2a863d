#pragma once
// The FileVersion text of a module's version resource.
#include <windows.h>
#include <string>

// Resource 1 of type RT_VERSION of module (null: the running program). The string table
// is chosen by the first "\VarFileInfo\Translation" entry when that value is exactly one
// entry (4 bytes) long, else by the user's default language with code page 04B0.
// "0.0.0.0" when there is no resource or no such value.
std::wstring GetModuleFileVersion(HMODULE module);

// The "\StringFileInfo\...\FileVersion" sub-block for a language and code page.
std::wstring FileVersionSubBlock(WORD language, WORD codePage);
