// The loader control in this process, as a page reaches it: every method by name through
// IDispatch, the type library's slots and DISPIDs, the interfaces it answers, the event
// fired by GetCurVer, object safety, aggregation and its life with an open dialog.
#include <gtest/gtest.h>
#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "NVPCUpdater_i.h"
#include "common/BstrVariant.h"
#include "common/ComObject.h"
#include "install/ProxyComponentGuard.h"
#include "params/Param.h"
#include "support/TestSupport.h"
#include "ui/SkinSet.h"
#include "ui/StringTable.h"
#include "ui/WorkflowDlg.h"
#include "updater/NVPCLoader.h"
#include "updater/NVPCUpdaterModule.h"

namespace
{
struct ControlsTag;
typedef CountingModuleLock<ControlsTag> ControlsLock;
// {763B5762-15B6-4106-95B7-EF60176E4356}
const GUID kLibId = {0x763B5762, 0x15B6, 0x4106, {0x95, 0xB7, 0xEF, 0x60, 0x17, 0x6E, 0x43, 0x56}};

ComPtr<INVPCLoader> NewControl()
{
    ComPtr<INVPCLoader> control;
    EXPECT_EQ(CreateNVPCLoader<ControlsLock>(nullptr, __uuidof(INVPCLoader), control.put_void()), S_OK);
    return control;
}

const CParam& RecordOf(const ComPtr<INVPCLoader>& control)
{
    return static_cast<CNVPCLoader*>(control.get())->Param();
}

// A page's call: the name looked up, then invoked as a method with at most one argument.
struct Called
{
    HRESULT hr = E_FAIL;
    DISPID id = DISPID_UNKNOWN;
    UniqueVariant result;
};
Called CallByName(IDispatch* object, const wchar_t* name, VARIANT* arg = nullptr)
{
    Called call;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    call.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &call.id);
    if (FAILED(call.hr))
        return call;
    DISPPARAMS params = {arg, nullptr, arg ? 1u : 0u, 0};
    call.hr = object->Invoke(call.id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                             call.result.get(), nullptr, nullptr);
    return call;
}

struct Fixture : ::testing::Test
{
    Fixture() { CoInitialize(nullptr); }
    ~Fixture() override
    {
        CStringTable::ResetThreadLanguage();
        CoUninitialize();
    }
};
typedef Fixture LoaderControl;

// The slots in table order: name and the type of the one parameter (VT_VARIANT | VT_BYREF
// for the [out, retval] VARIANT).
struct Slot
{
    const wchar_t* name;
    VARTYPE type;
};
const VARTYPE kOutVariant = VT_PTR;
const Slot kSlots[] = {
    {L"GetValidObject", kOutVariant},
    {L"SetPrimaryLangID", VT_I2},
    {L"SetTitle", VT_BSTR},
    {L"SetGroup", VT_BSTR},
    {L"SetCompanyCode", VT_BSTR},
    {L"SetProductID", VT_BSTR},
    {L"SetFileName", VT_BSTR},
    {L"SetRegistURL", VT_BSTR},
    {L"SetUpgradeHost", VT_BSTR},
    {L"SetDNSHost", VT_BSTR},
    {L"SetDNSCode", VT_BSTR},
    {L"SetMSPort", VT_UI2},
    {L"SetFSPort", VT_UI2},
    {L"SetWSPort", VT_UI2},
    {L"SetUpPort", VT_UI2},
    {L"SetUserID", VT_BSTR},
    {L"SetAlias", VT_BSTR},
    {L"SetMeeterID", VT_BSTR},
    {L"SetRoomName", VT_BSTR},
    {L"SetMaxUser", VT_UI2},
    {L"SetUserType", VT_UI2},
    {L"SetProductType", VT_UI2},
    {L"SetTimeOut", VT_UI4},
    {L"GetCurVer", kOutVariant},
    {L"RunEx", VT_BSTR},
    {L"SetRunType", VT_UI4},
    {L"SetQueryType", VT_UI4},
};

std::wstring NameOf(ITypeInfo* info, MEMBERID id)
{
    UniqueBstr name;
    info->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr);
    return name.str();
}
} // namespace

TEST_F(LoaderControl, TheTypeLibraryHoldsTheInterfaceInSlotAndDispidOrder)
{
    // Embedded as TYPELIB 1 in US English, as the program holds it.
    EXPECT_NE(FindResourceExW(nullptr, L"TYPELIB", MAKEINTRESOURCEW(1),
                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
              nullptr);
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, lib.put()), S_OK);
    TLIBATTR* libAttr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&libAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(libAttr->guid, kLibId));
    EXPECT_TRUE(IsEqualGUID(LIBID_NVPCUpdaterLib, kLibId));
    EXPECT_TRUE(IsEqualGUID(CLSID_NVPCLoader, __uuidof(NVPCLoader)));
    EXPECT_TRUE(IsEqualGUID(IID_INVPCLoader, __uuidof(INVPCLoader)));
    EXPECT_TRUE(IsEqualGUID(DIID__INVPCLoaderEvents, __uuidof(_INVPCLoaderEvents)));
    EXPECT_EQ(libAttr->lcid, 1033u);
    EXPECT_EQ(libAttr->wMajorVerNum, 1);
    EXPECT_EQ(libAttr->wMinorVerNum, 0);
    lib->ReleaseTLibAttr(libAttr);

    // The vtable view of the dual interface: 27 methods after IDispatch's seven, DISPIDs 1..27.
    ComPtr<ITypeInfo> dispatchView, info;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(__uuidof(INVPCLoader), dispatchView.put()), S_OK);
    HREFTYPE vtable = 0;
    ASSERT_EQ(dispatchView->GetRefTypeOfImplType(-1, &vtable), S_OK) << "dual";
    ASSERT_EQ(dispatchView->GetRefTypeInfo(vtable, info.put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FNONEXTENSIBLE);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    ASSERT_EQ(attr->cFuncs, 27);
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < 27; ++i)
    {
        SCOPED_TRACE(kSlots[i].name);
        FUNCDESC* f = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
        EXPECT_EQ(f->memid, static_cast<MEMBERID>(i + 1));
        EXPECT_EQ(f->oVft, static_cast<SHORT>((7 + i) * sizeof(void*)));
        EXPECT_EQ(NameOf(info.get(), f->memid), kSlots[i].name);
        ASSERT_EQ(f->cParams, 1);
        EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, kSlots[i].type);
        if (kSlots[i].type == kOutVariant)
        {
            EXPECT_EQ(f->lprgelemdescParam[0].tdesc.lptdesc->vt, VT_VARIANT);
            EXPECT_TRUE(f->lprgelemdescParam[0].paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
        }
        info->ReleaseFuncDesc(f);
    }

    // The event: OnFinalUpdater, DISPID 1, no parameters; the class names both.
    ComPtr<ITypeInfo> events, coclass;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(__uuidof(_INVPCLoaderEvents), events.put()), S_OK);
    FUNCDESC* f = nullptr;
    ASSERT_EQ(events->GetFuncDesc(0, &f), S_OK);
    EXPECT_EQ(f->memid, 1);
    EXPECT_EQ(f->cParams, 0);
    EXPECT_EQ(NameOf(events.get(), 1), L"OnFinalUpdater");
    events->ReleaseFuncDesc(f);
    ASSERT_EQ(lib->GetTypeInfoOfGuid(__uuidof(NVPCLoader), coclass.put()), S_OK);
    int flags[2] = {0, 0};
    ASSERT_EQ(coclass->GetImplTypeFlags(0, &flags[0]), S_OK);
    ASSERT_EQ(coclass->GetImplTypeFlags(1, &flags[1]), S_OK);
    EXPECT_EQ(flags[0], IMPLTYPEFLAG_FDEFAULT);
    EXPECT_EQ(flags[1], IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
}

