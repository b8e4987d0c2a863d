// The plug-in library loaded as a browser loads it: its entry points' table and instance
// checks, the scripting object's answers to page script of every shape, and the references
// and memory it gives back. A stand-in loader control, registered in this process for the
// control's class, records what reaches it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "NVPCUpdater_i.h"
#include "NpBrowser.h"

namespace
{
const CLSID kLoaderClsid = {0xCD557F65, 0x9851, 0x450C, {0xAF, 0xF2, 0x50, 0x82, 0xE4, 0x1A, 0x5C, 0x82}};

// What reached stand-in loaders, as "Method value" lines (texts as UTF-8).
std::vector<std::string> g_calls;
long g_loadersAlive = 0;

std::string Utf8(const wchar_t* s, UINT n)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string out(bytes, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(n), &out[0], bytes, nullptr, nullptr);
    return out;
}

class StandInLoader : public INVPCLoader
{
  public:
    StandInLoader() { ++g_loadersAlive; }
    virtual ~StandInLoader() { --g_loadersAlive; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, __uuidof(INVPCLoader)))
        {
            *out = static_cast<INVPCLoader*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = --m_refs;
        if (!left)
            delete this;
        return left;
    }
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

    HRESULT STDMETHODCALLTYPE GetValidObject(VARIANT*) override { return Num("GetValidObject", 0); }
    HRESULT STDMETHODCALLTYPE SetPrimaryLangID(short v) override { return Num("SetPrimaryLangID", v); }
    HRESULT STDMETHODCALLTYPE SetTitle(BSTR s) override { return Text("SetTitle", s); }
    HRESULT STDMETHODCALLTYPE SetGroup(BSTR s) override { return Text("SetGroup", s); }
    HRESULT STDMETHODCALLTYPE SetCompanyCode(BSTR s) override { return Text("SetCompanyCode", s); }
    HRESULT STDMETHODCALLTYPE SetProductID(BSTR s) override { return Text("SetProductID", s); }
    HRESULT STDMETHODCALLTYPE SetFileName(BSTR s) override { return Text("SetFileName", s); }
    HRESULT STDMETHODCALLTYPE SetRegistURL(BSTR s) override { return Text("SetRegistURL", s); }
    HRESULT STDMETHODCALLTYPE SetUpgradeHost(BSTR s) override { return Text("SetUpgradeHost", s); }
    HRESULT STDMETHODCALLTYPE SetDNSHost(BSTR s) override { return Text("SetDNSHost", s); }
    HRESULT STDMETHODCALLTYPE SetDNSCode(BSTR s) override { return Text("SetDNSCode", s); }
    HRESULT STDMETHODCALLTYPE SetMSPort(unsigned short v) override { return Num("SetMSPort", v); }
    HRESULT STDMETHODCALLTYPE SetFSPort(unsigned short v) override { return Num("SetFSPort", v); }
    HRESULT STDMETHODCALLTYPE SetWSPort(unsigned short v) override { return Num("SetWSPort", v); }
    HRESULT STDMETHODCALLTYPE SetUpPort(unsigned short v) override { return Num("SetUpPort", v); }
    HRESULT STDMETHODCALLTYPE SetUserID(BSTR s) override { return Text("SetUserID", s); }
    HRESULT STDMETHODCALLTYPE SetAlias(BSTR s) override { return Text("SetAlias", s); }
    HRESULT STDMETHODCALLTYPE SetMeeterID(BSTR s) override { return Text("SetMeeterID", s); }
    HRESULT STDMETHODCALLTYPE SetRoomName(BSTR s) override { return Text("SetRoomName", s); }
    HRESULT STDMETHODCALLTYPE SetMaxUser(unsigned short v) override { return Num("SetMaxUser", v); }
    HRESULT STDMETHODCALLTYPE SetUserType(unsigned short v) override { return Num("SetUserType", v); }
    HRESULT STDMETHODCALLTYPE SetProductType(unsigned short v) override { return Num("SetProductType", v); }
    HRESULT STDMETHODCALLTYPE SetTimeOut(ULONG v) override { return Num("SetTimeOut", v); }
    HRESULT STDMETHODCALLTYPE GetCurVer(VARIANT*) override { return Num("GetCurVer", 0); }
    HRESULT STDMETHODCALLTYPE RunEx(BSTR s) override { return Text("RunEx", s); }
    HRESULT STDMETHODCALLTYPE SetRunType(ULONG v) override { return Num("SetRunType", v); }
    HRESULT STDMETHODCALLTYPE SetQueryType(ULONG v) override { return Num("SetQueryType", v); }

  private:
    HRESULT Num(const char* name, long long v)
    {
        g_calls.push_back(std::string(name) + " " + std::to_string(v));
        return E_FAIL; // the plug-in does not look at it
    }
    HRESULT Text(const char* name, BSTR s)
    {
        g_calls.push_back(std::string(name) + " " + Utf8(s, SysStringLen(s)));
        return E_FAIL;
    }
    ULONG m_refs = 1;
};

