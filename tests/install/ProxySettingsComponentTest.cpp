// The proxy settings component as the programs see it through COM: registration, the
// settings it answers (through the vtable and through IDispatch), and its dialog.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/ProxySettings.h"
#include "install/ProxyComponentGuard.h"
#include "support/TestSupport.h"

namespace
{
const wchar_t kClsidKey[] = L"Software\\Classes\\CLSID\\{670EAF1F-C353-4CC6-927F-E435F84B0EF3}";
const wchar_t kTypeLibKey[] = L"Software\\Classes\\TypeLib\\{533AA34D-2094-4C1F-B8F5-73F63E0BBFD9}";
const wchar_t kInterfaceKey[] = L"Software\\Classes\\Interface\\{A650AA60-81C4-420A-9AF0-F1CEE3A22F1E}";

bool KeyExists(const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::wstring ReadString(const std::wstring& path, const wchar_t* name)
{
    wchar_t buf[MAX_PATH * 2] = {};
    DWORD size = sizeof buf - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size) !=
        ERROR_SUCCESS)
        return L"<none>";
    return buf;
}

class Component : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        ASSERT_TRUE(registration.Register());
    }
    void TearDown() override { CoUninitialize(); }
    void WriteSettings(const std::wstring& ini) { ASSERT_TRUE(WriteUtf16File(settingsFile.file(), ini)); }
    ProxyComponentGuard registration;
    ProxySettingsFileGuard settingsFile;
};

// A dialog of this thread owned by owner, or null.
HWND OwnedDialog(HWND owner)
{
    for (HWND dialog : ThreadDialogs())
        if (GetWindow(dialog, GW_OWNER) == owner)
            return dialog;
    return nullptr;
}
} // namespace

TEST_F(Component, RegistersPerMachineAndUnregistersCleanly)
{
    std::wstring dll = ModuleFolder() + L"\\NvpcProxySettings.dll";
    EXPECT_EQ(
        _wcsicmp(ReadString(std::wstring(kClsidKey) + L"\\InprocServer32", nullptr).c_str(), dll.c_str()), 0);
    EXPECT_EQ(ReadString(std::wstring(kClsidKey) + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_TRUE(KeyExists(kTypeLibKey));
    EXPECT_TRUE(KeyExists(kInterfaceKey));

    ASSERT_TRUE(registration.Unregister());
    EXPECT_FALSE(KeyExists(kClsidKey));
    EXPECT_FALSE(KeyExists(kTypeLibKey));
    EXPECT_FALSE(KeyExists(kInterfaceKey));
    INvpcProxySettings* component = nullptr;
    EXPECT_EQ(CreateProxySettings(&component), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(component, nullptr);
    EXPECT_TRUE(registration.Unregister()) << "unregistering twice is no error";
}

TEST_F(Component, AnswersTheStoredSettingsExactly)
{
    {
        // Nothing stored yet: a direct connection.
        ProxySettingsValues values;
        values.host = L"old";
        EXPECT_EQ(ReadProxySettings(values), S_OK);
        EXPECT_EQ(values.type, 0);
        EXPECT_EQ(values.host, L"");
        EXPECT_EQ(values.port, 0);
    }
    WriteSettings(L"[Proxy]\r\nType=5\r\nHost=\"h\u00f6st.\u4f8b\"\r\nPort=40000\r\nUser=\" u \"\r\n"
                  L"Password=\"\"quoted\"\"\r\n");
    ProxySettingsValues values;
    EXPECT_EQ(ReadProxySettings(values), S_OK);
    EXPECT_EQ(values.type, 5);
    EXPECT_EQ(values.host, L"h\u00f6st.\u4f8b");
    EXPECT_EQ(static_cast<unsigned short>(values.port), 40000) << "ports above 32767 travel as 16 bits";
    EXPECT_EQ(values.user, L" u ");
    EXPECT_EQ(values.password, L"\"quoted\"");
}

TEST_F(Component, ServesIDispatchFromItsTypeLibrary)
{
    WriteSettings(L"[Proxy]\r\nType=1\r\nHost=\"10.0.0.1\"\r\nPort=8080\r\nUser=\"u\"\r\nPassword=\"p\"\r\n");
    INvpcProxySettings* component = nullptr;
    ASSERT_EQ(CreateProxySettings(&component), S_OK);
    ASSERT_TRUE(component);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(component->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    component->Release();

    const wchar_t* names[] = {L"ShowSettings", L"GetSettings", L"Nothing"};
    DISPID ids[3] = {};
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&names[i]), 1, 0, &ids[i]), S_OK);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], 2);
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&names[2]), 1, 0, &ids[2]),
              DISP_E_UNKNOWNNAME);

    ITypeInfo* info = nullptr;
    ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &info), S_OK);
    BSTR name = nullptr;
    EXPECT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name, L"INvpcProxySettings");
    SysFreeString(name);
    // The programs call through the vtable: after the seven IUnknown and IDispatch slots,
    // ShowSettings(), then GetSettings(short*, BSTR*, short*, BSTR*, BSTR*).
    ITypeInfo* vtable = info;
    HREFTYPE dual = 0;
    if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &dual)))
        ASSERT_EQ(info->GetRefTypeInfo(dual, &vtable), S_OK);
    else
        vtable->AddRef();
    const VARTYPE expectedArgs[] = {VT_I2, VT_BSTR, VT_I2, VT_BSTR, VT_BSTR};
    for (int i = 0; i < 2; ++i)
    {
        SCOPED_TRACE(i);
        FUNCDESC* f = nullptr;
        ASSERT_EQ(vtable->GetFuncDesc(i, &f), S_OK);
        EXPECT_EQ(f->memid, ids[i]);
        EXPECT_EQ(f->oVft, static_cast<SHORT>((7 + i) * sizeof(void*)));
        EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
        ASSERT_EQ(f->cParams, i == 0 ? 0 : 5);
        for (int a = 0; a < f->cParams; ++a)
        {
            const TYPEDESC& t = f->lprgelemdescParam[a].tdesc;
            ASSERT_EQ(t.vt, VT_PTR);
            EXPECT_EQ(t.lptdesc->vt, expectedArgs[a]) << "argument " << a;
            EXPECT_TRUE(f->lprgelemdescParam[a].paramdesc.wParamFlags & PARAMFLAG_FOUT);
        }
        vtable->ReleaseFuncDesc(f);
    }
    vtable->Release();
    info->Release();

    // Arguments travel in reverse order.
    short type = 0, port = 0;
    BSTR host = nullptr, user = nullptr, password = nullptr;
    VARIANTARG args[5];
    args[4].vt = VT_BYREF | VT_I2;
    args[4].piVal = &type;
    args[3].vt = VT_BYREF | VT_BSTR;
    args[3].pbstrVal = &host;
    args[2].vt = VT_BYREF | VT_I2;
    args[2].piVal = &port;
    args[1].vt = VT_BYREF | VT_BSTR;
    args[1].pbstrVal = &user;
    args[0].vt = VT_BYREF | VT_BSTR;
    args[0].pbstrVal = &password;
    DISPPARAMS params = {args, nullptr, 5, 0};
    EXPECT_EQ(dispatch->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(type, 1);
    EXPECT_STREQ(host, L"10.0.0.1");
    EXPECT_EQ(port, 8080);
    EXPECT_STREQ(user, L"u");
    EXPECT_STREQ(password, L"p");
    SysFreeString(host);
    SysFreeString(user);
    SysFreeString(password);

    // ShowSettings through IDispatch shows the same dialog.
    bool shown = false;
    UiScript script;
    script.Add(L"settings shown",
               ClickWhenShown(kProxySettingsCaption, IDCANCEL, [&](HWND) { shown = true; }));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_TRUE(
        SUCCEEDED(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr)));
    EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
    EXPECT_TRUE(shown);
    dispatch->Release();
}

