#include "updater/NVPCLoader.h"

#include <olectl.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/BstrVariant.h"
#include "common/ComClassFactory.h"
#include "common/Log.h"
#include "common/Module.h"
#include "ui/StringTable.h"
#include "ui/WorkflowDlg.h"
#include "updater/NVPCUpdaterModule.h"

// The identifiers the generated header declares; defined once, here.
extern "C" const GUID LIBID_NVPCUpdaterLib = {
    0x763b5762, 0x15b6, 0x4106, {0x95, 0xb7, 0xef, 0x60, 0x17, 0x6e, 0x43, 0x56}};
extern "C" const GUID IID_INVPCLoader = {
    0x052457a4, 0x9ae5, 0x45dd, {0xbd, 0xba, 0x45, 0x56, 0x16, 0xb4, 0x0e, 0x7f}};
extern "C" const GUID DIID__INVPCLoaderEvents = {
    0xaede6414, 0xd3a0, 0x4868, {0xb0, 0x15, 0x23, 0x8f, 0x0c, 0x60, 0xe8, 0xcd}};
extern "C" const GUID CLSID_NVPCLoader = {
    0xcd557f65, 0x9851, 0x450c, {0xaf, 0xf2, 0x50, 0x82, 0xe4, 0x1a, 0x5c, 0x82}};

namespace
{
// Control objects alive in this process (the apartment thread only).
int g_liveControls = 0;

const wchar_t* Text(BSTR value)
{
    return value ? value : L"";
}

// The value as the log shows it: a page's line break must not forge log lines.
std::wstring Shown(BSTR value)
{
    std::wstring shown = Text(value);
    for (wchar_t& c : shown)
        if (c < 32 || c == 127)
            c = L'?';
    return shown;
}

// Numbers reach the record through its text setters, as from the other ways in. 32-bit
// values go as signed text, which the record reads back to the same 32 bits.
std::wstring Decimal(ULONG value)
{
    return std::to_wstring(static_cast<long>(static_cast<LONG>(value)));
}

// ---- Enumerators over a snapshot ----

inline void CopyOut(const ComPtr<IConnectionPoint>& from, IConnectionPoint** to)
{
    from.CopyTo(to);
}

struct ConnectionItem
{
    ComPtr<IUnknown> unknown;
    DWORD cookie;
};
inline void CopyOut(const ConnectionItem& from, CONNECTDATA* to)
{
    from.unknown.CopyTo(&to->pUnk);
    to->dwCookie = from.cookie;
}

// IEnumConnectionPoints / IEnumConnections over items taken when the enumerator was
// made; clones share them.
template <typename IEnum, typename Out, typename Item> class CSnapshotEnum : public IEnum
{
  public:
    using Interfaces = ComInterfaces<IEnum>;
    using Items = std::vector<Item>;

    CSnapshotEnum(std::shared_ptr<const Items> items, size_t position)
        : m_items(std::move(items)), m_next(position)
    {
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, Out* out, ULONG* fetched) override
    {
        if (fetched)
            *fetched = 0;
        if (!out || (count != 1 && !fetched))
            return E_POINTER;
        ULONG n = 0;
        while (n < count && m_next < m_items->size())
            CopyOut((*m_items)[m_next++], &out[n++]);
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        size_t left = m_items->size() - m_next;
        m_next += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        m_next = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnum** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        return ComFirewall([&] { *out = MakeCom<CSnapshotEnum>(m_items, m_next).detach(); });
    }

  private:
    std::shared_ptr<const Items> m_items;
    size_t m_next;
};
typedef CSnapshotEnum<IEnumConnections, CONNECTDATA, ConnectionItem> CEnumConnections;
typedef CSnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, ComPtr<IConnectionPoint>>
    CEnumConnectionPoints;

template <typename ServerLock> class CNVPCLoaderFactory : public IClassFactory
{
  public:
    using Interfaces = ComInterfaces<IClassFactory>;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        return CreateAggregatable<CNVPCLoader, ServerLock>(outer, iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ServerLock::Lock();
        else
            ServerLock::Unlock();
        return S_OK;
    }
};
} // namespace

// The control's _INVPCLoaderEvents connection point. One is made for each request; the
// sinks live in the control, which this object keeps alive.
class CLoaderEventsPoint : public IConnectionPoint
{
  public:
    using Interfaces = ComInterfaces<IConnectionPoint>;

