#include "install/ProxyComponentGuard.h"

namespace
{
const wchar_t kInprocKey[] =
    L"Software\\Classes\\CLSID\\{670EAF1F-C353-4CC6-927F-E435F84B0EF3}\\InprocServer32";
typedef HRESULT(STDAPICALLTYPE* RegFn)();

UiScript* g_script = nullptr;

// Xvfb runs no window manager, and Wine waits two seconds for one whenever a managed
// window (every dialog) closes. Our own windows unmanaged (set before the first window
// exists, for this program only) close at once; the key is removed again at exit.
class UnmanagedWindowsUnderWine
{
  public:
    UnmanagedWindowsUnderWine()
    {
        if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
            return;
        std::wstring exe = ModulePath();
        m_key = L"Software\\Wine\\AppDefaults\\" + exe.substr(exe.find_last_of(L'\\') + 1);
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, m_key.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS)
        {
            RegCloseKey(key); // somebody configured this program: leave it as it is
            m_key.clear();
            return;
        }
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (m_key + L"\\X11 Driver").c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        {
            m_key.clear();
            return;
        }
        RegSetValueExW(key, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"), 2 * sizeof(wchar_t));
        RegCloseKey(key);
    }
    ~UnmanagedWindowsUnderWine()
    {
        if (m_key.empty())
            return;
        RegDeleteTreeW(HKEY_CURRENT_USER, m_key.c_str()); // what lies below the key
        RegDeleteKeyW(HKEY_CURRENT_USER, m_key.c_str());
    }

  private:
    std::wstring m_key;
};
UnmanagedWindowsUnderWine g_unmanaged;
} // namespace

ProxyComponentGuard::ProxyComponentGuard() : m_previousPath(RegisteredPath())
{
    m_module = LoadLibraryW((ModuleFolder() + L"NvpcProxySettings.dll").c_str());
}

ProxyComponentGuard::~ProxyComponentGuard()
{
    if (m_previousPath.empty())
    {
        Unregister();
    }
    else if (RegisteredPath() != m_previousPath)
    {
        // Whoever registered it before gets its own registration back.
        HMODULE previous = LoadLibraryW(m_previousPath.c_str());
        if (previous)
        {
            Call(previous, "DllRegisterServer");
            FreeLibrary(previous);
        }
    }
    if (m_module)
        FreeLibrary(m_module);
}

std::wstring ProxyComponentGuard::RegisteredPath()
{
    wchar_t buf[MAX_PATH * 2] = {};
    DWORD size = sizeof buf - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kInprocKey, nullptr, RRF_RT_REG_SZ, nullptr, buf, &size) !=
        ERROR_SUCCESS)
        return std::wstring();
    return buf;
}

HRESULT ProxyComponentGuard::Call(HMODULE module, const char* name)
{
    RegFn fn = module ? reinterpret_cast<RegFn>(GetProcAddress(module, name)) : nullptr;
    return fn ? fn() : E_FAIL;
}

bool ProxyComponentGuard::Register()
{
    return SUCCEEDED(Call(m_module, "DllRegisterServer"));
}

bool ProxyComponentGuard::Unregister()
{
    return SUCCEEDED(Call(m_module, "DllUnregisterServer"));
}

ProxySettingsFileGuard::ProxySettingsFileGuard() : m_file(m_dir / L"proxy.ini")
{
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(L"NVPC_PROXY_SETTINGS_FILE", buf, ARRAYSIZE(buf));
    if (n > 0 && n < ARRAYSIZE(buf))
    {
        m_hadPrevious = true;
        m_previous = buf;
    }
    SetEnvironmentVariableW(L"NVPC_PROXY_SETTINGS_FILE", m_file.c_str());
}

ProxySettingsFileGuard::~ProxySettingsFileGuard()
{
    SetEnvironmentVariableW(L"NVPC_PROXY_SETTINGS_FILE", m_hadPrevious ? m_previous.c_str() : nullptr);
}

UiScript::UiScript(DWORD deadlineMs) : m_deadline(GetTickCount() + deadlineMs)
{
    g_script = this;
    m_timer = SetTimer(nullptr, 0, 15, &UiScript::OnTimer);
}

UiScript::~UiScript()
{
    if (m_timer)
        KillTimer(nullptr, m_timer);
    if (g_script == this)
        g_script = nullptr;
}

void UiScript::Add(const std::wstring& name, Step step)
{
    m_steps.emplace_back(name, std::move(step));
}

void CALLBACK UiScript::OnTimer(HWND, UINT, UINT_PTR, DWORD)
{
    if (g_script)
        g_script->Tick();
}

void UiScript::Tick()
{
    // A step may itself pump messages (a message box of the subject): no re-entry.
    if (m_inTick)
        return;
    m_inTick = true;
    if (!m_failed && m_next < m_steps.size())
    {
        if (m_steps[m_next].second())
            ++m_next;
        else if ((LONG)(GetTickCount() - m_deadline) > 0)
        {
            m_failed = true;
            m_failedStep = m_steps[m_next].first;
        }
    }
    if (m_failed)
    {
        for (HWND dialog : ThreadDialogs())
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        for (HWND dialog : ThreadDialogs())
            PostMessageW(dialog, WM_CLOSE, 0, 0);
    }
    m_inTick = false;
}

namespace
{
struct FindData
{
    const wchar_t* className;
    const wchar_t* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM lParam)
{
    FindData* data = reinterpret_cast<FindData*>(lParam);
    if (!IsWindowVisible(window))
        return TRUE;
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, ARRAYSIZE(cls));
    if (data->className && wcscmp(cls, data->className) != 0)
        return TRUE;
    if (data->caption && WindowText(window) != data->caption)
        return TRUE;
    data->found.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectButton(HWND child, LPARAM lParam)
{
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, ARRAYSIZE(cls));
    if (_wcsicmp(cls, L"Button") == 0 && IsWindowVisible(child))
        reinterpret_cast<std::vector<int>*>(lParam)->push_back(GetDlgCtrlID(child));
    return TRUE;
}
} // namespace

HWND FindThreadWindow(const wchar_t* className, const wchar_t* caption)
{
    FindData data = {className, caption, {}};
    EnumThreadWindows(GetCurrentThreadId(), CollectWindow, reinterpret_cast<LPARAM>(&data));
    return data.found.empty() ? nullptr : data.found.front();
}

std::vector<HWND> ThreadDialogs()
{
    FindData data = {L"#32770", nullptr, {}};
    EnumThreadWindows(GetCurrentThreadId(), CollectWindow, reinterpret_cast<LPARAM>(&data));
    return data.found;
}

std::wstring WindowText(HWND window)
{
    wchar_t buf[1024] = {};
    int n = GetWindowTextW(window, buf, ARRAYSIZE(buf));
    return std::wstring(buf, n > 0 ? n : 0);
}

RECT ChildRect(HWND child)
{
    RECT r = {};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::vector<int> VisibleButtonIds(HWND dialog)
{
    std::vector<int> ids;
    EnumChildWindows(dialog, CollectButton, reinterpret_cast<LPARAM>(&ids));
    return ids;
}

void ClickButton(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}
