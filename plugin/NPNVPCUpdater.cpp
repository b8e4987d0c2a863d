// The plug-in library's entry points: the three exports and the instance functions the
// browser reaches through the table NP_GetEntryPoints fills. Every one is an exception
// firewall: nothing thrown inside reaches the browser.
#include "PluginBrowser.h"
#include "PluginText.h"
#include "ScriptablePluginObject.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace plugin
{
NPNetscapeFuncs g_browser = {};
NPIdentifier g_identifiers[kIdentifierCount] = {};

const char* const kIdentifierNames[kIdentifierCount] = {
    "GetValidObject", "SetPrimaryLangID", "SetTitle",    "SetGroup",
    "SetCompanyCode", "SetProductID",     "SetFileName", "SetRegistURL",
    "SetUpgradeHost", "SetDNSHost",       "SetDNSCode",  "SetMSPort",
    "SetFSPort",      "SetWSPort",        "SetUpPort",   "SetUserID",
    "SetAlias",       "SetMeeterID",      "SetRoomName", "SetMaxUser",
    "SetUserType",    "SetProductType",   "SetTimeOut",  "SetRunType",
    "SetQueryType",   "GetCurVer",        "RunEx",       "Initial",
    "PluginType"};

NPError BrowserGetValue(NPP instance, NPNVariable variable, void* value)
{
    return g_browser.getvalue ? g_browser.getvalue(instance, variable, value) : NPERR_GENERIC_ERROR;
}
NPIdentifier BrowserGetStringIdentifier(const char* name)
{
    return g_browser.getstringidentifier ? g_browser.getstringidentifier(name) : nullptr;
}
NPObject* BrowserCreateObject(NPP instance, NPClass* cls)
{
    return g_browser.createobject ? g_browser.createobject(instance, cls) : nullptr;
}
NPObject* BrowserRetainObject(NPObject* object)
{
    return g_browser.retainobject && object ? g_browser.retainobject(object) : object;
}
void BrowserReleaseObject(NPObject* object)
{
    if (g_browser.releaseobject && object)
        g_browser.releaseobject(object);
}
bool BrowserEvaluate(NPP instance, NPObject* object, NPString* script, NPVariant* result)
{
    return g_browser.evaluate && g_browser.evaluate(instance, object, script, result);
}
void BrowserReleaseVariantValue(NPVariant* value)
{
    if (g_browser.releasevariantvalue)
        g_browser.releasevariantvalue(value);
}
void* BrowserMemAlloc(uint32_t size)
{
    return g_browser.memalloc ? g_browser.memalloc(size) : nullptr;
}

void GetIdentifiers()
{
    for (int i = 0; i < kIdentifierCount; ++i)
        g_identifiers[i] = BrowserGetStringIdentifier(kIdentifierNames[i]);
}

int IdentifierIndex(NPIdentifier name)
{
    if (!name)
        return -1;
    for (int i = 0; i < kIdentifierCount; ++i)
        if (g_identifiers[i] == name)
            return i;
    return -1;
}

namespace
{
// What the plug-in keeps per instance (the browser's pdata).
struct InstanceRecord
{
    NPP instance = nullptr;
    NPWindow* window = nullptr;
    uint32_t reserved = 0;
    bool initialised = false;
    NPObject* scriptable = nullptr;
    // The page's window object, kept per instance: one slot for the whole library would
    // lose the first page's reference when a second instance starts, and the first
    // instance's end would release the second's.
    NPObject* windowObject = nullptr;
};

InstanceRecord* RecordOf(NPP instance)
{
    return static_cast<InstanceRecord*>(instance->pdata);
}

// Lets the page know the plug-in is here; a page without eventLoad, or one that throws,
// is caught by the script's own try.
void CallEventLoad(NPP instance, NPObject* window)
{
    if (!window)
        return;
    char script[256];
    int n = std::snprintf(script, sizeof(script), "try{%s} catch(e) {} void(0);", "eventLoad()");
    if (n <= 0 || n >= static_cast<int>(sizeof(script)))
        return;
    char utf8[kUtf8BufferBytes];
    int bytes = AnsiToUtf8(script, utf8, sizeof(utf8));
    if (bytes < 0)
        return;
    NPString text = {utf8, static_cast<uint32_t>(bytes)};
    NPVariant result;
    result.type = NPVariantType_Void;
    result.value.objectValue = nullptr;
    if (BrowserEvaluate(instance, window, &text, &result))
        BrowserReleaseVariantValue(&result);
}

NPError NPP_New(NPMIMEType, NPP instance, uint16_t, int16_t, char*[], char*[], NPSavedData*)
{
    try
    {
        if (!instance)
            return NPERR_INVALID_INSTANCE_ERROR;
        InstanceRecord* record = new (std::nothrow) InstanceRecord;
        if (!record)
            return NPERR_OUT_OF_MEMORY_ERROR;
        record->instance = instance;

        NPObject* window = nullptr;
        if (BrowserGetValue(instance, NPNVWindowNPObject, &window) == NPERR_NO_ERROR)
            record->windowObject = window;
        GetIdentifiers();
        CallEventLoad(instance, record->windowObject);

        // Only now: during eventLoad the element offers no scripting object yet.
        instance->pdata = record;
        return NPERR_NO_ERROR;
    }
    catch (...)
    {
        return NPERR_GENERIC_ERROR;
    }
}

NPError NPP_Destroy(NPP instance, NPSavedData**)
{
    try
    {
        if (!instance)
            return NPERR_INVALID_INSTANCE_ERROR;
        ScriptablePluginObjectBase::DetachInstance(instance);
        InstanceRecord* record = RecordOf(instance);
        if (record)
        {
            record->initialised = false;
            BrowserReleaseObject(record->windowObject);
            record->windowObject = nullptr;
            BrowserReleaseObject(record->scriptable);
            record->scriptable = nullptr;
            instance->pdata = nullptr;
            delete record;
        }
        return NPERR_NO_ERROR;
    }
    catch (...)
    {
        return NPERR_GENERIC_ERROR;
    }
}

NPError NPP_SetWindow(NPP instance, NPWindow* window)
{
    try
    {
        if (!instance)
            return NPERR_INVALID_INSTANCE_ERROR;
        InstanceRecord* record = RecordOf(instance);
        if (!window || !record)
            return NPERR_GENERIC_ERROR;
        if (!record->initialised && window->window)
        {
            record->window = window;
            record->initialised = true;
        }
        return NPERR_NO_ERROR;
    }
    catch (...)
    {
        return NPERR_GENERIC_ERROR;
    }
}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value)
{
    try
    {
        if (!instance)
            return NPERR_INVALID_INSTANCE_ERROR;
        InstanceRecord* record = RecordOf(instance);
        if (!record || !value)
            return NPERR_GENERIC_ERROR;
        switch (variable)
        {
        case NPPVpluginNameString:
            *static_cast<const char**>(value) = "NPNVPCUpdater";
            return NPERR_NO_ERROR;
        case NPPVpluginDescriptionString:
            *static_cast<const char**>(value) = "NPNVPCUpdater web infterface plugin";
            return NPERR_NO_ERROR;
        case NPPVpluginScriptableNPObject:
            if (!record->scriptable)
                record->scriptable = BrowserCreateObject(instance, &g_scriptablePluginClass);
            if (!record->scriptable)
                return NPERR_GENERIC_ERROR;
            // One reference for the browser; the record keeps its own until NPP_Destroy.
            *static_cast<NPObject**>(value) = BrowserRetainObject(record->scriptable);
            return NPERR_NO_ERROR;
        default:
            return NPERR_GENERIC_ERROR;
        }
    }
    catch (...)
    {
        return NPERR_GENERIC_ERROR;
    }
}

NPError NPP_NewStream(NPP instance, NPMIMEType, NPStream*, NPBool, uint16_t*)
{
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}
NPError NPP_DestroyStream(NPP instance, NPStream*, NPReason)
{
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}
NPError NPP_SetValue(NPP instance, NPNVariable, void*)
{
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}
int32_t NPP_WriteReady(NPP instance, NPStream*)
{
    return instance ? 0x0FFFFFFF : NPERR_INVALID_INSTANCE_ERROR;
}
// All data is accepted and ignored.
int32_t NPP_Write(NPP instance, NPStream*, int32_t, int32_t len, void*)
{
    return instance ? len : NPERR_INVALID_INSTANCE_ERROR;
}
int16_t NPP_HandleEvent(NPP, void*)
{
    return 0;
}
void NPP_StreamAsFile(NPP, NPStream*, const char*) {}
void NPP_Print(NPP, NPPrint*) {}
void NPP_URLNotify(NPP, const char*, NPReason, void*) {}
} // namespace
} // namespace plugin

