// NvpcProxySettings.dll: the proxy settings component the programs create by class
// identifier. An in-process COM server with a dual interface (IDispatch served from the
// embedded type library), a plain settings dialog, and the settings kept in a UTF-16
// INI file: the file named by NVPC_PROXY_SETTINGS_FILE, else
// %APPDATA%\NvpcProxySettings\ProxySettings.ini.
#include <windows.h>
#include <oleauto.h>
#include <olectl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <new>
#include <string>

#include "ProxySettingsRes.h"
#include "common/Module.h"
#include "common/BstrVariant.h"
#include "common/ComClassFactory.h"
#include "common/ComDispatch.h"
#include "common/ComPtr.h"
#include "common/ProxySettings.h"

namespace
{
HINSTANCE g_module = nullptr;

// {533AA34D-2094-4C1F-B8F5-73F63E0BBFD9}
const GUID LIBID_NvpcProxySettingsLib = {
    0x533AA34D, 0x2094, 0x4C1F, {0xB8, 0xF5, 0x73, 0xF6, 0x3E, 0x0B, 0xBF, 0xD9}};
const wchar_t kClsidKey[] = L"Software\\Classes\\CLSID\\{670EAF1F-C353-4CC6-927F-E435F84B0EF3}";
const wchar_t kTypeLibKey[] = L"Software\\Classes\\TypeLib\\{533AA34D-2094-4C1F-B8F5-73F63E0BBFD9}";
const wchar_t kSection[] = L"Proxy";
const int kMaxText = 255; // what the programs keep of each text

struct Settings
{
    int type = 0;
    std::wstring host;
    int port = 0;
    std::wstring user;
    std::wstring password;
};

std::wstring SettingsFile()
{
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(L"NVPC_PROXY_SETTINGS_FILE", buf, ARRAYSIZE(buf));
    if (n > 0 && n < ARRAYSIZE(buf))
        return buf;
    wchar_t folder[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                folder)))
        return std::wstring();
    std::wstring path = std::wstring(folder) + L"\\NvpcProxySettings";
    CreateDirectoryW(path.c_str(), nullptr);
    return path + L"\\ProxySettings.ini";
}

std::wstring ReadText(const std::wstring& file, const wchar_t* key)
{
    wchar_t buf[1024];
    DWORD n = GetPrivateProfileStringW(kSection, key, L"", buf, ARRAYSIZE(buf), file.c_str());
    return std::wstring(buf, n);
}

Settings LoadSettings()
{
    Settings s;
    std::wstring file = SettingsFile();
    if (file.empty())
        return s;
    s.type = static_cast<int>(GetPrivateProfileIntW(kSection, L"Type", 0, file.c_str()));
    int port = static_cast<int>(GetPrivateProfileIntW(kSection, L"Port", 0, file.c_str()));
    s.port = (port >= 0 && port <= 65535) ? port : 0;
    s.host = ReadText(file, L"Host");
    s.user = ReadText(file, L"User");
    s.password = ReadText(file, L"Password");
    return s;
}

bool WriteText(const std::wstring& file, const wchar_t* key, const std::wstring& value)
{
    // Quoted, so leading and trailing blanks and quotes survive the INI reader.
    std::wstring quoted = L"\"" + value + L"\"";
    return WritePrivateProfileStringW(kSection, key, quoted.c_str(), file.c_str()) != FALSE;
}

bool SaveSettings(const Settings& s)
{
    std::wstring file = SettingsFile();
    if (file.empty())
        return false;
    // A new file starts with a UTF-16 byte order mark, so the INI functions keep every
    // character instead of converting to the ANSI code page.
    HANDLE h =
        CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE)
    {
        const unsigned char bom[2] = {0xFF, 0xFE};
        DWORD written = 0;
        WriteFile(h, bom, sizeof bom, &written, nullptr);
        CloseHandle(h);
    }
    wchar_t number[16];
    _snwprintf(number, ARRAYSIZE(number) - 1, L"%d", s.type);
    number[ARRAYSIZE(number) - 1] = 0;
    bool ok = WritePrivateProfileStringW(kSection, L"Type", number, file.c_str()) != FALSE;
    _snwprintf(number, ARRAYSIZE(number) - 1, L"%d", s.port);
    ok = ok && WritePrivateProfileStringW(kSection, L"Port", number, file.c_str()) != FALSE;
    ok = ok && WriteText(file, L"Host", s.host);
    ok = ok && WriteText(file, L"User", s.user);
    ok = ok && WriteText(file, L"Password", s.password);
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, file.c_str()); // flush
    return ok;
}

// ---- Settings dialog ----

