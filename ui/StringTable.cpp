#include "ui/StringTable.h"

#include "common/Module.h"

namespace
{
// 0 means "not chosen on this thread".
thread_local LANGID t_language = 0;

// Looks the string up in the block of exactly this language; false when the block or
// the entry is missing.
bool FindString(HMODULE module, UINT id, LANGID lang, std::wstring& out)
{
    HRSRC res = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), lang);
    if (!res)
        return false;
    HGLOBAL data = LoadResource(module, res);
    DWORD size = SizeofResource(module, res);
    const WORD* p = data ? static_cast<const WORD*>(LockResource(data)) : nullptr;
    if (!p)
        return false;
    const WORD* end = p + size / sizeof(WORD);
    // A block holds 16 counted strings; skip to ours.
    for (UINT i = 0; i < id % 16; ++i)
    {
        if (p >= end)
            return false;
        p += 1 + *p;
    }
    if (p >= end || *p == 0)
        return false;
    size_t length = *p;
    if (p + 1 + length > end)
        return false;
    // Same limit as a LoadStringW into a buffer of kBufferChars characters.
    if (length > CStringTable::kBufferChars - 1)
        length = CStringTable::kBufferChars - 1;
    out.assign(reinterpret_cast<const wchar_t*>(p + 1), length);
    return true;
}

LANGID PlatformThreadLanguage()
{
    typedef LANGID(WINAPI * GetThreadUILanguageFn)();
    static GetThreadUILanguageFn fn = reinterpret_cast<GetThreadUILanguageFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadUILanguage"));
    if (fn)
        return fn();
    // Before Vista the resource loader follows the thread locale.
    return LANGIDFROMLCID(GetThreadLocale());
}
} // namespace

LANGID CStringTable::ThreadLanguage()
{
    return t_language ? t_language : PlatformThreadLanguage();
}

LANGID CStringTable::SetThreadLanguage(LANGID lang)
{
    typedef LANGID(WINAPI * SetThreadUILanguageFn)(LANGID);
    static SetThreadUILanguageFn fn = reinterpret_cast<SetThreadUILanguageFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadUILanguage"));
    LANGID reported = fn ? fn(lang) : 0;
    if (reported != lang)
        SetThreadLocale(MAKELCID(lang, SORT_DEFAULT));
    t_language = lang;
    return reported;
}

void CStringTable::ResetThreadLanguage()
{
    t_language = 0;
}

std::wstring CStringTable::LoadIn(UINT id, LANGID lang)
{
    HMODULE module = ThisModule(); // the module that holds this table
    std::wstring text;
    // The exact language, then any dialect of it, then English, as the resource loader falls back.
    if (FindString(module, id, lang, text))
        return text;
    if (FindString(module, id, MAKELANGID(PRIMARYLANGID(lang), SUBLANG_DEFAULT), text))
        return text;
    if (FindString(module, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text))
        return text;
    wchar_t buffer[kBufferChars];
    int n = LoadStringW(module, id, buffer, kBufferChars);
    return std::wstring(buffer, n > 0 ? n : 0);
}

std::wstring CStringTable::Load(UINT id)
{
    return LoadIn(id, ThreadLanguage());
}

std::wstring CStringTable::Format(UINT id, const wchar_t* title)
{
    std::wstring text = Load(id);
    size_t at = text.find(L"%s");
    if (at != std::wstring::npos)
        text.replace(at, 2, title ? title : L"");
    if (text.size() > kBufferChars - 1)
        text.resize(kBufferChars - 1);
    return text;
}