class StandInFactory : public IClassFactory
{
  public:
    bool available = true;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory))
        {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!available)
            return REGDB_E_CLASSNOTREG; // as when the server is not registered
        StandInLoader* loader = new StandInLoader;
        HRESULT hr = loader->QueryInterface(iid, out);
        loader->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

class PluginTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        ASSERT_EQ(CoRegisterClassObject(kLoaderClsid, &m_factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                        &m_cookie),
                  S_OK);
        g_calls.clear();
        browser.reset(new NpBrowser);
        ASSERT_TRUE(browser->Load(L"NPNVPCUpdater.dll"));
    }
    void TearDown() override
    {
        if (instance.pdata)
            browser->plugin.destroy(&instance, nullptr);
        browser.reset();
        CoRevokeClassObject(m_cookie);
        CoUninitialize();
    }

    // NP_GetEntryPoints, NP_Initialize and NPP_New on instance.
    void StartInstance()
    {
        ASSERT_EQ(browser->Start(), NPERR_NO_ERROR);
        char mime[] = "application/NPNVPCUpdater-plugin";
        ASSERT_EQ(browser->plugin.newp(mime, &instance, 1, 0, nullptr, nullptr, nullptr), NPERR_NO_ERROR);
    }
    NPObject* Scriptable()
    {
        NPObject* o = nullptr;
        EXPECT_EQ(browser->plugin.getvalue(&instance, NPPVpluginScriptableNPObject, &o), NPERR_NO_ERROR);
        return o;
    }

    std::unique_ptr<NpBrowser> browser;
    NPP_t instance = {};
    StandInFactory m_factory;
    DWORD m_cookie = 0;
};

