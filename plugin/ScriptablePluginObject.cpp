#include "ScriptablePluginObject.h"

#include "BstrVariant.h"
#include "PluginBrowser.h"
#include "PluginText.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

// The identifiers the generated header declares, for this library.
extern "C" const GUID IID_INVPCLoader = {
    0x052457a4, 0x9ae5, 0x45dd, {0xbd, 0xba, 0x45, 0x56, 0x16, 0xb4, 0x0e, 0x7f}};
extern "C" const GUID CLSID_NVPCLoader = {
    0xcd557f65, 0x9851, 0x450c, {0xaf, 0xf2, 0x50, 0x82, 0xe4, 0x1a, 0x5c, 0x82}};

namespace plugin
{
namespace
{
enum class ArgKind
{
    None,   // answered at once, the control is not called
    Text,   // one string
    Number, // one int32 or double
};

struct MethodEntry
{
    ArgKind kind;
    HRESULT (*text)(INVPCLoader*, BSTR);
    HRESULT (*number)(INVPCLoader*, uint32_t);
};

#define NVPC_TEXT(name)                                                                                      \
    {                                                                                                        \
        ArgKind::Text, [](INVPCLoader* p, BSTR s) { return p->name(s); }, nullptr                            \
    }
#define NVPC_NUMBER(name, type)                                                                              \
    {                                                                                                        \
        ArgKind::Number, nullptr, [](INVPCLoader* p, uint32_t v) { return p->name(static_cast<type>(v)); }   \
    }

// In the order of kIdentifierNames (not the interface's slot order). 16-bit parameters take
// the low 16 bits.
const MethodEntry kMethods[kMethodCount] = {
    {ArgKind::None, nullptr, nullptr}, // GetValidObject
    NVPC_NUMBER(SetPrimaryLangID, short),
    NVPC_TEXT(SetTitle),
    NVPC_TEXT(SetGroup),
    NVPC_TEXT(SetCompanyCode),
    NVPC_TEXT(SetProductID),
    NVPC_TEXT(SetFileName),
    NVPC_TEXT(SetRegistURL),
    NVPC_TEXT(SetUpgradeHost),
    NVPC_TEXT(SetDNSHost),
    NVPC_TEXT(SetDNSCode),
    NVPC_NUMBER(SetMSPort, unsigned short),
    NVPC_NUMBER(SetFSPort, unsigned short),
    NVPC_NUMBER(SetWSPort, unsigned short),
    NVPC_NUMBER(SetUpPort, unsigned short),
    NVPC_TEXT(SetUserID),
    NVPC_TEXT(SetAlias),
    NVPC_TEXT(SetMeeterID),
    NVPC_TEXT(SetRoomName),
    NVPC_NUMBER(SetMaxUser, unsigned short),
    NVPC_NUMBER(SetUserType, unsigned short),
    NVPC_NUMBER(SetProductType, unsigned short),
    NVPC_NUMBER(SetTimeOut, ULONG),
    NVPC_NUMBER(SetRunType, ULONG),
    NVPC_NUMBER(SetQueryType, ULONG),
    {ArgKind::None, nullptr, nullptr}, // GetCurVer
    NVPC_TEXT(RunEx),
};
#undef NVPC_TEXT
#undef NVPC_NUMBER

const char kDefaultMethodResult[] = "default method return val";
constexpr int32_t kInitialValue = 17;

void SetVoid(NPVariant* v)
{
    if (v)
    {
        v->type = NPVariantType_Void;
        v->value.objectValue = nullptr;
    }
}

ScriptablePluginObjectBase* Self(NPObject* o)
{
    return static_cast<ScriptablePluginObjectBase*>(o);
}

// The hooks the browser calls: each is a firewall, a failure is the hook's false answer.
template <typename R, typename Body> R Firewall(R failed, Body body)
{
    try
    {
        return body();
    }
    catch (...)
    {
        return failed;
    }
}

template <typename T> NPObject* Allocate(NPP npp, NPClass*)
{
    return Firewall<NPObject*>(nullptr, [&]() -> NPObject* { return new T(npp); });
}
void Deallocate(NPObject* o)
{
    Firewall(0, [&] {
        delete Self(o);
        return 0;
    });
}
void Invalidate(NPObject* o)
{
    Firewall(0, [&] {
        if (o)
            Self(o)->Invalidate();
        return 0;
    });
}
bool HasMethodHook(NPObject* o, NPIdentifier name)
{
    return Firewall(false, [&] { return o && Self(o)->HasMethod(name); });
}
bool InvokeHook(NPObject* o, NPIdentifier name, const NPVariant* args, uint32_t count, NPVariant* result)
{
    return Firewall(false, [&] { return o && Self(o)->Invoke(name, args, count, result); });
}
bool InvokeDefaultHook(NPObject* o, const NPVariant* args, uint32_t count, NPVariant* result)
{
    return Firewall(false, [&] { return o && Self(o)->InvokeDefault(args, count, result); });
}
bool HasPropertyHook(NPObject* o, NPIdentifier name)
{
    return Firewall(false, [&] { return o && Self(o)->HasProperty(name); });
}
bool GetPropertyHook(NPObject* o, NPIdentifier name, NPVariant* result)
{
    return Firewall(false, [&] { return o && Self(o)->GetProperty(name, result); });
}
bool SetPropertyHook(NPObject* o, NPIdentifier name, const NPVariant* value)
{
    return Firewall(false, [&] { return o && Self(o)->SetProperty(name, value); });
}
bool RemovePropertyHook(NPObject* o, NPIdentifier name)
{
    return Firewall(false, [&] { return o && Self(o)->RemoveProperty(name); });
}
bool EnumerateHook(NPObject* o, NPIdentifier** names, uint32_t* count)
{
    return Firewall(false, [&] { return o && Self(o)->Enumerate(names, count); });
}
bool ConstructHook(NPObject* o, const NPVariant* args, uint32_t count, NPVariant* result)
{
    return Firewall(false, [&] { return o && Self(o)->Construct(args, count, result); });
}
// The class table of an object type: every hook but the allocation is shared.
template <typename T> constexpr NPClass ClassOf()
{
    return {NP_CLASS_STRUCT_VERSION, Allocate<T>,      Deallocate,      Invalidate,         HasMethodHook,
            InvokeHook,              InvokeDefaultHook, HasPropertyHook, GetPropertyHook,    SetPropertyHook,
            RemovePropertyHook,      EnumerateHook,     ConstructHook};
}
} // namespace

NPClass g_scriptablePluginClass = ClassOf<ScriptablePluginObject>();
NPClass g_constructablePluginClass = ClassOf<ConstructablePluginObject>();

namespace
{
// Every object alive, so that an ending instance can detach the ones the page still holds.
// The browser calls a plug-in on one thread only.
std::vector<ScriptablePluginObjectBase*>& LiveObjects()
{
    static std::vector<ScriptablePluginObjectBase*> objects;
    return objects;
}
} // namespace

ScriptablePluginObjectBase::ScriptablePluginObjectBase(NPP npp) : m_npp(npp)
{
    LiveObjects().push_back(this); // a failure here fails the allocation
}

ScriptablePluginObjectBase::~ScriptablePluginObjectBase()
{
    auto& objects = LiveObjects();
    objects.erase(std::remove(objects.begin(), objects.end(), this), objects.end());
}

void ScriptablePluginObjectBase::DetachInstance(NPP npp)
{
    if (!npp)
        return;
    for (ScriptablePluginObjectBase* object : LiveObjects())
        if (object->m_npp == npp)
            object->m_npp = nullptr;
}

ScriptablePluginObject::ScriptablePluginObject(NPP npp) : ScriptablePluginObjectBase(npp)
{
    // Starts the updater as the control's server when it does not run. The browser's thread
    // is initialised for COM by the browser.
    INVPCLoader* loader = nullptr;
    if (SUCCEEDED(::CoCreateInstance(CLSID_NVPCLoader, nullptr, CLSCTX_ALL, IID_INVPCLoader,
                                     reinterpret_cast<void**>(&loader))) &&
        loader)
        m_loader.attach(loader);
}

ScriptablePluginObject::~ScriptablePluginObject() = default; // releases the control

bool ScriptablePluginObject::HasMethod(NPIdentifier name)
{
    int index = IdentifierIndex(name);
    return m_loader && index >= 0 && index < kMethodCount;
}

bool ScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t count,
                                    NPVariant* result)
{
    int index = IdentifierIndex(name);
    if (index < 0 || index >= kMethodCount)
        return false;
    const MethodEntry& method = kMethods[index];
    if (method.kind == ArgKind::None)
        return true;
    if (count != 1 || !args)
        return false;

    if (method.kind == ArgKind::Text)
    {
        if (args[0].type != NPVariantType_String)
            return false;
        UniqueBstr text(PageStringToBstr(args[0].value.stringValue));
        if (!text)
            return false; // invalid or longer than the conversion buffers: refused
        SetVoid(result);
        if (m_loader)
            method.text(m_loader.get(), text.get()); // the control reports nothing the page needs
        return true;
    }

    uint32_t number = 0;
    if (!PageNumberToLow32(args[0], number))
        return false;
    SetVoid(result);
    if (m_loader)
        method.number(m_loader.get(), number);
    return true;
}

