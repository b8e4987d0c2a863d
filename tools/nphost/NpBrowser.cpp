#include "NpBrowser.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
NpBrowser* g_current = nullptr;

// The page's window: a plain object of the browser's own class.
NPClass g_windowClass = {NP_CLASS_STRUCT_VERSION,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr};
} // namespace

NpBrowser::NpBrowser()
{
    g_current = this;
    funcs.size = sizeof(funcs);
    funcs.version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
    funcs.memalloc = MemAlloc;
    funcs.memfree = MemFree;
    funcs.getvalue = GetValue;
    funcs.setvalue = SetValue;
    funcs.getstringidentifier = GetStringIdentifier;
    funcs.getstringidentifiers = GetStringIdentifiers;
    funcs.identifierisstring = IdentifierIsString;
    funcs.utf8fromidentifier = UTF8FromIdentifier;
    funcs.createobject = CreateObject;
    funcs.retainobject = RetainObject;
    funcs.releaseobject = ReleaseObject;
    funcs.evaluate = Evaluate;
    funcs.releasevariantvalue = ReleaseVariantValue;
    funcs.setexception = SetException;
    windowObject = CreateObject(nullptr, &g_windowClass);
}

NpBrowser::~NpBrowser()
{
    ReleaseObject(windowObject);
    Unload();
    for (void* p : m_allocations)
        std::free(p);
    g_current = nullptr;
}

NpBrowser* NpBrowser::Current()
{
    return g_current;
}

bool NpBrowser::Load(const wchar_t* path)
{
    module = ::LoadLibraryW(path);
    if (!module)
        return false;
    getEntryPoints = reinterpret_cast<NP_GetEntryPointsFunc>(::GetProcAddress(module, "NP_GetEntryPoints"));
    initialize = reinterpret_cast<NP_InitializeFunc>(::GetProcAddress(module, "NP_Initialize"));
    shutdown = reinterpret_cast<NP_ShutdownFunc>(::GetProcAddress(module, "NP_Shutdown"));
    return getEntryPoints && initialize && shutdown;
}

void NpBrowser::Unload()
{
    if (module)
        ::FreeLibrary(module);
    module = nullptr;
    getEntryPoints = nullptr;
    initialize = nullptr;
    shutdown = nullptr;
}

NPError NpBrowser::Start()
{
    plugin = {};
    plugin.size = sizeof(plugin);
    NPError err = getEntryPoints(&plugin);
    if (err != NPERR_NO_ERROR)
        return err;
    return initialize(&funcs);
}

uint32_t NpBrowser::RefCount(NPObject* object) const
{
    return Alive(object) ? object->referenceCount : 0;
}

NPIdentifier NpBrowser::Id(const std::string& name)
{
    auto& slot = m_identifiers[name];
    if (!slot)
        slot.reset(new std::string(name));
    return slot.get();
}

NPVariant NpBrowser::Void()
{
    NPVariant v;
    v.type = NPVariantType_Void;
    v.value.objectValue = nullptr;
    return v;
}
NPVariant NpBrowser::Null()
{
    NPVariant v = Void();
    v.type = NPVariantType_Null;
    return v;
}
NPVariant NpBrowser::Bool(bool b)
{
    NPVariant v = Void();
    v.type = NPVariantType_Bool;
    v.value.boolValue = b;
    return v;
}
NPVariant NpBrowser::Int(int32_t i)
{
    NPVariant v = Void();
    v.type = NPVariantType_Int32;
    v.value.intValue = i;
    return v;
}
NPVariant NpBrowser::Double(double d)
{
    NPVariant v = Void();
    v.type = NPVariantType_Double;
    v.value.doubleValue = d;
    return v;
}
NPVariant NpBrowser::String(const std::string& text)
{
    NPVariant v = Void();
    v.type = NPVariantType_String;
    v.value.stringValue.UTF8Characters = text.data();
    v.value.stringValue.UTF8Length = static_cast<uint32_t>(text.size());
    return v;
}
NPVariant NpBrowser::Object(NPObject* o)
{
    NPVariant v = Void();
    v.type = NPVariantType_Object;
    v.value.objectValue = o;
    return v;
}

std::string NpBrowser::Json(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text)
    {
        if (c == '"' || c == '\\')
            out += '\\', out += static_cast<char>(c);
        else if (c < 0x20)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        }
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string NpBrowser::Describe(const NPVariant& v)
{
    char number[64];
    switch (v.type)
    {
    case NPVariantType_Void:
        return "{\"type\":\"void\"}";
    case NPVariantType_Null:
        return "{\"type\":\"null\"}";
    case NPVariantType_Bool:
        return std::string("{\"type\":\"bool\",\"value\":") + (v.value.boolValue ? "true" : "false") + "}";
    case NPVariantType_Int32:
        std::snprintf(number, sizeof(number), "%ld", static_cast<long>(v.value.intValue));
        return std::string("{\"type\":\"int32\",\"value\":") + number + "}";
    case NPVariantType_Double:
        std::snprintf(number, sizeof(number), "%.17g", v.value.doubleValue);
        return std::string("{\"type\":\"double\",\"value\":") + number + "}";
    case NPVariantType_String:
        return "{\"type\":\"string\",\"value\":" +
               Json(std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length)) + "}";
    case NPVariantType_Object:
    {
        NPObject* o = v.value.objectValue;
        std::snprintf(number, sizeof(number), "%lu", static_cast<unsigned long>(o ? o->referenceCount : 0));
        bool constructable = o && o->_class && o->_class->construct;
        return std::string("{\"type\":\"object\",\"refs\":") + number +
               ",\"construct\":" + (constructable ? "true" : "false") + "}";
    }
    }
    return "{\"type\":\"unknown\"}";
}

