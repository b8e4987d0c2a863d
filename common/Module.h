#pragma once
// Where the running code lives: the module that holds an address (a DLL's own resources),
// and the full path and folder of a module. Header-only, so that every module (programs,
// the plug-in, the tools) asks about itself.
#include <windows.h>

#include <string>

// The module whose image holds address; null when none does.
inline HMODULE ModuleOfAddress(const void* address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return nullptr;
    return module;
}

// The module this code is linked into (each module has its own copy of this function).
inline HMODULE ThisModule()
{
    static const char marker = 0;
    return ModuleOfAddress(&marker);
}

// The full path of module (null: the program), however long; "" on failure.
inline std::wstring ModulePath(HMODULE module = nullptr)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        DWORD n = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::wstring();
        if (n < path.size())
        {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768)
            return std::wstring();
        path.resize(path.size() * 2);
    }
}

// The folder of module without trailing backslash; "" when the path holds no backslash.
inline std::wstring ModuleFolder(HMODULE module = nullptr)
{
    std::wstring path = ModulePath(module);
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}