TEST_F(LoaderControl, EverySetterByNameStoresItsValueAndLogsIt)
{
    struct Row
    {
        const wchar_t* method;
        VARTYPE vt; // what a script passes: numbers as VT_I4, texts as VT_BSTR
        long number;
        const wchar_t* text;
        std::function<bool(const CParam&)> stored;
        const wchar_t* log;
    };
    const Row rows[] = {
        {L"SetPrimaryLangID", VT_I4, 17, nullptr, [](const CParam& p) { return p.GetLangID() == 0x0411; },
         L"SetPrimaryLangID : primary=17"},
        {L"SetTitle", VT_BSTR, 0, L"Weekly", [](const CParam& p) { return !wcscmp(p.GetTitle(), L"Weekly"); },
         L"SetTitle : title=Weekly"},
        {L"SetGroup", VT_BSTR, 0, L"sales", [](const CParam& p) { return !wcscmp(p.GetGroup(), L"sales"); },
         L"SetGroup : group=sales"},
        {L"SetCompanyCode", VT_BSTR, 0, L"ACME 1",
         [](const CParam& p) { return !wcscmp(p.GetCompanyCode(), L"ACME 1"); },
         L"SetCompanyCode : company=ACME 1"},
        {L"SetProductID", VT_BSTR, 0, L"nvpc",
         [](const CParam& p) { return !wcscmp(p.GetProductID(), L"nvpc"); }, L"SetProductID : product=nvpc"},
        {L"SetFileName", VT_BSTR, 0, L"client.exe",
         [](const CParam& p) { return !wcscmp(p.GetFileName(), L"client.exe"); },
         L"SetFileName : filename=client.exe"},
        {L"SetRegistURL", VT_BSTR, 0, L"http://r.example/x?a=1",
         [](const CParam& p) { return !wcscmp(p.GetRegistURL(), L"http://r.example/x?a=1"); },
         L"SetRegistURL : url=http://r.example/x?a=1"},
        {L"SetUpgradeHost", VT_BSTR, 0, L"up1 up2",
         [](const CParam& p) { return p.GetUpgradeHostCount() == 2 && !wcscmp(p.GetUpgradeHost(1), L"up2"); },
         L"SetUpgradeHost : host=up1 up2"},
        {L"SetDNSHost", VT_BSTR, 0, L"dir1",
         [](const CParam& p) { return p.GetDNSHostCount() == 1 && !wcscmp(p.GetDNSHost(0), L"dir1"); },
         L"SetDNSHost : host=dir1"},
        {L"SetDNSCode", VT_BSTR, 0, L"C7", [](const CParam& p) { return !wcscmp(p.GetDNSCode(), L"C7"); },
         L"SetDNSCode : code=C7"},
        {L"SetMSPort", VT_I4, 7001, nullptr, [](const CParam& p) { return p.GetMSPort() == 7001; },
         L"SetMSPort : port=7001"},
        {L"SetFSPort", VT_I4, 7002, nullptr, [](const CParam& p) { return p.GetFSPort() == 7002; },
         L"SetFSPort : port=7002"},
        {L"SetWSPort", VT_I4, 8080, nullptr, [](const CParam& p) { return p.GetWSPort() == 8080; },
         L"SetWSPort : port=8080"},
        {L"SetUpPort", VT_I4, 65535, nullptr, [](const CParam& p) { return p.GetUpPort() == 65535; },
         L"SetUpPort : port=65535"},
        {L"SetUserID", VT_BSTR, 0, L"u-1", [](const CParam& p) { return !wcscmp(p.GetUserID(), L"u-1"); },
         L"SetUserID : id=u-1"},
        {L"SetAlias", VT_BSTR, 0, L"\x5c71\x7530",
         [](const CParam& p) { return !wcscmp(p.GetAlias(), L"\x5c71\x7530"); },
         L"SetAlias : alias=\x5c71\x7530"},
        {L"SetMeeterID", VT_BSTR, 0, L"m9", [](const CParam& p) { return !wcscmp(p.GetMeeterID(), L"m9"); },
         L"SetMeeterID : id=m9"},
        {L"SetRoomName", VT_BSTR, 0, L"Room 4",
         [](const CParam& p) { return !wcscmp(p.GetRoomName(), L"Room 4"); }, L"SetRoomName : name=Room 4"},
        {L"SetMaxUser", VT_I4, 25, nullptr, [](const CParam& p) { return p.GetMaxUser() == 25; },
         L"SetMaxUser : max=25"},
        {L"SetUserType", VT_I4, 3, nullptr, [](const CParam& p) { return p.GetUserType() == 3; },
         L"SetUserType : type=3"},
        {L"SetProductType", VT_I4, 2, nullptr, [](const CParam& p) { return p.GetProductType() == 2; },
         L"SetProductType : type=2"},
        {L"SetTimeOut", VT_I4, 5000, nullptr, [](const CParam& p) { return p.GetTimeOut() == 5000; },
         L"SetTimeOut : time=5000"},
        {L"SetRunType", VT_I4, 4, nullptr, [](const CParam& p) { return p.GetRunType() == 4; },
         L"SetRunType : type=4"},
        {L"SetQueryType", VT_I4, 1, nullptr, [](const CParam& p) { return p.GetQueryType() == 1; },
         L"SetQueryType : type=1"},
    };
    LogCapture log;
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.method);
        UniqueVariant arg;
        UniqueBstr text;
        arg->vt = row.vt;
        if (row.vt == VT_BSTR)
        {
            text = UniqueBstr::Copy(row.text);
            arg->bstrVal = text.get();
        }
        else
            arg->lVal = row.number;
        Called call = CallByName(control.get(), row.method, arg.get());
        arg.release(); // the string belongs to text
        EXPECT_EQ(call.hr, S_OK);
        EXPECT_TRUE(row.stored(RecordOf(control)));
        std::vector<std::wstring> lines = log.Texts();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), row.log);
    }
    EXPECT_STREQ(RecordOf(control).GetCaptionText(),
                 CStringTable::Format(IDS_UPDATER_CAPTION, L"Weekly").c_str());

    // GetValidObject: success, an empty value, no log line.
    size_t before = log.Texts().size();
    Called valid = CallByName(control.get(), L"GetValidObject");
    EXPECT_EQ(valid.hr, S_OK);
    EXPECT_EQ(valid.result.type(), VT_EMPTY);
    EXPECT_EQ(log.Texts().size(), before);
}