struct TypeChoice
{
    int type;
    const wchar_t* label;
};
const TypeChoice kTypes[] = {
    {0, L"No proxy (direct connection)"},
    {1, L"HTTP proxy (CONNECT)"},
    {4, L"SOCKS 4"},
    {5, L"SOCKS 5"},
};

std::wstring DlgText(HWND dlg, int id)
{
    HWND item = GetDlgItem(dlg, id);
    int n = GetWindowTextLengthW(item);
    std::wstring text(n + 1, L'\0');
    n = GetWindowTextW(item, &text[0], n + 1);
    text.resize(n > 0 ? n : 0);
    return text;
}

void InitDialog(HWND dlg, const Settings& s)
{
    HWND combo = GetDlgItem(dlg, IDC_PROXY_TYPE);
    int selected = -1;
    for (const TypeChoice& c : kTypes)
    {
        int index = static_cast<int>(SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(c.label)));
        SendMessageW(combo, CB_SETITEMDATA, index, c.type);
        if (c.type == s.type)
            selected = index;
    }
    if (selected < 0)
    {
        // A value stored by someone else is kept, not silently turned into "direct".
        wchar_t label[48];
        _snwprintf(label, ARRAYSIZE(label) - 1, L"Other (%d)", s.type);
        label[ARRAYSIZE(label) - 1] = 0;
        selected = static_cast<int>(SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label)));
        SendMessageW(combo, CB_SETITEMDATA, selected, s.type);
    }
    SendMessageW(combo, CB_SETCURSEL, selected, 0);
    const int texts[] = {IDC_PROXY_HOST, IDC_PROXY_USER, IDC_PROXY_PASSWORD};
    for (int id : texts)
        SendDlgItemMessageW(dlg, id, EM_LIMITTEXT, kMaxText, 0);
    SendDlgItemMessageW(dlg, IDC_PROXY_PORT, EM_LIMITTEXT, 5, 0);
    SetDlgItemTextW(dlg, IDC_PROXY_HOST, s.host.c_str());
    if (s.port)
        SetDlgItemInt(dlg, IDC_PROXY_PORT, s.port, FALSE);
    SetDlgItemTextW(dlg, IDC_PROXY_USER, s.user.c_str());
    SetDlgItemTextW(dlg, IDC_PROXY_PASSWORD, s.password.c_str());
}

void Refuse(HWND dlg, int id, const wchar_t* text)
{
    MessageBoxW(dlg, text, L"Proxy Connection Settings", MB_OK | MB_ICONWARNING);
    SetFocus(GetDlgItem(dlg, id));
}

// Reads the dialog into s; false (with a message) when a value is unusable.
bool ReadDialog(HWND dlg, Settings& s)
{
    HWND combo = GetDlgItem(dlg, IDC_PROXY_TYPE);
    LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    int type = index >= 0 ? static_cast<int>(SendMessageW(combo, CB_GETITEMDATA, index, 0)) : 0;
    std::wstring host = DlgText(dlg, IDC_PROXY_HOST);
    std::wstring portText = DlgText(dlg, IDC_PROXY_PORT);
    int port = 0;
    if (!portText.empty())
    {
        bool digits = portText.size() <= 5 && portText.find_first_not_of(L"0123456789") == std::wstring::npos;
        port = digits ? _wtoi(portText.c_str()) : -1;
        if (port < 0 || port > 65535)
        {
            Refuse(dlg, IDC_PROXY_PORT, L"The port must be a number from 1 to 65535.");
            return false;
        }
    }
    if (type != 0 && host.empty())
    {
        Refuse(dlg, IDC_PROXY_HOST, L"Enter the proxy host name or address.");
        return false;
    }
    if (type != 0 && port == 0)
    {
        Refuse(dlg, IDC_PROXY_PORT, L"The port must be a number from 1 to 65535.");
        return false;
    }
    s.type = type;
    s.host = host;
    s.port = port;
    s.user = DlgText(dlg, IDC_PROXY_USER);
    s.password = DlgText(dlg, IDC_PROXY_PASSWORD);
    return true;
}

INT_PTR CALLBACK SettingsDialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    try
    {
        switch (msg)
        {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dlg, DWLP_USER, lParam);
            InitDialog(dlg, *reinterpret_cast<Settings*>(lParam));
            SetForegroundWindow(dlg);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK)
            {
                Settings* s = reinterpret_cast<Settings*>(GetWindowLongPtrW(dlg, DWLP_USER));
                if (s && ReadDialog(dlg, *s))
                    EndDialog(dlg, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL)
            {
                EndDialog(dlg, IDCANCEL);
                return TRUE;
            }
            break;
        }
    }
    catch (...)
    {
        EndDialog(dlg, -1);
        return TRUE;
    }
    return FALSE;
}