    explicit CLoaderEventsPoint(CNVPCLoader* control) : m_control(control), m_keep(control) {}

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override
    {
        if (!iid)
            return E_POINTER;
        *iid = __uuidof(_INVPCLoaderEvents);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override
    {
        if (!out)
            return E_POINTER;
        *out = m_control;
        (*out)->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override
    {
        return ComFirewall([&] { return m_control->m_events.Advise(sink, cookie); });
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override
    {
        return ComFirewall([&] { return m_control->m_events.Unadvise(cookie); });
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override
    {
        return ComFirewall([&] { return m_control->m_events.EnumConnections(out); });
    }

  private:
    CNVPCLoader* m_control;
    ComPtr<IConnectionPointContainer> m_keep;
};

// ---- CProxy_INVPCLoaderEvents ----

HRESULT CProxy_INVPCLoaderEvents::Advise(IUnknown* sink, DWORD* cookie)
{
    if (!cookie)
        return E_POINTER;
    *cookie = 0;
    if (!sink)
        return E_POINTER;
    ComPtr<IDispatch> events;
    if (FAILED(sink->QueryInterface(__uuidof(_INVPCLoaderEvents), events.put_void())) &&
        FAILED(sink->QueryInterface(IID_IDispatch, events.put_void())))
        return CONNECT_E_CANNOTCONNECT;
    m_connections.push_back({m_nextCookie, events});
    *cookie = m_nextCookie++;
    if (m_nextCookie == 0)
        m_nextCookie = 1;
    return S_OK;
}

HRESULT CProxy_INVPCLoaderEvents::Unadvise(DWORD cookie)
{
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it)
    {
        if (it->cookie == cookie)
        {
            // Released after the list no longer holds it: the sink's release may call back.
            ComPtr<IDispatch> gone = std::move(it->sink);
            m_connections.erase(it);
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

HRESULT CProxy_INVPCLoaderEvents::EnumConnections(IEnumConnections** out) const
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    auto items = std::make_shared<CEnumConnections::Items>();
    for (const Connection& c : m_connections)
    {
        ComPtr<IUnknown> unknown;
        c.sink.As(IID_IUnknown, unknown);
        items->push_back({unknown, c.cookie});
    }
    *out = MakeCom<CEnumConnections>(std::move(items), 0).detach();
    return S_OK;
}

void CProxy_INVPCLoaderEvents::Fire_OnFinalUpdater()
{
    // A copy: a sink may connect or disconnect others while it is called.
    std::vector<Connection> sinks = m_connections;
    for (const Connection& c : sinks)
    {
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        UniqueVariant result;
        c.sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, result.get(), nullptr,
                       nullptr);
    }
}

// ---- CNVPCLoader ----

CNVPCLoader::CNVPCLoader() : m_module(::GetModuleHandleW(nullptr)), m_param(), m_runModes(&m_param, m_module)
{
    ++g_liveControls;
}

CNVPCLoader::~CNVPCLoader()
{
    --g_liveControls;
}

HRESULT CNVPCLoader::FinalConstruct()
{
    return ComFirewall(
        [&]
        {
            WriteLog(LOG_TRACE, L"FinalConstruct");
            // The count is process-wide: a dialog another control still shows keeps it,
            // or a second workflow could start beside the first one.
            if (g_liveControls == 1)
                ResetOpenWorkflowDialogs();
            m_productIcon.reset();
            m_param.SetTitle(L"Norvane Updater");
        });
}

void CNVPCLoader::FinalRelease()
{
    // A container that never closed the control: its window goes, and the site with it.
    InPlaceDeactivate();
    m_clientSite = nullptr;
    m_adviseHolder = nullptr;
    m_dataAdviseHolder = nullptr;
    m_viewSink = nullptr;
    m_runModes.CloseDialogs();
    m_productIcon.reset();
    WriteLog(LOG_TRACE, L"FinalRelease");
}

HRESULT CNVPCLoader::GetValidObject(VARIANT*)
{
    return S_OK;
}

HRESULT CNVPCLoader::SetPrimaryLangID(short primary)
{
    return ComFirewall(
        [&]
        {
            m_param.SetLangID(std::to_wstring(primary).c_str());
            CStringTable::SetThreadLanguage(m_param.GetLangID());
            WriteLog(LOG_TRACE, L"SetPrimaryLangID : primary=%d", static_cast<int>(primary));
        });
}

#define NVPC_TEXT_SETTER(Method, Field, Format)                                                              \
    HRESULT CNVPCLoader::Method(BSTR Field)                                                                  \
    {                                                                                                        \
        return ComFirewall(                                                                                  \
            [&]                                                                                              \
            {                                                                                                \
                m_param.Method(Text(Field));                                                                 \
                WriteLog(LOG_TRACE, Format, Shown(Field).c_str());                                           \
            });                                                                                              \
    }

NVPC_TEXT_SETTER(SetTitle, title, L"SetTitle : title=%s")
NVPC_TEXT_SETTER(SetGroup, group, L"SetGroup : group=%s")
NVPC_TEXT_SETTER(SetCompanyCode, company, L"SetCompanyCode : company=%s")
NVPC_TEXT_SETTER(SetProductID, product, L"SetProductID : product=%s")
NVPC_TEXT_SETTER(SetFileName, filename, L"SetFileName : filename=%s")
NVPC_TEXT_SETTER(SetRegistURL, url, L"SetRegistURL : url=%s")
NVPC_TEXT_SETTER(SetUpgradeHost, host, L"SetUpgradeHost : host=%s")
NVPC_TEXT_SETTER(SetDNSHost, host, L"SetDNSHost : host=%s")
NVPC_TEXT_SETTER(SetDNSCode, code, L"SetDNSCode : code=%s")
NVPC_TEXT_SETTER(SetUserID, id, L"SetUserID : id=%s")
NVPC_TEXT_SETTER(SetAlias, alias, L"SetAlias : alias=%s")
NVPC_TEXT_SETTER(SetMeeterID, id, L"SetMeeterID : id=%s")
NVPC_TEXT_SETTER(SetRoomName, name, L"SetRoomName : name=%s")
#undef NVPC_TEXT_SETTER

#define NVPC_NUMBER_SETTER(Method, Type, Field, Format)                                                      \
    HRESULT CNVPCLoader::Method(Type Field)                                                                  \
    {                                                                                                        \
        return ComFirewall(                                                                                  \
            [&]                                                                                              \
            {                                                                                                \
                m_param.Method(Decimal(Field).c_str());                                                      \
                WriteLog(LOG_TRACE, Format, static_cast<int>(Field));                                        \
            });                                                                                              \
    }

NVPC_NUMBER_SETTER(SetMSPort, USHORT, port, L"SetMSPort : port=%d")
NVPC_NUMBER_SETTER(SetFSPort, USHORT, port, L"SetFSPort : port=%d")
NVPC_NUMBER_SETTER(SetWSPort, USHORT, port, L"SetWSPort : port=%d")
NVPC_NUMBER_SETTER(SetUpPort, USHORT, port, L"SetUpPort : port=%d")
NVPC_NUMBER_SETTER(SetMaxUser, USHORT, max, L"SetMaxUser : max=%d")
NVPC_NUMBER_SETTER(SetUserType, USHORT, type, L"SetUserType : type=%d")
// 0 (and a value above 2^31 - 1, which would be a wait of weeks) leaves TimeOut as it was;
// the line still shows what was passed.
NVPC_NUMBER_SETTER(SetTimeOut, ULONG, time, L"SetTimeOut : time=%d")
NVPC_NUMBER_SETTER(SetRunType, ULONG, type, L"SetRunType : type=%d")
NVPC_NUMBER_SETTER(SetQueryType, ULONG, type, L"SetQueryType : type=%d")
#undef NVPC_NUMBER_SETTER

HRESULT CNVPCLoader::SetProductType(USHORT type)
{
    return ComFirewall(
        [&]
        {
            m_param.SetProductType(Decimal(type).c_str());
            // The same icon whatever the type; an icon of our own, so destroying it is ours.
            m_productIcon.reset(static_cast<HICON>(
                ::LoadImageW(m_module, MAKEINTRESOURCEW(kProductIcon), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE)));
            if (m_window)
                ::SendMessageW(m_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_productIcon.get()));
            WriteLog(LOG_TRACE, L"SetProductType : type=%d", static_cast<int>(type));
        });
}

HRESULT CNVPCLoader::GetCurVer(VARIANT* ver)
{
    return ComFirewall(
        [&]() -> HRESULT
        {
            // A sink may let the page release the control while it is called.
            ComPtr<INVPCLoader> self(this);
            m_events.Fire_OnFinalUpdater();
            if (!ver)
                return E_POINTER;
            V_VT(ver) = VT_NULL;
            HRSRC found = ::FindResourceW(m_module, MAKEINTRESOURCEW(1), RT_VERSION);
            HGLOBAL loaded = found ? ::LoadResource(m_module, found) : nullptr;
            const BYTE* data = loaded ? static_cast<const BYTE*>(::LockResource(loaded)) : nullptr;
            // The three words logged below must lie inside the resource.
            if (!data || ::SizeofResource(m_module, found) < 16)
                return S_OK;
            DWORD words[3];
            memcpy(words, data + 4, sizeof words);
            // The word at offset 4 is what pages compare against; it is returned as it is.
            V_VT(ver) = VT_UI4;
            V_UI4(ver) = words[0];
            unsigned address = static_cast<unsigned>(reinterpret_cast<UINT_PTR>(data));
            WriteLog(LOG_TRACE, L"GetVersion : raw_data=%x pp=%x stru=%x ms=%x ls=%x", address, address,
                     static_cast<unsigned>(words[0]), static_cast<unsigned>(words[1]),
                     static_cast<unsigned>(words[2]));
            ::FreeResource(loaded);
            return S_OK;
        });
}

HRESULT CNVPCLoader::RunEx(BSTR option)
{
    return ComFirewall(
        [&]
        {
            // The run modes' message boxes pump messages: the page may release the control.
            ComPtr<INVPCLoader> self(this);
            m_runModes.SetOwner(OwnerWindow());
            return m_runModes.RunEx(Text(option));
        });
}

HRESULT CNVPCLoader::InterfaceSupportsErrorInfo(REFIID iid)
{
    return IsEqualIID(iid, __uuidof(INVPCLoader)) ? S_OK : S_FALSE;
}

ComPtr<IConnectionPoint> CNVPCLoader::MakeEventsPoint()
{
    return MakeCom<CLoaderEventsPoint>(this);
}

HRESULT CNVPCLoader::EnumConnectionPoints(IEnumConnectionPoints** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return ComFirewall(
        [&]
        {
            auto items = std::make_shared<CEnumConnectionPoints::Items>();
            items->push_back(MakeEventsPoint());
            *out = MakeCom<CEnumConnectionPoints>(std::move(items), 0).detach();
        });
}

HRESULT CNVPCLoader::FindConnectionPoint(REFIID iid, IConnectionPoint** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, __uuidof(_INVPCLoaderEvents)))
        return CONNECT_E_NOCONNECTION;
    return ComFirewall([&] { *out = MakeEventsPoint().detach(); });
}

HRESULT CNVPCLoader::GetClassInfo(ITypeInfo** out)
{
    return LoadModuleTypeInfo(ThisModule(), __uuidof(NVPCLoader), out);
}

HRESULT CNVPCLoader::GetGUID(DWORD kind, GUID* out)
{
    if (!out)
        return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID)
    {
        *out = GUID_NULL;
        return E_INVALIDARG;
    }
    *out = __uuidof(_INVPCLoaderEvents);
    return S_OK;
}

HRESULT CNVPCLoader::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled)
{
    if (!supported || !enabled)
        return E_POINTER;
    *supported = *enabled = 0;
    ComPtr<IUnknown> asked;
    HRESULT hr = static_cast<INVPCLoader*>(this)->QueryInterface(iid, asked.put_void());
    if (FAILED(hr))
        return hr;
    *supported = kSupportedSafety;
    *enabled = m_safety;
    return S_OK;
}

HRESULT CNVPCLoader::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled)
{
    ComPtr<IUnknown> asked;
    if (FAILED(static_cast<INVPCLoader*>(this)->QueryInterface(iid, asked.put_void())))
        return E_NOINTERFACE;
    if (mask & ~kSupportedSafety)
        return E_FAIL;
    m_safety = (enabled & mask) | (m_safety & ~mask);
    return S_OK;
}

IClassFactory* MakeNVPCLoaderFactory()
{
    try
    {
        return MakeCom<CNVPCLoaderFactory<ExeServerLock>>().detach();
    }
    catch (...)
    {
        return nullptr;
    }
}