TEST_F(LoaderControl, SetterEdgeCases)
{
    LogCapture log;
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    const CParam& p = RecordOf(control);
    // A page that never sets a title still has one, and a caption from it.
    EXPECT_STREQ(p.GetTitle(), L"Norvane Updater");
    EXPECT_STREQ(p.GetCaptionText(), CStringTable::Format(IDS_UPDATER_CAPTION, L"Norvane Updater").c_str());

    // SetTimeOut(0) keeps 30000 but logs 0; a value past 2^31 - 1 is kept out as well.
    EXPECT_EQ(control->SetTimeOut(0), S_OK);
    EXPECT_EQ(p.GetTimeOut(), 30000u);
    EXPECT_EQ(log.Texts().back(), L"SetTimeOut : time=0");
    EXPECT_EQ(control->SetTimeOut(0x80000000u), S_OK);
    EXPECT_EQ(p.GetTimeOut(), 30000u);

    // A full language identifier stays what it is; out-of-range values are stored as given.
    EXPECT_EQ(control->SetPrimaryLangID(1042), S_OK);
    EXPECT_EQ(p.GetLangID(), 0x0412);
    EXPECT_EQ(control->SetRunType(0xFFFFFFFFu), S_OK);
    EXPECT_EQ(p.GetRunType(), 0xFFFFFFFFu);
    EXPECT_EQ(control->SetMSPort(0), S_OK);
    EXPECT_EQ(p.GetMSPort(), 0);

    // Hosts: a second call replaces the list. Null and empty strings clear a field.
    UniqueBstr hosts = UniqueBstr::Copy(L"a b c"), other = UniqueBstr::Copy(L"d");
    control->SetUpgradeHost(hosts.get());
    control->SetUpgradeHost(other.get());
    ASSERT_EQ(p.GetUpgradeHostCount(), 1u);
    EXPECT_STREQ(p.GetUpgradeHost(0), L"d");
    UniqueBstr group = UniqueBstr::Copy(L"g"), empty = UniqueBstr::Copy(L"");
    control->SetGroup(group.get());
    EXPECT_EQ(control->SetGroup(nullptr), S_OK);
    EXPECT_STREQ(p.GetGroup(), L"");
    EXPECT_EQ(log.Texts().back(), L"SetGroup : group=");
    control->SetGroup(group.get());
    control->SetGroup(empty.get());
    EXPECT_STREQ(p.GetGroup(), L"");

    // A line break in a value cannot forge a log line of its own.
    UniqueBstr forged = UniqueBstr::Copy(L"x\r\nSetRunType : type=2");
    size_t before = log.Texts().size();
    control->SetDNSCode(forged.get());
    std::vector<std::wstring> lines = log.Texts();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), L"SetDNSCode : code=x??SetRunType : type=2");
}

TEST_F(LoaderControl, SetPrimaryLangIDMakesTheNextTextsJapanese)
{
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    std::wstring english = CStringTable::LoadIn(IDS_ALREADY_RUNNING, 0x0409);
    std::wstring japanese = CStringTable::LoadIn(IDS_ALREADY_RUNNING, 0x0411);
    ASSERT_NE(english, japanese);
    VARIANT arg;
    arg.vt = VT_I4;
    arg.lVal = 17;
    ASSERT_EQ(CallByName(control.get(), L"SetPrimaryLangID", &arg).hr, S_OK);
    EXPECT_EQ(CStringTable::Load(IDS_ALREADY_RUNNING), japanese);
    EXPECT_EQ(control->SetPrimaryLangID(9), S_OK);
    EXPECT_EQ(CStringTable::Load(IDS_ALREADY_RUNNING), english);
}