bool ScriptablePluginObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result)
{
    if (!result)
        return false;
    char utf8[kUtf8BufferBytes];
    int bytes = AnsiToUtf8(kDefaultMethodResult, utf8, sizeof(utf8));
    if (bytes < 0)
        return false;
    // The browser frees string results with its own allocator.
    char* copy = static_cast<char*>(BrowserMemAlloc(static_cast<uint32_t>(bytes) + 1));
    if (!copy)
        return false;
    std::memcpy(copy, utf8, static_cast<size_t>(bytes) + 1);
    result->type = NPVariantType_String;
    result->value.stringValue.UTF8Characters = copy;
    result->value.stringValue.UTF8Length = static_cast<uint32_t>(bytes);
    return true;
}

bool ScriptablePluginObject::HasProperty(NPIdentifier name)
{
    int index = IdentifierIndex(name);
    return index == kInitialProperty || index == kPluginTypeProperty;
}

bool ScriptablePluginObject::GetProperty(NPIdentifier name, NPVariant* result)
{
    if (!result)
        return false;
    int index = IdentifierIndex(name);
    if (index == kInitialProperty)
    {
        result->type = NPVariantType_Int32;
        result->value.intValue = kInitialValue;
        return true;
    }
    if (index == kPluginTypeProperty)
    {
        if (!m_npp)
            return false; // the instance has ended
        NPObject* object = BrowserCreateObject(m_npp, &g_constructablePluginClass);
        if (!object)
            return false;
        result->type = NPVariantType_Object;
        result->value.objectValue = object; // the new object's reference goes to the caller
        return true;
    }
    return false;
}

bool ScriptablePluginObject::SetProperty(NPIdentifier name, const NPVariant*)
{
    // "Initial" takes any value and keeps reading 17; "PluginType" is read-only.
    return IdentifierIndex(name) == kInitialProperty;
}

bool ConstructablePluginObject::Construct(const NPVariant*, uint32_t, NPVariant* result)
{
    if (!result || !m_npp)
        return false;
    NPObject* object = BrowserCreateObject(m_npp, &g_constructablePluginClass);
    if (!object)
        return false;
    result->type = NPVariantType_Object;
    result->value.objectValue = object;
    return true;
}
} // namespace plugin
