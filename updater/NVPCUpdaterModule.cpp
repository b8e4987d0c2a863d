#include "updater/NVPCUpdaterModule.h"

#include <objbase.h>
#include <oleauto.h>
#include <shlwapi.h>

#include <atomic>
#include <cwchar>

#include "common/Module.h"
#include "updater/Registrar.h"

namespace
{
const UINT kAppIdScript = 101;
const UINT kClassScript = 107;
const wchar_t kAppId[] = L"{105DBD35-8690-445A-8EE6-AC8961EB2AEC}";
const wchar_t kLibId[] = L"{763B5762-15B6-4106-95B7-EF60176E4356}";
// {763B5762-15B6-4106-95B7-EF60176E4356}
const GUID LIBID_NVPCUpdaterLib = {
    0x763B5762, 0x15B6, 0x4106, {0x95, 0xB7, 0xEF, 0x60, 0x17, 0x6E, 0x43, 0x56}};

#ifdef _WIN64
const SYSKIND kSysKind = SYS_WIN64;
const wchar_t kPlatform[] = L"win64";
#else
const SYSKIND kSysKind = SYS_WIN32;
const wchar_t kPlatform[] = L"win32";
#endif

HANDLE g_shutdown = nullptr; // signalled when the last reference is gone
std::atomic<bool> g_activity{false};

typedef HRESULT(WINAPI* RegisterForUserFn)(ITypeLib*, OLECHAR*, OLECHAR*);
typedef HRESULT(WINAPI* UnregisterForUserFn)(REFGUID, WORD, WORD, LCID, SYSKIND);

// The system's classes for the current user or the machine.
HKEY ClassesRoot(bool perUser, HKEY* opened)
{
    *opened = nullptr;
    if (!perUser)
        return HKEY_CLASSES_ROOT;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                          nullptr, opened, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return *opened;
}

// The library is registered for locale 1033; a process that looks it up for the neutral
// locale (as this platform's marshaller does) must find it too, so the same path is also
// entered under locale 0.
HRESULT AddNeutralLocale(bool perUser, const std::wstring& path)
{
    HKEY opened = nullptr;
    HKEY root = ClassesRoot(perUser, &opened);
    if (!root)
        return E_FAIL;
    std::wstring key = std::wstring(L"TypeLib\\") + kLibId + L"\\1.0\\0\\" + kPlatform;
    HKEY handle = nullptr;
    LONG error = ::RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    if (error == ERROR_SUCCESS)
    {
        error = ::RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                 static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(handle);
    }
    if (opened)
        ::RegCloseKey(opened);
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
}

void RemoveNeutralLocale(bool perUser)
{
    HKEY opened = nullptr;
    HKEY root = ClassesRoot(perUser, &opened);
    if (!root)
        return;
    std::wstring key = std::wstring(L"TypeLib\\") + kLibId + L"\\1.0\\0";
    ::SHDeleteKeyW(root, key.c_str());
    if (opened)
        ::RegCloseKey(opened);
}

HRESULT RegisterTypeLibrary(const std::wstring& path, bool perUser)
{
    ITypeLib* library = nullptr;
    HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
    if (FAILED(hr))
        return hr;
    std::wstring copy = path;
    if (perUser)
    {
        auto fn = reinterpret_cast<RegisterForUserFn>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW(L"OLEAUT32.DLL"), "RegisterTypeLibForUser")));
        hr = fn ? fn(library, &copy[0], nullptr) : E_NOTIMPL;
    }
    else
    {
        hr = ::RegisterTypeLib(library, &copy[0], nullptr);
    }
    library->Release();
    if (SUCCEEDED(hr))
        hr = AddNeutralLocale(perUser, path);
    return hr;
}

HRESULT UnregisterTypeLibrary(bool perUser)
{
    RemoveNeutralLocale(perUser);
    HRESULT hr;
    if (perUser)
    {
        auto fn = reinterpret_cast<UnregisterForUserFn>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW(L"OLEAUT32.DLL"), "UnRegisterTypeLibForUser")));
        hr = fn ? fn(LIBID_NVPCUpdaterLib, 1, 0, 1033, kSysKind) : E_NOTIMPL;
    }
    else
    {
        hr = ::UnRegisterTypeLib(LIBID_NVPCUpdaterLib, 1, 0, 1033, kSysKind);
    }
    // Already gone counts as done.
    return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED ? S_OK : hr;
}

HRESULT PrepareRegistrar(HMODULE module, bool perUser, CRegistrar& registrar, std::wstring& path)
{
    path = ModulePath(module);
    if (path.empty() || path.size() >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    registrar.SetPerUser(perUser);
    registrar.AddReplacement(L"MODULE", L"\"" + path + L"\"");
    registrar.AddReplacement(L"MODULE_RAW", path);
    registrar.AddReplacement(L"OLEMISC", std::to_wstring(CNVPCUpdaterModule::kOleMisc));
    registrar.AddReplacement(L"APPID", kAppId);
    return S_OK;
}

bool MatchSwitch(const wchar_t*& p, const wchar_t* name)
{
    size_t n = wcslen(name);
    if (_wcsnicmp(p, name, n) != 0)
        return false;
    wchar_t next = p[n];
    if (next && next != L' ' && next != L'\t' && next != L'-' && next != L'/')
        return false; // a longer word
    p += n;
    return true;
}
} // namespace

