#pragma once
// The plug-in's side of the browser: its copy of the browser's function table and the
// calls through it. Each call checks its entry, so a browser that left one out gets a
// failure answer instead of a jump to null.
#include "npapi.h"

namespace plugin
{
// Filled by NP_Initialize; empty (all none) before it and after a refused one.
extern NPNetscapeFuncs g_browser;

NPError BrowserGetValue(NPP instance, NPNVariable variable, void* value);
NPIdentifier BrowserGetStringIdentifier(const char* name);
NPObject* BrowserCreateObject(NPP instance, NPClass* cls);
NPObject* BrowserRetainObject(NPObject* object);
void BrowserReleaseObject(NPObject* object);
bool BrowserEvaluate(NPP instance, NPObject* object, NPString* script, NPVariant* result);
void BrowserReleaseVariantValue(NPVariant* value);
void* BrowserMemAlloc(uint32_t size);

// The 27 methods of the loader control's scripting interface and the two properties, in the
// order the identifiers are asked for.
constexpr int kMethodCount = 27;
constexpr int kIdentifierCount = kMethodCount + 2;
constexpr int kInitialProperty = kMethodCount;
constexpr int kPluginTypeProperty = kMethodCount + 1;
extern const char* const kIdentifierNames[kIdentifierCount];
// Identifiers from the browser, asked for at each instance's start (a browser gives the
// same identifier for the same name, so later instances refill the same values).
extern NPIdentifier g_identifiers[kIdentifierCount];
void GetIdentifiers();
// The index of name in kIdentifierNames, or -1.
int IdentifierIndex(NPIdentifier name);
} // namespace plugin
