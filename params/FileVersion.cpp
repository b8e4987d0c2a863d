#include "params/FileVersion.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace
{
const wchar_t kNoVersion[] = L"0.0.0.0";
} // namespace

std::wstring FileVersionSubBlock(WORD language, WORD codePage)
{
    wchar_t block[64];
    _snwprintf(block, ARRAYSIZE(block), L"\\StringFileInfo\\%02X%02X%02X%02X\\FileVersion", HIBYTE(language),
               LOBYTE(language), HIBYTE(codePage), LOBYTE(codePage));
    block[ARRAYSIZE(block) - 1] = 0;
    return block;
}

std::wstring GetModuleFileVersion(HMODULE module)
{
    if (!module)
        module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    if (!info)
        return kNoVersion;
    DWORD size = SizeofResource(module, info);
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data || size == 0)
        return kNoVersion;
    // VerQueryValueW expects a writable copy, as GetFileVersionInfoW would give.
    std::vector<BYTE> block(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
    block.resize(size * 2 + 16, 0);

    std::wstring subBlock;
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) && value && length == 4)
    {
        DWORD translation;
        memcpy(&translation, value, sizeof translation);
        subBlock = FileVersionSubBlock(LOWORD(translation), HIWORD(translation));
    }
    else
    {
        wchar_t fallback[64];
        _snwprintf(fallback, ARRAYSIZE(fallback), L"\\StringFileInfo\\%04X04B0\\FileVersion",
                   static_cast<unsigned>(GetUserDefaultLangID()));
        fallback[ARRAYSIZE(fallback) - 1] = 0;
        subBlock = fallback;
    }
    value = nullptr;
    length = 0;
    if (!VerQueryValueW(block.data(), subBlock.c_str(), &value, &length) || !value)
        return kNoVersion;
    const wchar_t* text = static_cast<const wchar_t*>(value);
    return std::wstring(text, wcsnlen(text, length));
}