CNVPCUpdaterModule::Switch CNVPCUpdaterModule::ParseSwitches(const wchar_t* commandLine)
{
    const wchar_t* p = commandLine ? commandLine : L"";
    while (*p)
    {
        while (*p && *p != L'-' && *p != L'/')
            ++p;
        if (!*p)
            break;
        ++p;
        // Longer names first: "RegServer" is a prefix of "RegServerPerUser".
        if (MatchSwitch(p, L"RegServerPerUser"))
            return SWITCH_REGSERVER_PER_USER;
        if (MatchSwitch(p, L"UnregServerPerUser"))
            return SWITCH_UNREGSERVER_PER_USER;
        if (MatchSwitch(p, L"RegServer"))
            return SWITCH_REGSERVER;
        if (MatchSwitch(p, L"UnregServer"))
            return SWITCH_UNREGSERVER;
    }
    return SWITCH_NONE;
}

CNVPCUpdaterModule::CNVPCUpdaterModule(std::vector<ServedClass> classes)
    : m_classes(std::move(classes)), m_mainThread(::GetCurrentThreadId())
{
}

CNVPCUpdaterModule::~CNVPCUpdaterModule() = default;

HRESULT CNVPCUpdaterModule::RegisterServer(HMODULE module, bool perUser)
{
    CRegistrar registrar;
    std::wstring path;
    HRESULT hr = PrepareRegistrar(module, perUser, registrar, path);
    if (SUCCEEDED(hr))
        hr = registrar.ResourceRegister(module, kAppIdScript, true);
    if (SUCCEEDED(hr))
        hr = registrar.ResourceRegister(module, kClassScript, true);
    if (SUCCEEDED(hr))
        hr = RegisterTypeLibrary(path, perUser);
    return hr;
}

HRESULT CNVPCUpdaterModule::UnregisterServer(HMODULE module, bool perUser)
{
    CRegistrar registrar;
    std::wstring path;
    HRESULT hr = PrepareRegistrar(module, perUser, registrar, path);
    if (SUCCEEDED(hr))
        hr = registrar.ResourceRegister(module, kClassScript, false);
    if (SUCCEEDED(hr))
        hr = UnregisterTypeLibrary(perUser);
    if (SUCCEEDED(hr))
        hr = registrar.ResourceRegister(module, kAppIdScript, false);
    return hr;
}

HRESULT CNVPCUpdaterModule::Run(const wchar_t* commandLine)
{
    HRESULT init = ::CoInitialize(nullptr);
    bool owns = SUCCEEDED(init);
    if (FAILED(init) && !(init == RPC_E_CHANGED_MODE && ::GetModuleHandleW(L"Mscoree.dll")))
        return init;
    HMODULE self = ::GetModuleHandleW(nullptr);
    HRESULT hr;
    switch (ParseSwitches(commandLine))
    {
    case SWITCH_REGSERVER:
        hr = RegisterServer(self, false);
        break;
    case SWITCH_UNREGSERVER:
        hr = UnregisterServer(self, false);
        break;
    case SWITCH_REGSERVER_PER_USER:
        hr = RegisterServer(self, true);
        break;
    case SWITCH_UNREGSERVER_PER_USER:
        hr = UnregisterServer(self, true);
        break;
    default:
        hr = RunServer();
        break;
    }
    if (owns)
        ::CoUninitialize();
    return hr;
}

HRESULT CNVPCUpdaterModule::RunServer()
{
    std::vector<DWORD> cookies;
    HRESULT hr = S_FALSE; // nothing to serve
    for (const ServedClass& served : m_classes)
    {
        IClassFactory* factory = served.makeFactory();
        if (!factory)
        {
            hr = E_OUTOFMEMORY;
            break;
        }
        DWORD cookie = 0;
        hr =
            ::CoRegisterClassObject(*served.clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
        factory->Release(); // COM holds it while registered
        if (FAILED(hr))
            break;
        cookies.push_back(cookie);
        hr = S_OK;
    }
    bool served = hr == S_OK;
    if (served)
    {
        g_activity = false;
        g_shutdown = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE thread =
            g_shutdown ? ::CreateThread(nullptr, 0, &CNVPCUpdaterModule::ShutdownThread, this, 0, nullptr)
                       : nullptr;
        if (thread)
        {
            ::CloseHandle(thread);
            MSG msg;
            while (::GetMessageW(&msg, nullptr, 0, 0) > 0)
            {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
        }
        else
        {
            hr = HRESULT_FROM_WIN32(::GetLastError());
            served = false;
        }
    }
    for (DWORD cookie : cookies)
        ::CoRevokeClassObject(cookie);
    if (served)
        ::Sleep(kShutdownPauseMs);
    return FAILED(hr) ? hr : S_OK;
}

DWORD WINAPI CNVPCUpdaterModule::ShutdownThread(LPVOID self)
{
    auto* module = static_cast<CNVPCUpdaterModule*>(self);
    HANDLE shutdown = g_shutdown;
    ::WaitForSingleObject(shutdown, INFINITE);
    g_shutdown = nullptr;
    ::CloseHandle(shutdown);
    ::PostThreadMessageW(module->m_mainThread, WM_QUIT, 0, 0);
    return 0;
}

void CNVPCUpdaterModule::Lock()
{
    ::CoAddRefServerProcess();
}

void CNVPCUpdaterModule::Unlock()
{
    if (::CoReleaseServerProcess() == 0)
    {
        g_activity = true;
        if (g_shutdown)
            ::SetEvent(g_shutdown);
    }
}
