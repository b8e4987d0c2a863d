#include "install/ProxyComponentGuard.h"

#include <new>

#include "common/ComClassFactory.h"

namespace
{
const wchar_t kInprocKey[] =
    L"Software\\Classes\\CLSID\\{670EAF1F-C353-4CC6-927F-E435F84B0EF3}\\InprocServer32";
typedef HRESULT(STDAPICALLTYPE* RegFn)();

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
FakeProxyComponent::Answers g_fakeAnswers;
FakeProxyComponent::Counts g_fakeCounts;

BSTR FakeText(const wchar_t* text)
{
    return text ? SysAllocString(text) : nullptr;
}

class FakeSettingsObject : public INvpcProxySettings
{
  public:
    using Interfaces = ComInterfaces<INvpcProxySettings, IDispatch>;

    FakeSettingsObject() { InterlockedIncrement(&g_fakeCounts.live); }
    ~FakeSettingsObject() { InterlockedDecrement(&g_fakeCounts.live); }

    // Callers reach the fake through its table only; it has no type information.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ShowSettings() override
    {
        ++g_fakeCounts.shows;
        return g_fakeAnswers.show;
    }
    HRESULT STDMETHODCALLTYPE GetSettings(short* type, BSTR* host, short* port, BSTR* user,
                                          BSTR* password) override
    {
        ++g_fakeCounts.gets;
        *type = g_fakeAnswers.type;
        *host = FakeText(g_fakeAnswers.host);
        *port = g_fakeAnswers.port;
        *user = FakeText(g_fakeAnswers.user);
        *password = FakeText(g_fakeAnswers.password);
        return g_fakeAnswers.get;
    }
};

// The toolkit's factory, counting creations and able to succeed without an interface.
class FakeFactory : public ComClassFactory<FakeSettingsObject>
{
  public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        ++g_fakeCounts.creations;
        if (g_fakeAnswers.noInterface)
            return S_OK;
        return ComClassFactory<FakeSettingsObject>::CreateInstance(outer, riid, out);
    }
};
} // namespace

const wchar_t kProxySettingsCaption[] = L"Proxy Connection Settings";

ProxyComponentGuard::ProxyComponentGuard() : m_previousPath(RegisteredPath())
{
    m_module = LoadLibraryW((ModuleFolder() + L"\\NvpcProxySettings.dll").c_str());
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

ProxySettingsFileGuard::ProxySettingsFileGuard()
    : m_file(m_dir / L"proxy.ini"), m_env(L"NVPC_PROXY_SETTINGS_FILE", m_file.c_str())
{
}

FakeProxyComponent::FakeProxyComponent(const Answers& answers)
{
    g_fakeAnswers = answers;
    g_fakeCounts = Counts();
    m_factory = MakeCom<FakeFactory>();
    if (FAILED(CoRegisterClassObject(CLSID_NvpcProxySettings, m_factory.get(), CLSCTX_INPROC_SERVER,
                                     REGCLS_MULTIPLEUSE, &m_cookie)))
        m_cookie = 0;
}

FakeProxyComponent::~FakeProxyComponent()
{
    if (m_cookie)
        CoRevokeClassObject(m_cookie);
}

const FakeProxyComponent::Counts& FakeProxyComponent::counts() const
{
    return g_fakeCounts;
}

void SelectProxyType(HWND settings, int type)
{
    HWND combo = GetDlgItem(settings, IDC_PROXY_TYPE);
    int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
        if (SendMessageW(combo, CB_GETITEMDATA, i, 0) == type)
            SendMessageW(combo, CB_SETCURSEL, i, 0);
}