TEST_F(PluginTest, EntryPointsCheckTableSizesAndTheMajorVersion)
{
    // The plug-in's table: refused below the set-value entry; filled up to it, nothing after.
    struct PluginCase
    {
        size_t size;
        NPError expected;
    } pluginCases[] = {{kNPPluginFuncsMinSize - 1, NPERR_INVALID_FUNCTABLE_ERROR},
                       {0, NPERR_INVALID_FUNCTABLE_ERROR},
                       {kNPPluginFuncsMinSize, NPERR_NO_ERROR},
                       {sizeof(NPPluginFuncs), NPERR_NO_ERROR}};
    for (const auto& c : pluginCases)
    {
        SCOPED_TRACE(c.size);
        NPPluginFuncs funcs = {};
        funcs.size = static_cast<uint16_t>(c.size);
        funcs.javaClass = &funcs;
        funcs.gotfocus = reinterpret_cast<NPP_GotFocusPtr>(&funcs);
        EXPECT_EQ(browser->getEntryPoints(&funcs), c.expected);
        if (c.expected != NPERR_NO_ERROR)
        {
            EXPECT_EQ(funcs.newp, nullptr);
            continue;
        }
        EXPECT_EQ(funcs.version, 22);
        for (void* entry :
             {(void*)funcs.newp, (void*)funcs.destroy, (void*)funcs.setwindow, (void*)funcs.newstream,
              (void*)funcs.destroystream, (void*)funcs.asfile, (void*)funcs.writeready, (void*)funcs.write,
              (void*)funcs.print, (void*)funcs.event, (void*)funcs.urlnotify, (void*)funcs.getvalue,
              (void*)funcs.setvalue})
            EXPECT_NE(entry, nullptr);
        EXPECT_EQ(funcs.javaClass, nullptr);
        EXPECT_EQ(reinterpret_cast<void*>(funcs.gotfocus), &funcs) << "nothing written past set-value";
    }
    EXPECT_EQ(browser->getEntryPoints(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);

    struct BrowserCase
    {
        size_t size;
        uint16_t version;
        NPError expected;
    } browserCases[] = {{sizeof(NPNetscapeFuncs), 22, NPERR_NO_ERROR},
                        {kNPNetscapeFuncsMinSize, 0x0013, NPERR_NO_ERROR},
                        {kNPNetscapeFuncsMinSize - 1, 22, NPERR_INVALID_FUNCTABLE_ERROR},
                        {kNPNetscapeFuncsCopiedSize, 22, NPERR_INVALID_FUNCTABLE_ERROR},
                        {sizeof(NPNetscapeFuncs), 0x0116, NPERR_INCOMPATIBLE_VERSION_ERROR},
                        {0, 0x0100, NPERR_INCOMPATIBLE_VERSION_ERROR}};
    for (const auto& c : browserCases)
    {
        SCOPED_TRACE(testing::Message() << c.size << " " << c.version);
        NPNetscapeFuncs funcs = browser->funcs;
        funcs.size = static_cast<uint16_t>(c.size);
        funcs.version = c.version;
        EXPECT_EQ(browser->initialize(&funcs), c.expected);
    }
    EXPECT_EQ(browser->initialize(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
    EXPECT_EQ(browser->shutdown(), NPERR_NO_ERROR);
}

TEST(PluginLibrary, VersionResourceNamesTheMimeTypeAndVersion)
{
    wchar_t path[MAX_PATH];
    HMODULE module = LoadLibraryW(L"NPNVPCUpdater.dll");
    ASSERT_NE(module, nullptr);
    ASSERT_GT(GetModuleFileNameW(module, path, MAX_PATH), 0u);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, data.data()));
    FreeLibrary(module);
    const wchar_t* expected[][2] = {{L"MIMEType", L"application/NPNVPCUpdater-plugin"},
                                    {L"FileExtents", L"nvpc"},
                                    {L"FileOpenName", L"Norvane4 launcher"},
                                    {L"FileDescription", L"Norvane4 launcher version 1.0.2.9"},
                                    {L"InternalName", L"NPNVPCUpdater"},
                                    {L"OriginalFilename", L"NPNVPCUpdater.dll"},
                                    {L"FileVersion", L"1.0.2.9"},
                                    {L"ProductVersion", L"1.0.2.9"}};
    for (const auto& e : expected)
    {
        std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + e[0];
        wchar_t* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            << Utf8(e[0], static_cast<UINT>(wcslen(e[0])));
        EXPECT_STREQ(value, e[1]);
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00020009u);
}

TEST_F(PluginTest, InstanceEntriesAnswerNullInstancesAndUnknownVariables)
{
    StartInstance();
    const NPPluginFuncs& p = browser->plugin;
    NPStream stream = {};
    uint16_t stype = 0;
    char mime[] = "application/NPNVPCUpdater-plugin";
    NPWindow window = {};
    void* value = nullptr;
    struct Case
    {
        const char* what;
        long answer;
        long expected;
    } cases[] = {
        {"new", p.newp(mime, nullptr, 1, 0, nullptr, nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR},
        {"destroy", p.destroy(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR},
        {"setwindow", p.setwindow(nullptr, &window), NPERR_INVALID_INSTANCE_ERROR},
        {"getvalue", p.getvalue(nullptr, NPPVpluginNameString, &value), NPERR_INVALID_INSTANCE_ERROR},
        {"newstream", p.newstream(nullptr, mime, &stream, 0, &stype), NPERR_INVALID_INSTANCE_ERROR},
        {"destroystream", p.destroystream(nullptr, &stream, 0), NPERR_INVALID_INSTANCE_ERROR},
        {"setvalue", p.setvalue(nullptr, NPNVWindowNPObject, &value), NPERR_INVALID_INSTANCE_ERROR},
        {"writeready null", p.writeready(nullptr, &stream), NPERR_INVALID_INSTANCE_ERROR},
        {"write null", p.write(nullptr, &stream, 0, 77, &value), NPERR_INVALID_INSTANCE_ERROR},
        {"event", p.event(nullptr, nullptr), 0},
        {"writeready", p.writeready(&instance, &stream), 0x0FFFFFFF},
        {"write", p.write(&instance, &stream, 10, 77, &value), 77},
        {"newstream", p.newstream(&instance, mime, &stream, 0, &stype), NPERR_NO_ERROR},
        {"setwindow null window", p.setwindow(&instance, nullptr), NPERR_GENERIC_ERROR},
        {"setwindow no handle", p.setwindow(&instance, &window), NPERR_NO_ERROR},
        {"window bool", p.getvalue(&instance, NPPVpluginWindowBool, &value), NPERR_GENERIC_ERROR},
        {"element object", p.getvalue(&instance, static_cast<NPPVariable>(16), &value), NPERR_GENERIC_ERROR},
        {"null out", p.getvalue(&instance, NPPVpluginNameString, nullptr), NPERR_GENERIC_ERROR},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.answer, c.expected) << c.what;

    const char* text = nullptr;
    ASSERT_EQ(p.getvalue(&instance, NPPVpluginNameString, &text), NPERR_NO_ERROR);
    EXPECT_STREQ(text, "NPNVPCUpdater");
    ASSERT_EQ(p.getvalue(&instance, NPPVpluginDescriptionString, &text), NPERR_NO_ERROR);
    EXPECT_STREQ(text, "NPNVPCUpdater web infterface plugin");

    // An instance the plug-in has no record for.
    NPP_t stranger = {};
    EXPECT_EQ(p.getvalue(&stranger, NPPVpluginNameString, &text), NPERR_GENERIC_ERROR);
    EXPECT_EQ(p.setwindow(&stranger, &window), NPERR_GENERIC_ERROR);
    EXPECT_EQ(p.destroy(&stranger, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(p.destroy(&instance, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(instance.pdata, nullptr);
}

struct InvokeCase
{
    const char* name;
    std::vector<NPVariant> args;
    bool answer;
    const char* forwarded; // what the control receives, or null for nothing
};

TEST_F(PluginTest, MethodsCheckAndConvertTheirArgumentsBeforeForwarding)
{
    StartInstance();
    NPObject* o = Scriptable();
    ASSERT_NE(o, nullptr);
    const std::string text1 = "Weekly meeting", text2 = "second", empty, accented = "Caf\xc3\xa9",
                      badUtf8 = "ab\xff\xfe", truncatedUtf8 = "ab\xe6\x97", fits(999, 'a'),
                      overAnsi(1000, 'a'), overWide(1024, 'a'), huge(1 << 20, 'b');
    NPVariant nullText = NpBrowser::String(empty);
    nullText.value.stringValue.UTF8Characters = nullptr;
    nullText.value.stringValue.UTF8Length = 5;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const InvokeCase cases[] = {
        {"SetMSPort", {NpBrowser::Double(7084.9)}, true, "SetMSPort 7084"},
        {"SetMSPort", {NpBrowser::Int(7001)}, true, "SetMSPort 7001"},
        {"SetMSPort", {NpBrowser::Int(70000)}, true, "SetMSPort 4464"},
        {"SetMSPort", {NpBrowser::String(std::string("7084"))}, false, nullptr},
        {"SetMSPort", {NpBrowser::Bool(true)}, false, nullptr},
        {"SetMSPort", {}, false, nullptr},
        {"SetTimeOut", {NpBrowser::Double(-1.9)}, true, "SetTimeOut 4294967295"},
        {"SetRunType", {NpBrowser::Double(4294967301.5)}, true, "SetRunType 5"},
        {"SetRunType", {NpBrowser::Double(nan)}, true, "SetRunType 0"},
        {"SetRunType", {NpBrowser::Double(1e300)}, true, "SetRunType 0"},
        {"SetQueryType", {NpBrowser::Int(-1)}, true, "SetQueryType 4294967295"},
        {"SetPrimaryLangID", {NpBrowser::Int(17)}, true, "SetPrimaryLangID 17"},
        {"SetPrimaryLangID", {NpBrowser::Int(0x18411)}, true, "SetPrimaryLangID -31727"},
        {"SetTitle", {NpBrowser::String(text1)}, true, "SetTitle Weekly meeting"},
        {"SetTitle", {NpBrowser::String(accented)}, true, "SetTitle Caf\xc3\xa9"},
        {"SetTitle", {NpBrowser::String(empty)}, true, "SetTitle "},
        {"SetTitle", {NpBrowser::Int(5)}, false, nullptr},
        {"SetTitle", {NpBrowser::Double(5.5)}, false, nullptr},
        {"SetTitle", {NpBrowser::Null()}, false, nullptr},
        {"SetTitle", {NpBrowser::Void()}, false, nullptr},
        {"SetTitle", {NpBrowser::Object(browser->windowObject)}, false, nullptr},
        {"SetTitle", {NpBrowser::String(text1), NpBrowser::String(text2)}, false, nullptr},
        {"SetTitle", {}, false, nullptr},
        {"SetTitle", {nullText}, false, nullptr},
        {"SetTitle", {NpBrowser::String(badUtf8)}, false, nullptr},
        {"SetTitle", {NpBrowser::String(truncatedUtf8)}, false, nullptr},
        {"SetRoomName", {NpBrowser::String(fits)}, true, nullptr}, // checked by length below
        {"SetRoomName", {NpBrowser::String(overAnsi)}, false, nullptr},
        {"SetRoomName", {NpBrowser::String(overWide)}, false, nullptr},
        {"SetRoomName", {NpBrowser::String(huge)}, false, nullptr},
        {"RunEx", {NpBrowser::String(text2)}, true, "RunEx second"},
        {"GetCurVer", {NpBrowser::Int(1), NpBrowser::Int(2), NpBrowser::Int(3)}, true, nullptr},
        {"GetValidObject", {}, true, nullptr},
        {"Initial", {NpBrowser::Int(1)}, false, nullptr},
        {"NoSuchMethod", {NpBrowser::Int(1)}, false, nullptr},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.name << " with " << c.args.size() << " argument(s)");
        g_calls.clear();
        NPVariant result = NpBrowser::Void();
        bool answer = o->_class->invoke(o, browser->Id(c.name), c.args.empty() ? nullptr : c.args.data(),
                                        static_cast<uint32_t>(c.args.size()), &result);
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(result.type, NPVariantType_Void) << "the methods give no result";
        if (c.forwarded)
        {
            EXPECT_EQ(g_calls, std::vector<std::string>{c.forwarded});
        }
        else if (std::string(c.name) == "SetRoomName" && c.answer)
        {
            EXPECT_EQ(g_calls, std::vector<std::string>{"SetRoomName " + fits});
        }
        else
        {
            EXPECT_TRUE(g_calls.empty());
        }
    }
    NpBrowser::ReleaseObject(o);
    EXPECT_EQ(browser->OutstandingAllocations(), 0u);
}

TEST_F(PluginTest, TextOutsideTheAnsiCodePageArrivesAsItsDefaultCharacter)
{
    if (GetACP() != 1252)
        GTEST_SKIP() << "needs a Western ANSI code page";
    StartInstance();
    NPObject* o = Scriptable();
    ASSERT_NE(o, nullptr);
    const std::string text = "A\xe6\x97\xa5"
                             "B"; // U+65E5 between two letters
    NPVariant arg = NpBrowser::String(text), result = NpBrowser::Void();
    EXPECT_TRUE(o->_class->invoke(o, browser->Id("SetGroup"), &arg, 1, &result));
    EXPECT_EQ(g_calls, std::vector<std::string>{"SetGroup A?B"});
    NpBrowser::ReleaseObject(o);
}

TEST_F(PluginTest, PropertiesDefaultMethodAndConstructableObjects)
{
    StartInstance();
    NPObject* o = Scriptable();
    ASSERT_NE(o, nullptr);
    NPClass* cls = o->_class;
    EXPECT_EQ(cls->structVersion, 3u);

    struct PropertyCase
    {
        const char* name;
        bool has;
        bool setAnswer;
    } properties[] = {{"Initial", true, true},
                      {"PluginType", true, false},
                      {"SetTitle", false, false},
                      {"initial", false, false}};
    NPVariant five = NpBrowser::Int(5);
    for (const auto& c : properties)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cls->hasProperty(o, browser->Id(c.name)), c.has);
        EXPECT_EQ(cls->setProperty(o, browser->Id(c.name), &five), c.setAnswer);
        EXPECT_FALSE(cls->removeProperty(o, browser->Id(c.name)));
    }
    for (int i = 0; i < 3; ++i)
    {
        NPVariant value = NpBrowser::Void();
        ASSERT_TRUE(cls->getProperty(o, browser->Id("Initial"), &value));
        EXPECT_EQ(value.type, NPVariantType_Int32);
        EXPECT_EQ(value.value.intValue, 17) << "writing does not change it";
    }
    NPVariant none = NpBrowser::Void();
    EXPECT_FALSE(cls->getProperty(o, browser->Id("Other"), &none));
    NPIdentifier* names = nullptr;
    uint32_t count = 0;
    EXPECT_FALSE(cls->enumerate(o, &names, &count));
    EXPECT_FALSE(cls->construct(o, nullptr, 0, &none));

    // PluginType: a new object each time, which constructs more of its kind.
    size_t before = browser->LiveObjects();
    NPVariant type = NpBrowser::Void();
    ASSERT_TRUE(cls->getProperty(o, browser->Id("PluginType"), &type));
    ASSERT_EQ(type.type, NPVariantType_Object);
    NPObject* t = type.value.objectValue;
    EXPECT_EQ(browser->RefCount(t), 1u);
    NPVariant made = NpBrowser::Void();
    ASSERT_TRUE(t->_class->construct(t, nullptr, 0, &made));
    ASSERT_EQ(made.type, NPVariantType_Object);
    EXPECT_NE(made.value.objectValue, t);
    EXPECT_FALSE(t->_class->hasMethod(t, browser->Id("SetTitle")));
    EXPECT_FALSE(t->_class->invoke(t, browser->Id("SetTitle"), nullptr, 0, &none));
    EXPECT_EQ(browser->LiveObjects(), before + 2);
    NpBrowser::ReleaseVariantValue(&made);
    NpBrowser::ReleaseVariantValue(&type);
    EXPECT_EQ(browser->LiveObjects(), before);

    // The default method: its string is the browser's to free.
    for (size_t argc : {0u, 2u})
    {
        NPVariant args[2] = {NpBrowser::Int(1), NpBrowser::Null()};
        NPVariant result = NpBrowser::Void();
        ASSERT_TRUE(cls->invokeDefault(o, args, static_cast<uint32_t>(argc), &result));
        ASSERT_EQ(result.type, NPVariantType_String);
        EXPECT_EQ(std::string(result.value.stringValue.UTF8Characters, result.value.stringValue.UTF8Length),
                  "default method return val");
        EXPECT_EQ(browser->OutstandingAllocations(), 1u);
        NpBrowser::ReleaseVariantValue(&result);
        EXPECT_EQ(browser->OutstandingAllocations(), 0u);
    }
    NpBrowser::ReleaseObject(o);
}

TEST_F(PluginTest, MethodsExistOnlyWithTheControlWhilePropertiesAlwaysWork)
{
    const char* methods[] = {"GetValidObject", "SetPrimaryLangID", "SetTitle",    "SetGroup",
                             "SetCompanyCode", "SetProductID",     "SetFileName", "SetRegistURL",
                             "SetUpgradeHost", "SetDNSHost",       "SetDNSCode",  "SetMSPort",
                             "SetFSPort",      "SetWSPort",        "SetUpPort",   "SetUserID",
                             "SetAlias",       "SetMeeterID",      "SetRoomName", "SetMaxUser",
                             "SetUserType",    "SetProductType",   "SetTimeOut",  "GetCurVer",
                             "RunEx",          "SetRunType",       "SetQueryType"};
    for (bool available : {true, false})
    {
        SCOPED_TRACE(available ? "control created" : "control not registered");
        m_factory.available = available;
        StartInstance();
        NPObject* o = Scriptable();
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(g_loadersAlive, available ? 1 : 0);
        for (const char* m : methods)
            EXPECT_EQ(o->_class->hasMethod(o, browser->Id(m)), available) << m;
        EXPECT_FALSE(o->_class->hasMethod(o, browser->Id("Initial")));
        EXPECT_FALSE(o->_class->hasMethod(o, browser->Id("Foo")));
        NPVariant value = NpBrowser::Void();
        ASSERT_TRUE(o->_class->getProperty(o, browser->Id("Initial"), &value));
        EXPECT_EQ(value.value.intValue, 17);
        NPVariant port = NpBrowser::Int(7084);
        g_calls.clear();
        EXPECT_TRUE(o->_class->invoke(o, browser->Id("SetMSPort"), &port, 1, &value));
        EXPECT_EQ(g_calls.size(), available ? 1u : 0u);
        NpBrowser::ReleaseObject(o);
        EXPECT_EQ(browser->plugin.destroy(&instance, nullptr), NPERR_NO_ERROR);
        EXPECT_EQ(g_loadersAlive, 0);
    }
}

TEST_F(PluginTest, StartCallsEventLoadBeforeTheElementOffersItsObject)
{
    struct Case
    {
        NpBrowser::Page page;
        int eventLoadCalls;
        size_t scripts;
    } cases[] = {{NpBrowser::Page::WithEventLoad, 1, 1},
                 {NpBrowser::Page::WithoutEventLoad, 0, 1},
                 {NpBrowser::Page::NoWindowObject, 0, 0}};
    ASSERT_EQ(browser->Start(), NPERR_NO_ERROR);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(static_cast<int>(c.page));
        browser->page = c.page;
        browser->scripts.clear();
        browser->eventLoadCalls = 0;
        NPError during = -1;
        browser->onEventLoad = [&](NPP npp)
        {
            NPObject* o = nullptr;
            during = browser->plugin.getvalue(npp, NPPVpluginScriptableNPObject, &o);
            EXPECT_EQ(o, nullptr);
        };
        char mime[] = "application/NPNVPCUpdater-plugin";
        ASSERT_EQ(browser->plugin.newp(mime, &instance, 1, 0, nullptr, nullptr, nullptr), NPERR_NO_ERROR);
        EXPECT_EQ(browser->eventLoadCalls, c.eventLoadCalls);
        EXPECT_EQ(browser->scriptErrors, 0);
        ASSERT_EQ(browser->scripts.size(), c.scripts);
        if (c.scripts)
        {
            EXPECT_EQ(browser->scripts[0], "try{eventLoad()} catch(e) {} void(0);");
        }
        if (c.eventLoadCalls)
        {
            EXPECT_EQ(during, NPERR_GENERIC_ERROR) << "no scripting object while eventLoad runs";
        }
        EXPECT_NE(instance.pdata, nullptr);
        EXPECT_EQ(browser->plugin.destroy(&instance, nullptr), NPERR_NO_ERROR);
        EXPECT_EQ(browser->RefCount(browser->windowObject), 1u);
    }
}

TEST_F(PluginTest, ReferencesAndMemoryBalanceAtDestroy)
{
    ASSERT_EQ(browser->Start(), NPERR_NO_ERROR);
    HWND hwnd = CreateWindowExW(0, L"STATIC", L"page", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    NPWindow window = {};
    window.window = hwnd;

    // Two instances of one page at once, ended in either order: each gives back the window
    // object it took, and the browser's references decide when the control goes.
    for (bool firstEndsFirst : {true, false})
    {
        SCOPED_TRACE(firstEndsFirst);
        NPP_t instances[2] = {};
        NPObject* objects[2] = {};
        char mime[] = "application/NPNVPCUpdater-plugin";
        for (int i = 0; i < 2; ++i)
        {
            ASSERT_EQ(browser->plugin.newp(mime, &instances[i], 1, 0, nullptr, nullptr, nullptr),
                      NPERR_NO_ERROR);
            EXPECT_EQ(browser->plugin.setwindow(&instances[i], &window), NPERR_NO_ERROR);
            NPObject* again = nullptr;
            ASSERT_EQ(browser->plugin.getvalue(&instances[i], NPPVpluginScriptableNPObject, &objects[i]), 0);
            ASSERT_EQ(browser->plugin.getvalue(&instances[i], NPPVpluginScriptableNPObject, &again), 0);
            EXPECT_EQ(again, objects[i]) << "one object per instance";
            EXPECT_EQ(browser->RefCount(objects[i]), 3u) << "the instance's and two for the browser";
            NpBrowser::ReleaseObject(again);
        }
        EXPECT_EQ(browser->RefCount(browser->windowObject), 3u);
        EXPECT_EQ(g_loadersAlive, 2);
        // A constructable object the page keeps past its instance's end.
        NPVariant kept = NpBrowser::Void();
        ASSERT_TRUE(objects[0]->_class->getProperty(objects[0], browser->Id("PluginType"), &kept));
        NPObject* type = kept.value.objectValue;
        int order[2] = {firstEndsFirst ? 0 : 1, firstEndsFirst ? 1 : 0};
        for (int i : order)
        {
            EXPECT_EQ(browser->plugin.destroy(&instances[i], nullptr), NPERR_NO_ERROR);
            EXPECT_EQ(browser->RefCount(objects[i]), 1u) << "only the browser's reference is left";
            // Held objects never hand the ended instance back to the browser.
            NPVariant none = NpBrowser::Void();
            size_t live = browser->LiveObjects();
            EXPECT_FALSE(objects[i]->_class->getProperty(objects[i], browser->Id("PluginType"), &none));
            EXPECT_EQ(type->_class->construct(type, nullptr, 0, &none), i == 1 && firstEndsFirst == false)
                << "the type object belongs to the first instance";
            EXPECT_EQ(browser->LiveObjects(), live + (i == 1 && !firstEndsFirst ? 1 : 0));
            if (none.type == NPVariantType_Object)
                NpBrowser::ReleaseVariantValue(&none);
        }
        NpBrowser::ReleaseVariantValue(&kept);
        EXPECT_EQ(browser->RefCount(browser->windowObject), 1u) << "every window reference given back";
        EXPECT_EQ(g_loadersAlive, 2) << "the browser still holds the objects";
        for (NPObject* o : objects)
            NpBrowser::ReleaseObject(o);
        EXPECT_EQ(g_loadersAlive, 0);
        EXPECT_EQ(browser->LiveObjects(), 1u) << "only the window object remains";
        EXPECT_EQ(browser->OutstandingAllocations(), 0u);
    }
    DestroyWindow(hwnd);
}
} // namespace