TEST_F(LoaderControl, AnswersItsInterfacesWithOneIdentity)
{
    struct Row
    {
        IID iid;
        bool answered;
    };
    // The list of a windowed control, in lookup order, and one it must not claim.
    const Row rows[] = {
        {__uuidof(INVPCLoader), true},
        {IID_IDispatch, true},
        {IID_IViewObjectEx, true},
        {IID_IViewObject2, true},
        {IID_IViewObject, true},
        {IID_IOleInPlaceObjectWindowless, true},
        {IID_IOleInPlaceObject, true},
        {IID_IOleWindow, true},
        {IID_IOleInPlaceActiveObject, true},
        {IID_IOleControl, true},
        {IID_IOleObject, true},
        {IID_IPersistStreamInit, true},
        {IID_IPersist, true},
        {IID_ISupportErrorInfo, true},
        {IID_IConnectionPointContainer, true},
        {IID_ISpecifyPropertyPages, true},
        {IID_IQuickActivate, true},
        {IID_IPersistStorage, true},
        {IID_IDataObject, true},
        {IID_IProvideClassInfo, true},
        {IID_IProvideClassInfo2, true},
        {IID_IObjectSafety, true},
        {IID_IConnectionPoint, false},
    };
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(control.As(IID_IUnknown, identity), S_OK);
    for (size_t i = 0; i < ARRAYSIZE(rows); ++i)
    {
        SCOPED_TRACE(i);
        ComPtr<IUnknown> answer;
        HRESULT hr = control->QueryInterface(rows[i].iid, answer.put_void());
        EXPECT_EQ(hr, rows[i].answered ? S_OK : E_NOINTERFACE);
        if (!answer)
            continue;
        ComPtr<IUnknown> back;
        ASSERT_EQ(answer.As(IID_IUnknown, back), S_OK);
        EXPECT_EQ(back, identity);
    }

    ComPtr<ISupportErrorInfo> errors;
    ASSERT_EQ(control.As(errors), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(__uuidof(INVPCLoader)), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

    ComPtr<IProvideClassInfo2> classInfo;
    ASSERT_EQ(control.As(classInfo), S_OK);
    GUID source = GUID_NULL;
    EXPECT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
    EXPECT_TRUE(IsEqualGUID(source, __uuidof(_INVPCLoaderEvents)));
    EXPECT_EQ(classInfo->GetGUID(2, &source), E_INVALIDARG);
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(classInfo->GetClassInfo(coclass.put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_TRUE(IsEqualGUID(attr->guid, __uuidof(NVPCLoader)));
    coclass->ReleaseTypeAttr(attr);
}

namespace
{
// A page's event sink: records the calls it gets in a shared list.
class CSink : public _INVPCLoaderEvents
{
  public:
    using Interfaces = ComInterfaces<_INVPCLoaderEvents, IDispatch>;
    CSink(int number, HRESULT answer, std::vector<int>* calls)
        : m_number(number), m_answer(answer), m_calls(calls)
    {
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override
    {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override
    {
        bool asStated = id == 1 && IsEqualIID(iid, IID_NULL) && flags == DISPATCH_METHOD && params &&
                        params->cArgs == 0 && result;
        m_calls->push_back(asStated ? m_number : -m_number);
        return m_answer;
    }

  private:
    int m_number;
    HRESULT m_answer;
    std::vector<int>* m_calls;
};
} // namespace

TEST_F(LoaderControl, GetCurVerTellsEverySinkThenReturnsTheVersionWord)
{
    // The word at offset 4 of this program's own version resource.
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_VERSION);
    ASSERT_NE(found, nullptr);
    const BYTE* raw = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
    DWORD words[3];
    memcpy(words, raw + 4, sizeof words);
    ASSERT_EQ(words[0] >> 16, static_cast<DWORD>(L'V')) << "the key of VS_VERSIONINFO starts there";

    LogCapture log;
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    // Alone, GetCurVer only returns the value.
    Called alone = CallByName(control.get(), L"GetCurVer");
    EXPECT_EQ(alone.hr, S_OK);
    ASSERT_EQ(alone.result.type(), VT_UI4);
    EXPECT_EQ(alone.result->ulVal, words[0]);
    wchar_t expected[160];
    _snwprintf(expected, ARRAYSIZE(expected), L"stru=%x ms=%x ls=%x", static_cast<unsigned>(words[0]),
               static_cast<unsigned>(words[1]), static_cast<unsigned>(words[2]));
    std::wstring line = log.Texts().back();
    EXPECT_EQ(line.rfind(L"GetVersion : raw_data=", 0), 0u) << WideToUtf8(line);
    EXPECT_NE(line.find(expected), std::wstring::npos) << WideToUtf8(line);

    // Three sinks, the second failing: all are called, in connection order, before the
    // value comes back, and the failure reaches nobody.
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(control.As(container), S_OK);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.put()), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(container->FindConnectionPoint(__uuidof(_INVPCLoaderEvents), point.put()), S_OK);
    IID pointIid = GUID_NULL;
    EXPECT_EQ(point->GetConnectionInterface(&pointIid), S_OK);
    EXPECT_TRUE(IsEqualIID(pointIid, __uuidof(_INVPCLoaderEvents)));
    std::vector<int> calls;
    DWORD cookies[3] = {};
    const HRESULT answers[3] = {S_OK, E_FAIL, S_OK};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(point->Advise(MakeCom<CSink>(i + 1, answers[i], &calls).get(), &cookies[i]), S_OK);
    EXPECT_TRUE(cookies[0] < cookies[1] && cookies[1] < cookies[2]);
    Called fired = CallByName(control.get(), L"GetCurVer");
    EXPECT_EQ(fired.hr, S_OK);
    EXPECT_EQ(fired.result.type(), VT_UI4);
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));

    // The connections as listed, and after one is gone.
    ComPtr<IEnumConnections> listed;
    ASSERT_EQ(point->EnumConnections(listed.put()), S_OK);
    CONNECTDATA data[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(listed->Next(4, data, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    for (ULONG i = 0; i < fetched; ++i)
    {
        EXPECT_EQ(data[i].dwCookie, cookies[i]);
        data[i].pUnk->Release();
    }
    EXPECT_EQ(point->Unadvise(cookies[1]), S_OK);
    EXPECT_EQ(point->Unadvise(cookies[1]), CONNECT_E_NOCONNECTION);
    calls.clear();
    EXPECT_EQ(control->GetCurVer(fired.result.put()), S_OK);
    EXPECT_EQ(calls, (std::vector<int>{1, 3}));

    // The point belongs to the control, and the container lists exactly this one.
    ComPtr<IConnectionPointContainer> owner;
    ASSERT_EQ(point->GetConnectionPointContainer(owner.put()), S_OK);
    EXPECT_EQ(owner, container);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    IConnectionPoint* onePoint[2] = {};
    EXPECT_EQ(points->Next(2, onePoint, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(onePoint[0]->GetConnectionInterface(&pointIid), S_OK);
    EXPECT_TRUE(IsEqualIID(pointIid, __uuidof(_INVPCLoaderEvents)));
    onePoint[0]->Release();
    EXPECT_EQ(point->Unadvise(cookies[0]), S_OK);
    EXPECT_EQ(point->Unadvise(cookies[2]), S_OK);
}

TEST_F(LoaderControl, ObjectSafetyClaimsScriptingOnly)
{
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    ComPtr<IObjectSafety> safety;
    ASSERT_EQ(control.As(safety), S_OK);
    DWORD supported = 9, enabled = 9;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 1u);
    EXPECT_EQ(enabled, 0u);

    struct Row
    {
        IID iid;
        DWORD mask, set;
        HRESULT result;
        DWORD enabledAfter;
    };
    const Row rows[] = {
        {IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_DATA, INTERFACESAFE_FOR_UNTRUSTED_DATA, E_FAIL, 0},
        {IID_IDispatch, 3, 3, E_FAIL, 0},
        {IID_IClassFactory, 1, 1, E_NOINTERFACE, 0},
        {__uuidof(INVPCLoader), 1, 1, S_OK, 1},
        {IID_IDispatch, 0, 0, S_OK, 1}, // an empty mask changes nothing
        {IID_IDispatch, 1, 0, S_OK, 0},
        {IID_IDispatch, 1, 1, S_OK, 1},
    };
    for (size_t i = 0; i < ARRAYSIZE(rows); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(rows[i].iid, rows[i].mask, rows[i].set), rows[i].result);
        EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
        EXPECT_EQ(enabled, rows[i].enabledAfter);
    }
    // An interface the control lacks: both sets 0 and the QueryInterface failure.
    supported = enabled = 9;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled), E_NOINTERFACE);
    EXPECT_EQ(supported, 0u);
    EXPECT_EQ(enabled, 0u);
}

namespace
{
// An object that aggregates the control: it answers INVPCLoader through the inner one.
class COuter : public IPersist
{
  public:
    using Interfaces = ComInterfaces<IPersist>;
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }
};
} // namespace

TEST_F(LoaderControl, CanBeAggregatedAndLivesAsLongAsItsReferences)
{
    ASSERT_EQ(ControlsLock::Count(), 0);
    // The class factory's rule: with an outer object only IUnknown may be asked for.
    ComPtr<IClassFactory> factory;
    factory.attach(MakeNVPCLoaderFactory());
    ASSERT_TRUE(factory);
    ComPtr<IPersist> outer = MakeCom<COuter>();
    ComPtr<IUnknown> inner;
    EXPECT_EQ(factory->CreateInstance(outer.get(), __uuidof(INVPCLoader), inner.put_void()),
              CLASS_E_NOAGGREGATION);
    EXPECT_FALSE(inner);

    ASSERT_EQ(CreateNVPCLoader<ControlsLock>(outer.get(), IID_IUnknown, inner.put_void()), S_OK);
    EXPECT_EQ(ControlsLock::Count(), 1);
    ComPtr<INVPCLoader> loader;
    ASSERT_EQ(inner.As(loader), S_OK);
    // Its interfaces count on the outer object and answer the outer identity.
    ComPtr<IUnknown> identity, outerIdentity;
    ASSERT_EQ(loader.As(IID_IUnknown, identity), S_OK);
    ASSERT_EQ(outer.As(IID_IUnknown, outerIdentity), S_OK);
    EXPECT_EQ(identity, outerIdentity);
    ComPtr<IPersist> viaControl;
    EXPECT_EQ(loader.As(viaControl), S_OK) << "the outer object's own interface";
    EXPECT_EQ(viaControl, outer);
    ULONG outerCount = outer->AddRef();
    EXPECT_EQ(loader->AddRef(), outerCount + 1);
    loader->Release();
    outer->Release();
    // The inner object goes when the outer one lets it go.
    loader = nullptr;
    identity = nullptr;
    viaControl = nullptr;
    EXPECT_EQ(ControlsLock::Count(), 1);
    inner = nullptr;
    EXPECT_EQ(ControlsLock::Count(), 0);

    // On its own: created, asked for INVPCLoader, and gone with the last reference.
    ComPtr<INVPCLoader> alone;
    ASSERT_EQ(CreateNVPCLoader<ControlsLock>(nullptr, __uuidof(INVPCLoader), alone.put_void()), S_OK);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(CreateNVPCLoader<ControlsLock>(nullptr, IID_IClassFactory, unknown.put_void()), E_NOINTERFACE);
    EXPECT_FALSE(unknown);
    EXPECT_EQ(ControlsLock::Count(), 1);
    alone = nullptr;
    EXPECT_EQ(ControlsLock::Count(), 0);
}

TEST_F(LoaderControl, RunExOpensTheDialogAndReleaseClosesIt)
{
    LoadSkinSet(GetModuleHandleW(nullptr));
    FakeProxyComponent::Answers answers;
    answers.type = 1;
    answers.host = L"proxy.example";
    FakeProxyComponent component(answers);
    ASSERT_TRUE(component.registered());
    LogCapture log;
    ComPtr<INVPCLoader> first = NewControl();
    ASSERT_TRUE(first);
    UniqueBstr option = UniqueBstr::Copy(L"/X:1");
    VARIANT arg;
    arg.vt = VT_BSTR;
    arg.bstrVal = option.get();

    // A run type outside 0..4 starts nothing and answers the proxy step's status.
    first->SetRunType(7);
    EXPECT_EQ(CallByName(first.get(), L"RunEx", &arg).hr, S_OK);
    EXPECT_STREQ(RecordOf(first).GetOption(), L"/X:1");
    EXPECT_STREQ(RecordOf(first).GetProxyHost(), L"proxy.example");
    std::vector<std::wstring> lines = log.Texts();
    EXPECT_NE(std::find(lines.begin(), lines.end(), L">>>>>> RunEx : option=/X:1"), lines.end());

    // Run type 0 opens the updater dialog; a control made meanwhile leaves the count alone.
    first->SetRunType(0);
    EXPECT_EQ(first->RunEx(option.get()), S_OK);
    EXPECT_EQ(OpenWorkflowDialogs(), 1);
    ComPtr<INVPCLoader> second = NewControl();
    ASSERT_TRUE(second);
    EXPECT_EQ(OpenWorkflowDialogs(), 1) << "the other control's dialog is still open";
    second = nullptr;
    EXPECT_EQ(OpenWorkflowDialogs(), 1);
    first = nullptr;
    EXPECT_EQ(OpenWorkflowDialogs(), 0) << "the last release closes the dialog";
    lines = log.Texts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"FinalConstruct"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"FinalRelease"), 2);
    ReleaseSkinSet();
}