// ---- COM object ----

// Live objects, factories and server locks: the DLL may go when none is left.
struct DllTag;
typedef CountingModuleLock<DllTag> DllLock;

class CProxySettings : public DispatchImpl<INvpcProxySettings>
{
  public:
    using Interfaces = ComInterfaces<INvpcProxySettings, IDispatch>;
    using ModuleLock = DllLock;

    HRESULT STDMETHODCALLTYPE ShowSettings() override
    {
        return ComFirewall(
            []() -> HRESULT
            {
                Settings s = LoadSettings();
                INT_PTR r = DialogBoxParamW(g_module, MAKEINTRESOURCEW(IDD_PROXY_SETTINGS), GetActiveWindow(),
                                            SettingsDialogProc, reinterpret_cast<LPARAM>(&s));
                if (r == -1)
                    return E_FAIL;
                if (r != IDOK)
                    return S_FALSE;
                if (!SaveSettings(s))
                {
                    MessageBoxW(nullptr, L"The proxy settings could not be saved.",
                                L"Proxy Connection Settings", MB_OK | MB_ICONERROR);
                    return E_FAIL;
                }
                return S_OK;
            });
    }
    HRESULT STDMETHODCALLTYPE GetSettings(short* type, BSTR* host, short* port, BSTR* user,
                                          BSTR* password) override
    {
        if (!type || !host || !port || !user || !password)
            return E_POINTER;
        *host = *user = *password = nullptr;
        *type = *port = 0;
        return ComFirewall(
            [&]
            {
                Settings s = LoadSettings();
                // All three strings or none: the owners free what was made when one fails.
                UniqueBstr h = UniqueBstr::Copy(s.host), u = UniqueBstr::Copy(s.user),
                           p = UniqueBstr::Copy(s.password);
                *type = static_cast<short>(s.type);
                *port = static_cast<short>(static_cast<unsigned short>(s.port)); // ports above 32767 wrap
                *host = h.release();
                *user = u.release();
                *password = p.release();
            });
    }
};

// Its references keep the DLL loaded, as do LockServer's.
typedef ComClassFactory<CProxySettings, DllLock, DllLock> CProxySettingsFactory;

// ---- Registration (per machine: HKLM\Software\Classes is what HKCR serves) ----

bool SetValue(HKEY root, const std::wstring& subkey, const wchar_t* name, const std::wstring& value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}
} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_NvpcProxySettings))
        return CLASS_E_CLASSNOTAVAILABLE;
    return CreateComInstance<CProxySettingsFactory>(riid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return DllLock::Count() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    return ComFirewall(
        []() -> HRESULT
        {
            std::wstring path = ModulePath(g_module);
            if (path.empty())
                return SELFREG_E_CLASS;
            std::wstring base = kClsidKey;
            if (!SetValue(HKEY_LOCAL_MACHINE, base, nullptr, L"Norvane proxy settings") ||
                !SetValue(HKEY_LOCAL_MACHINE, base + L"\\InprocServer32", nullptr, path) ||
                !SetValue(HKEY_LOCAL_MACHINE, base + L"\\InprocServer32", L"ThreadingModel", L"Apartment") ||
                !SetValue(HKEY_LOCAL_MACHINE, base + L"\\TypeLib", nullptr,
                          L"{533AA34D-2094-4C1F-B8F5-73F63E0BBFD9}"))
                return SELFREG_E_CLASS;
            ComPtr<ITypeLib> lib;
            HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put());
            if (SUCCEEDED(hr))
                hr = RegisterTypeLib(lib.get(), &path[0], nullptr);
            return SUCCEEDED(hr) ? S_OK : SELFREG_E_TYPELIB;
        });
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    // Missing keys are fine: unregistering twice is not an error.
    LONG r = SHDeleteKeyW(HKEY_LOCAL_MACHINE, kClsidKey);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        return SELFREG_E_CLASS;
    HKEY lib = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTypeLibKey, 0, KEY_READ, &lib) != ERROR_SUCCESS)
        return S_OK;
    RegCloseKey(lib);
    // The library was registered for the kind of this build (widl compiles it for the same).
#ifdef _WIN64
    const SYSKIND kind = SYS_WIN64;
#else
    const SYSKIND kind = SYS_WIN32;
#endif
    HRESULT hr = UnRegisterTypeLib(LIBID_NvpcProxySettingsLib, 1, 0, LOCALE_NEUTRAL, kind);
    return SUCCEEDED(hr) ? S_OK : SELFREG_E_TYPELIB;
}