using namespace plugin;

extern "C" NPError NP_OSCALL NP_GetEntryPoints(NPPluginFuncs* funcs)
{
    try
    {
        if (!funcs || funcs->size < kNPPluginFuncsMinSize)
            return NPERR_INVALID_FUNCTABLE_ERROR;
        funcs->version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
        funcs->newp = NPP_New;
        funcs->destroy = NPP_Destroy;
        funcs->setwindow = NPP_SetWindow;
        funcs->newstream = NPP_NewStream;
        funcs->destroystream = NPP_DestroyStream;
        funcs->asfile = NPP_StreamAsFile;
        funcs->writeready = NPP_WriteReady;
        funcs->write = NPP_Write;
        funcs->print = NPP_Print;
        funcs->event = NPP_HandleEvent;
        funcs->urlnotify = NPP_URLNotify;
        funcs->javaClass = nullptr;
        funcs->getvalue = NPP_GetValue;
        funcs->setvalue = NPP_SetValue;
        return NPERR_NO_ERROR;
    }
    catch (...)
    {
        return NPERR_GENERIC_ERROR;
    }
}

extern "C" NPError NP_OSCALL NP_Initialize(NPNetscapeFuncs* funcs)
{
    try
    {
        if (!funcs)
            return NPERR_INVALID_FUNCTABLE_ERROR;
        if ((funcs->version >> 8) != NP_VERSION_MAJOR)
            return NPERR_INCOMPATIBLE_VERSION_ERROR;
        if (funcs->size < kNPNetscapeFuncsMinSize)
            return NPERR_INVALID_FUNCTABLE_ERROR;
        // Up to set-exception: nothing later is called.
        NPNetscapeFuncs copy = {};
        std::memcpy(&copy, funcs, kNPNetscapeFuncsCopiedSize);
        copy.getJavaEnv = nullptr;
        copy.getJavaPeer = nullptr;
        g_browser = copy;
        return NPERR_NO_ERROR;
    }
    catch (...)
    {
        return NPERR_GENERIC_ERROR;
    }
}

extern "C" NPError NP_OSCALL NP_Shutdown()
{
    return NPERR_NO_ERROR;
}