TEST_F(LoaderControl, DrawsOneRectangleInsideItsBoundsWithTheCallersPenAndBrush)
{
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    ComPtr<IViewObject> view;
    ASSERT_EQ(control.As(view), S_OK);

    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 100, 100);
    ReleaseDC(nullptr, screen);
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    RECT all = {0, 0, 100, 100};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    HPEN blue = CreatePen(PS_SOLID, 3, RGB(0, 0, 255));
    HGDIOBJ oldBrush = SelectObject(dc, red), oldPen = SelectObject(dc, blue);

    RECTL bounds = {10, 10, 50, 40};
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0),
              S_OK);
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, nullptr, nullptr, nullptr, 0),
              E_INVALIDARG);
    struct Probe
    {
        int x, y;
        COLORREF colour;
    };
    const Probe probes[] = {
        {30, 25, RGB(255, 0, 0)},    // inside: the brush
        {10, 25, RGB(0, 0, 255)},    // the border: the pen
        {9, 25, RGB(255, 255, 255)}, // the wide pen stays inside the bounds
        {50, 25, RGB(255, 255, 255)}, {70, 70, RGB(255, 255, 255)},
    };
    for (const Probe& p : probes)
    {
        SCOPED_TRACE(testing::Message() << p.x << "," << p.y);
        EXPECT_EQ(GetPixel(dc, p.x, p.y), p.colour);
    }
    HRGN after = CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(GetClipRgn(dc, after), 0) << "the caller's (absent) clipping is back";
    DeleteObject(after);

    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBitmap);
    DeleteObject(red);
    DeleteObject(blue);
    DeleteObject(bitmap);
    DeleteDC(dc);

    // The rest of the view: extent, hit tests, status, the advise sink kept.
    ComPtr<IViewObjectEx> ex;
    ASSERT_EQ(control.As(ex), S_OK);
    SIZEL extent = {};
    EXPECT_EQ(ex->GetExtent(DVASPECT_CONTENT, -1, nullptr, &extent), S_OK);
    EXPECT_EQ(extent.cx, CNVPCLoader::kDefaultExtent);
    RECT box = {0, 0, 20, 20}, away = {30, 30, 40, 40};
    DWORD hit = 9;
    EXPECT_EQ(ex->QueryHitPoint(DVASPECT_CONTENT, &box, POINT{5, 5}, 0, &hit), S_OK);
    EXPECT_EQ(hit, static_cast<DWORD>(HITRESULT_HIT));
    EXPECT_EQ(ex->QueryHitPoint(DVASPECT_CONTENT, &box, POINT{25, 5}, 0, &hit), S_OK);
    EXPECT_EQ(hit, static_cast<DWORD>(HITRESULT_OUTSIDE));
    EXPECT_EQ(ex->QueryHitRect(DVASPECT_CONTENT, &box, &away, 0, &hit), S_OK);
    EXPECT_EQ(hit, static_cast<DWORD>(HITRESULT_OUTSIDE));
    DWORD status = 0;
    EXPECT_EQ(ex->GetViewStatus(&status), S_OK);
    EXPECT_EQ(status, static_cast<DWORD>(VIEWSTATUS_SOLIDBKGND | VIEWSTATUS_OPAQUE));
    EXPECT_EQ(ex->SetAdvise(DVASPECT_CONTENT, ADVF_ONLYONCE, nullptr), S_OK);
    DWORD aspects = 0, flags = 0;
    ComPtr<IAdviseSink> sink;
    EXPECT_EQ(ex->GetAdvise(&aspects, &flags, sink.put()), S_OK);
    EXPECT_EQ(aspects, static_cast<DWORD>(DVASPECT_CONTENT));
    EXPECT_EQ(flags, static_cast<DWORD>(ADVF_ONLYONCE));
    EXPECT_FALSE(sink);
}