void* NpBrowser::MemAlloc(uint32_t size)
{
    void* p = std::malloc(size ? size : 1);
    if (p && g_current)
        g_current->m_allocations.insert(p);
    return p;
}

void NpBrowser::MemFree(void* p)
{
    if (!p)
        return;
    // Only what this allocator gave out is freed; anything else is a plug-in fault the
    // counts show (the allocation stays outstanding).
    if (g_current && g_current->m_allocations.erase(p) == 0)
        return;
    std::free(p);
}

NPObject* NpBrowser::CreateObject(NPP npp, NPClass* cls)
{
    if (!cls)
        return nullptr;
    NPObject* o = cls->allocate ? cls->allocate(npp, cls) : new NPObject;
    if (!o)
        return nullptr;
    o->_class = cls;
    o->referenceCount = 1;
    if (g_current)
        g_current->m_live.insert(o);
    return o;
}

NPObject* NpBrowser::RetainObject(NPObject* o)
{
    if (o)
        ++o->referenceCount;
    return o;
}

void NpBrowser::ReleaseObject(NPObject* o)
{
    if (!o || o->referenceCount == 0)
        return;
    if (--o->referenceCount != 0)
        return;
    if (g_current)
    {
        g_current->m_live.erase(o);
        ++g_current->m_deallocated;
    }
    if (o->_class && o->_class->deallocate)
        o->_class->deallocate(o);
    else
        delete o;
}

void NpBrowser::ReleaseVariantValue(NPVariant* v)
{
    if (!v)
        return;
    if (v->type == NPVariantType_String)
        MemFree(const_cast<NPUTF8*>(v->value.stringValue.UTF8Characters));
    else if (v->type == NPVariantType_Object)
        ReleaseObject(v->value.objectValue);
    *v = Void();
}

NPError NpBrowser::GetValue(NPP, NPNVariable variable, void* value)
{
    if (!g_current || !value)
        return NPERR_GENERIC_ERROR;
    if (variable == NPNVWindowNPObject && g_current->page != Page::NoWindowObject)
    {
        *static_cast<NPObject**>(value) = RetainObject(g_current->windowObject);
        return NPERR_NO_ERROR;
    }
    return NPERR_GENERIC_ERROR;
}

NPError NpBrowser::SetValue(NPP, NPPVariable, void*)
{
    return NPERR_GENERIC_ERROR;
}

NPIdentifier NpBrowser::GetStringIdentifier(const NPUTF8* name)
{
    return g_current && name ? g_current->Id(name) : nullptr;
}

void NpBrowser::GetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids)
{
    for (int32_t i = 0; i < count; ++i)
        ids[i] = GetStringIdentifier(names[i]);
}

bool NpBrowser::IdentifierIsString(NPIdentifier id)
{
    return id != nullptr;
}

NPUTF8* NpBrowser::UTF8FromIdentifier(NPIdentifier id)
{
    if (!id)
        return nullptr;
    const std::string& name = *static_cast<std::string*>(id);
    char* copy = static_cast<char*>(MemAlloc(static_cast<uint32_t>(name.size()) + 1));
    if (copy)
        std::memcpy(copy, name.c_str(), name.size() + 1);
    return copy;
}

// The page: a script that calls eventLoad() runs the page's function when it has one;
// without it the call throws, which only a try in the script itself catches.
bool NpBrowser::Evaluate(NPP npp, NPObject* o, NPString* script, NPVariant* result)
{
    if (!g_current || !script || !result)
        return false;
    std::string text(script->UTF8Characters ? script->UTF8Characters : "", script->UTF8Length);
    g_current->scripts.push_back(text);
    *result = Void();
    if (o != g_current->windowObject)
        return false;
    if (text.find("eventLoad()") != std::string::npos)
    {
        if (g_current->page == Page::WithEventLoad)
        {
            ++g_current->eventLoadCalls;
            if (g_current->onEventLoad)
                g_current->onEventLoad(npp);
        }
        else if (text.find("try{") == std::string::npos)
        {
            ++g_current->scriptErrors;
            return false;
        }
    }
    return true;
}

void NpBrowser::SetException(NPObject*, const NPUTF8* message)
{
    if (g_current)
        g_current->exceptions.push_back(message ? message : "");
}
