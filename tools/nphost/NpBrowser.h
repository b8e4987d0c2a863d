#pragma once
// The browser side of the plug-in interface for the test host and the plug-in's tests: a
// function table whose calls really keep objects (reference counts, deallocation),
// identifiers, allocations and the scripts a plug-in asks to evaluate, so a run can show
// whether the plug-in leaves everything as it found it.
#include "npapi.h"

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class NpBrowser
{
  public:
    // How the page answers NPN_Evaluate and NPN_GetValue(NPNVWindowNPObject).
    enum class Page
    {
        WithEventLoad,    // defines eventLoad: the call runs onEventLoad
        WithoutEventLoad, // calling eventLoad throws; only a try around it saves the script
        NoWindowObject,   // the window object cannot be had
    };

    // One browser per process: the table's functions have no context of their own.
    NpBrowser();
    ~NpBrowser();
    NpBrowser(const NpBrowser&) = delete;
    NpBrowser& operator=(const NpBrowser&) = delete;
    static NpBrowser* Current();

    // The table handed to NP_Initialize (every entry this browser implements filled).
    NPNetscapeFuncs funcs = {};

    // Loads the library and takes its three exports; false if any is missing.
    bool Load(const wchar_t* path);
    void Unload();
    HMODULE module = nullptr;
    NP_GetEntryPointsFunc getEntryPoints = nullptr;
    NP_InitializeFunc initialize = nullptr;
    NP_ShutdownFunc shutdown = nullptr;
    NPPluginFuncs plugin = {}; // filled by Start
    // NP_GetEntryPoints then NP_Initialize with full tables; the first error, or 0.
    NPError Start();

    Page page = Page::WithEventLoad;
    std::vector<std::string> scripts;    // every script evaluated, in order
    int eventLoadCalls = 0;              // times the page's eventLoad ran
    int scriptErrors = 0;                // evaluations that threw out of the script
    std::vector<std::string> exceptions; // NPN_SetException messages
    std::function<void(NPP)> onEventLoad;

    NPObject* windowObject = nullptr; // the page's window (the browser's own reference)
    uint32_t RefCount(NPObject* object) const;
    bool Alive(NPObject* object) const { return m_live.count(object) != 0; }
    size_t LiveObjects() const { return m_live.size(); }
    size_t Deallocated() const { return m_deallocated; }
    size_t OutstandingAllocations() const { return m_allocations.size(); }

    NPIdentifier Id(const std::string& name);

    // Page values. A string argument points into text, which must outlive the call.
    static NPVariant Void();
    static NPVariant Null();
    static NPVariant Bool(bool b);
    static NPVariant Int(int32_t i);
    static NPVariant Double(double d);
    static NPVariant String(const std::string& text);
    static NPVariant Object(NPObject* o);
    // What a result holds, as one JSON object ({"type":"string","value":"..."}).
    static std::string Describe(const NPVariant& v);
    static std::string Json(const std::string& text);

    // The browser's side of the table, also callable by the host itself.
    static void* MemAlloc(uint32_t size);
    static void MemFree(void* p);
    static NPObject* CreateObject(NPP npp, NPClass* cls);
    static NPObject* RetainObject(NPObject* o);
    static void ReleaseObject(NPObject* o);
    static void ReleaseVariantValue(NPVariant* v);

  private:
    static NPError GetValue(NPP npp, NPNVariable variable, void* value);
    static NPError SetValue(NPP npp, NPPVariable variable, void* value);
    static NPIdentifier GetStringIdentifier(const NPUTF8* name);
    static void GetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids);
    static bool IdentifierIsString(NPIdentifier id);
    static NPUTF8* UTF8FromIdentifier(NPIdentifier id);
    static bool Evaluate(NPP npp, NPObject* o, NPString* script, NPVariant* result);
    static void SetException(NPObject* o, const NPUTF8* message);

    std::map<std::string, std::unique_ptr<std::string>> m_identifiers;
    std::set<NPObject*> m_live;
    std::set<void*> m_allocations;
    size_t m_deallocated = 0;
};