TEST_F(LoaderControl, SavesItsExtentAndRefusesABrokenState)
{
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    ComPtr<IPersistStreamInit> persist;
    ASSERT_EQ(control.As(persist), S_OK);
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, __uuidof(NVPCLoader)));
    EXPECT_EQ(persist->IsDirty(), S_FALSE);

    struct Row
    {
        DWORD words[3];
        ULONG bytes;
        HRESULT result;
        LONG cx; // the extent afterwards
    };
    const Row rows[] = {
        {{CNVPCLoader::kStreamVersion, 1000, 2000}, 12, S_OK, 1000},
        {{CNVPCLoader::kStreamVersion, 3000, 4000}, 8, E_FAIL, 1000},      // cut short
        {{CNVPCLoader::kStreamVersion, 0x80000000u, 5}, 12, E_FAIL, 1000}, // negative
        {{CNVPCLoader::kStreamVersion, 7, 0}, 12, E_FAIL, 1000},
        {{0x0999, 7, 7}, 12, E_FAIL, 1000}, // another format
    };
    ComPtr<IViewObject2> view;
    ASSERT_EQ(control.As(view), S_OK);
    for (size_t i = 0; i < ARRAYSIZE(rows); ++i)
    {
        SCOPED_TRACE(i);
        ComPtr<IStream> stream;
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
        ULONG written = 0;
        stream->Write(rows[i].words, rows[i].bytes, &written);
        stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
        EXPECT_EQ(persist->Load(stream.get()), rows[i].result);
        SIZEL extent = {};
        view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &extent);
        EXPECT_EQ(extent.cx, rows[i].cx);
    }

    // What Save writes, Load takes back.
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
    ASSERT_EQ(persist->Save(stream.get(), TRUE), S_OK);
    ULARGE_INTEGER size = {}, max = {};
    stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &size);
    ASSERT_EQ(persist->GetSizeMax(&max), S_OK);
    EXPECT_EQ(size.QuadPart, max.QuadPart);
    EXPECT_EQ(persist->InitNew(), S_OK);
    stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    EXPECT_EQ(persist->Load(stream.get()), S_OK);
    SIZEL extent = {};
    view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &extent);
    EXPECT_EQ(extent.cx, 1000);
    EXPECT_EQ(extent.cy, 2000);

    // No property pages; the container's control calls are accepted.
    ComPtr<ISpecifyPropertyPages> pages;
    ASSERT_EQ(control.As(pages), S_OK);
    CAUUID list = {5, nullptr};
    EXPECT_EQ(pages->GetPages(&list), S_OK);
    EXPECT_EQ(list.cElems, 0u);
    ComPtr<IOleControl> ole;
    ASSERT_EQ(control.As(ole), S_OK);
    EXPECT_EQ(ole->FreezeEvents(TRUE), S_OK);
    EXPECT_EQ(ole->OnAmbientPropertyChange(DISPID_UNKNOWN), S_OK);
    EXPECT_EQ(ole->FreezeEvents(FALSE), S_OK);
}