TEST_F(Component, DialogRefusesIncompleteInputAndKeepsUnknownTypes)
{
    WriteSettings(L"[Proxy]\r\nType=0\r\nHost=\"\"\r\nPort=0\r\n");
    INvpcProxySettings* component = nullptr;
    ASSERT_EQ(CreateProxySettings(&component), S_OK);
    ASSERT_TRUE(component);

    int refusals = 0;
    HWND settings = nullptr;
    auto expectRefusal = [&]
    {
        HWND warning = OwnedDialog(settings);
        if (!warning)
            return false;
        ++refusals;
        ClickButton(warning, IDOK);
        return true;
    };
    UiScript script;
    // Once the warning is gone: fill in, then click.
    auto next = [&](const wchar_t* host, const wchar_t* port, int button) -> UiScript::Step
    {
        return [&settings, host, port, button]
        {
            if (!IsWindow(settings) || OwnedDialog(settings))
                return false;
            if (host)
                SetDlgItemTextW(settings, IDC_PROXY_HOST, host);
            if (port)
                SetDlgItemTextW(settings, IDC_PROXY_PORT, port);
            ClickButton(settings, button);
            return true;
        };
    };
    script.Add(L"settings shown",
               [&]
               {
                   settings = FindThreadWindow(L"#32770", kProxySettingsCaption);
                   if (!settings)
                       return false;
                   SelectProxyType(settings, 1);
                   return true;
               });
    script.Add(L"HTTP without a host", next(nullptr, L"8080", IDOK));
    script.Add(L"no host refused", expectRefusal);
    script.Add(L"bad port", next(L"proxy", L"70000", IDOK));
    script.Add(L"bad port refused", expectRefusal);
    script.Add(L"cancel", next(nullptr, nullptr, IDCANCEL));
    EXPECT_EQ(component->ShowSettings(), S_FALSE);
    EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
    EXPECT_EQ(refusals, 2);
    ProxySettingsValues values;
    EXPECT_EQ(ReadProxySettings(values), S_OK);
    EXPECT_EQ(values.type, 0) << "nothing was saved";

    // A type this dialog does not offer survives an OK unchanged.
    WriteSettings(L"[Proxy]\r\nType=2\r\nHost=\"h\"\r\nPort=81\r\n");
    UiScript again;
    again.Add(L"settings shown", ClickWhenShown(kProxySettingsCaption, IDOK));
    EXPECT_EQ(component->ShowSettings(), S_OK);
    EXPECT_FALSE(again.failed()) << WideToUtf8(again.failedStep());
    EXPECT_EQ(ReadProxySettings(values), S_OK);
    EXPECT_EQ(values.type, 2);
    EXPECT_EQ(values.host, L"h");
    EXPECT_EQ(values.port, 81);
    component->Release();
}