namespace
{
// A container's site: a window to live in and the calls it received, in order.
class CSite : public IOleClientSite, public IOleInPlaceSite
{
  public:
    using Interfaces = ComInterfaces<IOleClientSite, IOleInPlaceSite, ComVia<IOleWindow, IOleInPlaceSite>>;
    CSite(HWND parent, RECT position, std::vector<std::string>* calls, bool* gone)
        : m_parent(parent), m_position(position), m_calls(calls), m_gone(gone)
    {
    }
    ~CSite() { *m_gone = true; }

    HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer**) override { return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override
    {
        *window = m_parent;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return Note("CanInPlaceActivate"); }
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return Note("OnInPlaceActivate"); }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return Note("OnUIActivate"); }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                               LPRECT pos, LPRECT clip, LPOLEINPLACEFRAMEINFO) override
    {
        *frame = nullptr;
        *document = nullptr;
        *pos = *clip = m_position;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return Note("OnUIDeactivate"); }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return Note("OnInPlaceDeactivate"); }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

  private:
    HRESULT Note(const char* call)
    {
        m_calls->push_back(call);
        return S_OK;
    }
    HWND m_parent;
    RECT m_position;
    std::vector<std::string>* m_calls;
    bool* m_gone;
};

bool PlacedAt(HWND window, const RECT& expected)
{
    RECT r;
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&r), 2);
    return EqualRect(&r, &expected) != FALSE;
}
} // namespace

TEST_F(LoaderControl, LivesInItsSitesWindowWhileActiveInPlace)
{
    HWND parent = CreateWindowExW(0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    std::vector<std::string> calls;
    bool siteGone = false;
    const RECT position = {5, 6, 105, 66};
    {
        ComPtr<INVPCLoader> control = NewControl();
        ASSERT_TRUE(control);
        ComPtr<IOleObject> object;
        ASSERT_EQ(control.As(object), S_OK);
        DWORD misc = 0;
        EXPECT_EQ(object->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
        EXPECT_EQ(misc, DWORD{CNVPCUpdaterModule::kOleMisc}) << "what the class is registered with";

        ComPtr<IOleClientSite> site;
        site.attach(static_cast<IOleClientSite*>(new ComObject<CSite>(parent, position, &calls, &siteGone)));
        ASSERT_EQ(object->SetClientSite(site.get()), S_OK);
        ComPtr<IOleInPlaceObject> inPlace;
        ASSERT_EQ(control.As(inPlace), S_OK);
        HWND window = nullptr;
        EXPECT_EQ(inPlace->GetWindow(&window), E_FAIL) << "no window before activation";

        // Activation: a visible child of the site's window at the site's position, with the
        // product icon once it is loaded.
        ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site.get(), 0, parent, &position), S_OK);
        EXPECT_EQ(calls, (std::vector<std::string>{"CanInPlaceActivate", "OnInPlaceActivate"}));
        ASSERT_EQ(inPlace->GetWindow(&window), S_OK);
        EXPECT_EQ(GetParent(window), parent);
        EXPECT_TRUE(IsWindowVisible(window) || !IsWindowVisible(parent));
        EXPECT_TRUE(GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE);
        EXPECT_TRUE(PlacedAt(window, position));
        EXPECT_EQ(SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
        EXPECT_EQ(control->SetProductType(1), S_OK);
        EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);

        // Moved and clipped by the container.
        const RECT moved = {10, 10, 90, 50}, clip = {10, 10, 50, 50};
        EXPECT_EQ(inPlace->SetObjectRects(&moved, &clip), S_OK);
        EXPECT_TRUE(PlacedAt(window, moved));
        HRGN region = CreateRectRgn(0, 0, 0, 0);
        RECT visible = {};
        EXPECT_EQ(GetWindowRgn(window, region), SIMPLEREGION);
        GetRgnBox(region, &visible);
        DeleteObject(region);
        const RECT expectedVisible = {0, 0, 40, 40};
        EXPECT_TRUE(EqualRect(&visible, &expectedVisible));

        // UI activation and back; deactivation takes the window away.
        calls.clear();
        EXPECT_EQ(object->DoVerb(OLEIVERB_UIACTIVATE, nullptr, site.get(), 0, parent, &position), S_OK);
        EXPECT_EQ(inPlace->UIDeactivate(), S_OK);
        EXPECT_EQ(inPlace->InPlaceDeactivate(), S_OK);
        EXPECT_EQ(calls, (std::vector<std::string>{"OnUIActivate", "OnUIDeactivate", "OnInPlaceDeactivate"}));
        EXPECT_FALSE(IsWindow(window));
        EXPECT_EQ(inPlace->GetWindow(&window), E_FAIL);

        // The extent a container sets is the one the view reports, and it must be saved.
        SIZEL size = {1234, 567}, seen = {};
        EXPECT_EQ(object->SetExtent(DVASPECT_ICON, &size), DV_E_DVASPECT);
        EXPECT_EQ(object->SetExtent(DVASPECT_CONTENT, &size), S_OK);
        ComPtr<IViewObject2> view;
        ASSERT_EQ(control.As(view), S_OK);
        EXPECT_EQ(view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &seen), S_OK);
        EXPECT_EQ(seen.cx, 1234);
        ComPtr<IPersistStreamInit> persist;
        ASSERT_EQ(control.As(persist), S_OK);
        EXPECT_EQ(persist->IsDirty(), S_OK);

        // Active again, then released without Close: the window goes, and the site is let go.
        ASSERT_EQ(object->DoVerb(OLEIVERB_SHOW, nullptr, site.get(), 0, parent, &position), S_OK);
        ASSERT_EQ(inPlace->GetWindow(&window), S_OK);
        site = nullptr;
        EXPECT_FALSE(siteGone);
    }
    EXPECT_TRUE(siteGone);
    EXPECT_EQ(FindWindowExW(parent, nullptr, L"NVPCLoaderWindow", nullptr), nullptr);
    DestroyWindow(parent);
}

TEST_F(LoaderControl, QuickActivationConnectsTheSiteAndTheEventSink)
{
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    ComPtr<IQuickActivate> quick;
    ASSERT_EQ(control.As(quick), S_OK);
    std::vector<std::string> siteCalls;
    bool siteGone = false;
    ComPtr<IOleClientSite> site;
    site.attach(static_cast<IOleClientSite*>(new ComObject<CSite>(nullptr, RECT{}, &siteCalls, &siteGone)));
    std::vector<int> events;
    ComPtr<_INVPCLoaderEvents> sink = MakeCom<CSink>(7, S_OK, &events);

    QACONTAINER container = {};
    container.cbSize = sizeof container;
    container.pClientSite = site.get();
    container.pUnkEventSink = sink.get();
    QACONTROL answer = {};
    answer.cbSize = sizeof answer;
    QACONTROL tooShort = {};
    tooShort.cbSize = 8;
    EXPECT_EQ(quick->QuickActivate(&container, &tooShort), E_INVALIDARG);
    ASSERT_EQ(quick->QuickActivate(&container, &answer), S_OK);
    EXPECT_NE(answer.dwEventCookie, 0u);
    EXPECT_EQ(answer.dwMiscStatus, DWORD{CNVPCUpdaterModule::kOleMisc});
    EXPECT_EQ(answer.dwViewStatus, static_cast<DWORD>(VIEWSTATUS_SOLIDBKGND | VIEWSTATUS_OPAQUE));
    ComPtr<IOleObject> object;
    ASSERT_EQ(control.As(object), S_OK);
    ComPtr<IOleClientSite> kept;
    EXPECT_EQ(object->GetClientSite(kept.put()), S_OK);
    EXPECT_EQ(kept, site);

    // The sink connected this way hears GetCurVer, and its cookie disconnects it.
    UniqueVariant version;
    EXPECT_EQ(control->GetCurVer(version.put()), S_OK);
    EXPECT_EQ(events, std::vector<int>{7});
    ComPtr<IConnectionPointContainer> points;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(control.As(points), S_OK);
    ASSERT_EQ(points->FindConnectionPoint(__uuidof(_INVPCLoaderEvents), point.put()), S_OK);
    EXPECT_EQ(point->Unadvise(answer.dwEventCookie), S_OK);

    SIZEL size = {300, 400}, seen = {};
    EXPECT_EQ(quick->SetContentExtent(&size), S_OK);
    EXPECT_EQ(quick->GetContentExtent(&seen), S_OK);
    EXPECT_EQ(seen.cy, 400);
    object->Close(OLECLOSE_NOSAVE);
    object->SetClientSite(nullptr);
}

TEST_F(LoaderControl, KeepsItsStateInAStorageAndGivesAPicture)
{
    ComPtr<INVPCLoader> control = NewControl();
    ASSERT_TRUE(control);
    ComPtr<IOleObject> object;
    ASSERT_EQ(control.As(object), S_OK);
    SIZEL size = {2222, 1111};
    ASSERT_EQ(object->SetExtent(DVASPECT_CONTENT, &size), S_OK);

    // Saved into a storage, loaded by another control.
    ComPtr<ILockBytes> bytes;
    ComPtr<IStorage> storage;
    ASSERT_EQ(CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.put()), S_OK);
    ASSERT_EQ(StgCreateDocfileOnILockBytes(bytes.get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                           0, storage.put()),
              S_OK);
    ComPtr<IPersistStorage> persist;
    ASSERT_EQ(control.As(persist), S_OK);
    EXPECT_EQ(persist->Save(storage.get(), TRUE), S_OK);
    EXPECT_EQ(persist->SaveCompleted(nullptr), S_OK);
    ComPtr<INVPCLoader> other = NewControl();
    ASSERT_TRUE(other);
    ComPtr<IPersistStorage> otherPersist;
    ASSERT_EQ(other.As(otherPersist), S_OK);
    ComPtr<IStorage> empty;
    ComPtr<ILockBytes> emptyBytes;
    ASSERT_EQ(CreateILockBytesOnHGlobal(nullptr, TRUE, emptyBytes.put()), S_OK);
    ASSERT_EQ(StgCreateDocfileOnILockBytes(
                  emptyBytes.get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, empty.put()),
              S_OK);
    EXPECT_EQ(otherPersist->Load(empty.get()), STG_E_FILENOTFOUND) << "no saved state";
    EXPECT_EQ(otherPersist->Load(storage.get()), S_OK);
    ComPtr<IOleObject> otherObject;
    ASSERT_EQ(other.As(otherObject), S_OK);
    SIZEL seen = {};
    EXPECT_EQ(otherObject->GetExtent(DVASPECT_CONTENT, &seen), S_OK);
    EXPECT_EQ(seen.cx, 2222);
    EXPECT_EQ(seen.cy, 1111);

    // The picture: a metafile over the extent; other formats are refused.
    ComPtr<IDataObject> data;
    ASSERT_EQ(control.As(data), S_OK);
    FORMATETC text = {CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    EXPECT_EQ(data->QueryGetData(&text), DV_E_FORMATETC);
    EXPECT_EQ(data->GetData(&text, &medium), DV_E_FORMATETC);
    FORMATETC picture = {CF_METAFILEPICT, nullptr, DVASPECT_CONTENT, -1, TYMED_MFPICT};
    EXPECT_EQ(data->QueryGetData(&picture), S_OK);
    ASSERT_EQ(data->GetData(&picture, &medium), S_OK);
    ASSERT_EQ(medium.tymed, static_cast<DWORD>(TYMED_MFPICT));
    auto* pict = static_cast<METAFILEPICT*>(GlobalLock(medium.hMetaFilePict));
    ASSERT_NE(pict, nullptr);
    EXPECT_EQ(pict->mm, MM_ANISOTROPIC);
    EXPECT_EQ(pict->xExt, 2222);
    EXPECT_EQ(pict->yExt, 1111);
    EXPECT_GT(GetMetaFileBitsEx(pict->hMF, 0, nullptr), 0u);
    GlobalUnlock(medium.hMetaFilePict);
    ReleaseStgMedium(&medium);

    // No data advise was made: none can be undone.
    EXPECT_EQ(data->DUnadvise(1), OLE_E_NOCONNECTION);
}
