// NpHost: a browser as far as the plug-in can tell. Loads the plug-in library, hands it a
// browser function table (tools/nphost/NpBrowser), creates an instance in a real window
// and calls the scripting object as page script would. For the end-to-end tests.
//
//   NpHost DLL SCRIPT
//
// SCRIPT is a text file, one command per line (blank lines and lines starting with # are
// skipped):
//   page eventload|plain|nowindow  how the page answers: with an eventLoad function, without
//                                  one, or without a window object (before "new")
//   start                          NP_GetEntryPoints + NP_Initialize
//   new                            NPP_New; prints the scripts the page was asked to run, how
//                                  often eventLoad ran and what NPP_GetValue(15) answered
//                                  from inside eventLoad
//   window                         NPP_SetWindow with a real (hidden) window
//   object                         NPP_GetValue(NPPVpluginScriptableNPObject); the host keeps
//                                  the reference it gets (one per "object")
//   value N                        NPP_GetValue(N) for the name and description texts
//   hasmethod NAME | hasproperty NAME
//   call NAME [ARG...]             invoke; ARG is s:TEXT (%XX escapes decoded, so any bytes),
//                                  S:N (N letters), i:N, d:X, b:0|1, null, void, o:window
//   default [ARG...]               the element called as a function
//   get NAME | set NAME ARG        properties; an object result is kept for "construct"
//   construct                      constructs from the last object a "get" gave
//   pump MS                        runs the message loop for MS milliseconds
//   waitfile MS PATH               runs it until PATH (rest of the line) exists, at most MS
//   release                        the host drops every reference it holds to plug-in objects
//   destroy                        NPP_Destroy; prints the window object's references, the
//                                  plug-in objects still alive and the browser memory still
//                                  allocated
//   shutdown                       NP_Shutdown and FreeLibrary
// Each command prints one JSON line. Exit code 0 when every command ran, 2 for a bad script
// or a library that cannot be loaded.
#include "NpBrowser.h"

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{
NpBrowser* g_browser = nullptr;
NPP_t g_instance = {};
NPWindow g_npwindow = {};
HWND g_hwnd = nullptr;
std::vector<NPObject*> g_held; // references the host holds, as page script would
NPObject* g_lastObject = nullptr;
std::string g_duringEventLoad = "null";

std::string Narrow(const std::wstring& w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, nullptr, nullptr);
    return s;
}

std::string Decode(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '%' && i + 2 < text.size())
        {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        }
        else
            out += text[i];
    }
    return out;
}

// Strings of the arguments live here while the call runs.
bool ParseArg(const std::string& token, std::vector<std::string>& texts, NPVariant& out)
{
    if (token == "null")
        out = NpBrowser::Null();
    else if (token == "void")
        out = NpBrowser::Void();
    else if (token == "o:window")
        out = NpBrowser::Object(g_browser->windowObject);
    else if (token.rfind("s:", 0) == 0)
    {
        texts.push_back(Decode(token.substr(2)));
        out = NpBrowser::Void(); // filled once texts stops growing
        out.type = NPVariantType_String;
        out.value.stringValue.UTF8Length = static_cast<uint32_t>(texts.size() - 1); // index for now
    }
    else if (token.rfind("S:", 0) == 0)
    {
        texts.push_back(std::string(std::strtoul(token.c_str() + 2, nullptr, 10), 'a'));
        out = NpBrowser::Void();
        out.type = NPVariantType_String;
        out.value.stringValue.UTF8Length = static_cast<uint32_t>(texts.size() - 1);
    }
    else if (token.rfind("i:", 0) == 0)
        out = NpBrowser::Int(static_cast<int32_t>(std::strtol(token.c_str() + 2, nullptr, 10)));
    else if (token.rfind("d:", 0) == 0)
        out = NpBrowser::Double(std::strtod(token.c_str() + 2, nullptr));
    else if (token.rfind("b:", 0) == 0)
        out = NpBrowser::Bool(token == "b:1" || token == "b:true");
    else
        return false;
    return true;
}

bool ParseArgs(std::istringstream& in, std::vector<std::string>& texts, std::vector<NPVariant>& args)
{
    std::string token;
    while (in >> token)
    {
        NPVariant v;
        if (!ParseArg(token, texts, v))
            return false;
        args.push_back(v);
    }
    for (NPVariant& v : args)
        if (v.type == NPVariantType_String)
        {
            const std::string& text = texts[v.value.stringValue.UTF8Length];
            v = NpBrowser::String(text);
        }
    return true;
}

NPObject* Scriptable()
{
    return g_held.empty() ? nullptr : g_held.front();
}

std::string Refs()
{
    char line[160];
    std::snprintf(line, sizeof(line),
                  "\"window_refs\":%lu,\"live\":%lu,\"deallocated\":%lu,\"allocations\":%lu",
                  static_cast<unsigned long>(g_browser->RefCount(g_browser->windowObject)),
                  static_cast<unsigned long>(g_browser->LiveObjects() - 1), // the window is the browser's
                  static_cast<unsigned long>(g_browser->Deallocated()),
                  static_cast<unsigned long>(g_browser->OutstandingAllocations()));
    return line;
}

void Pump(DWORD ms, const std::wstring& file = std::wstring())
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms)
    {
        if (!file.empty() && GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

std::string Answer(bool ok, const NPVariant* result)
{
    std::string line = std::string("\"answer\":") + (ok ? "true" : "false");
    if (result)
        line += ",\"result\":" + NpBrowser::Describe(*result);
    return line;
}

// One command; false for a line the host does not understand.
bool Run(const std::string& line)
{
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    NpBrowser& b = *g_browser;
    std::string out = "{\"cmd\":" + NpBrowser::Json(cmd);
    if (cmd == "page")
    {
        std::string kind;
        in >> kind;
        if (kind == "eventload")
            b.page = NpBrowser::Page::WithEventLoad;
        else if (kind == "plain")
            b.page = NpBrowser::Page::WithoutEventLoad;
        else if (kind == "nowindow")
            b.page = NpBrowser::Page::NoWindowObject;
        else
            return false;
    }
    else if (cmd == "start")
    {
        NPError err = b.Start();
        out += ",\"err\":" + std::to_string(err) + ",\"version\":" + std::to_string(b.plugin.version);
    }
    else if (cmd == "new")
    {
        b.scripts.clear();
        b.onEventLoad = [](NPP npp)
        {
            // What page script would find on the element while eventLoad runs.
            NPObject* o = nullptr;
            NPError err = g_browser->plugin.getvalue(npp, NPPVpluginScriptableNPObject, &o);
            g_duringEventLoad = std::to_string(err);
            if (err == NPERR_NO_ERROR && o)
                NpBrowser::ReleaseObject(o);
        };
        char mime[] = "application/NPNVPCUpdater-plugin";
        NPError err = b.plugin.newp(mime, &g_instance, 1, 0, nullptr, nullptr, nullptr);
        out += ",\"err\":" + std::to_string(err) + ",\"eventLoad\":" + std::to_string(b.eventLoadCalls) +
               ",\"script_errors\":" + std::to_string(b.scriptErrors) +
               ",\"getvalue_during_eventload\":" + g_duringEventLoad + ",\"scripts\":[";
        for (size_t i = 0; i < b.scripts.size(); ++i)
            out += (i ? "," : "") + NpBrowser::Json(b.scripts[i]);
        out += "]," + Refs();
    }
    else if (cmd == "window")
    {
        if (!g_hwnd)
            g_hwnd = CreateWindowExW(0, L"STATIC", L"NpHost page", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240,
                                     nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        g_npwindow.window = g_hwnd;
        g_npwindow.width = 320;
        g_npwindow.height = 240;
        g_npwindow.type = NPWindowTypeWindow;
        NPError err = b.plugin.setwindow(&g_instance, &g_npwindow);
        out += ",\"err\":" + std::to_string(err) + ",\"hwnd\":" + (g_hwnd ? "true" : "false");
    }
    else if (cmd == "object")
    {
        NPObject* o = nullptr;
        NPError err = b.plugin.getvalue(&g_instance, NPPVpluginScriptableNPObject, &o);
        if (err == NPERR_NO_ERROR && o)
            g_held.push_back(o);
        out += ",\"err\":" + std::to_string(err) + ",\"refs\":" + std::to_string(o ? b.RefCount(o) : 0);
    }
    else if (cmd == "value")
    {
        int variable = 0;
        in >> variable;
        const char* text = nullptr;
        NPError err = b.plugin.getvalue(&g_instance, static_cast<NPPVariable>(variable), &text);
        out += ",\"err\":" + std::to_string(err);
        if (err == NPERR_NO_ERROR && (variable == 1 || variable == 2))
            out += ",\"text\":" + NpBrowser::Json(text ? text : "");
    }
    else if (cmd == "hasmethod" || cmd == "hasproperty" || cmd == "call" || cmd == "default" ||
             cmd == "get" || cmd == "set")
    {
        NPObject* o = Scriptable();
        if (!o)
            out += ",\"error\":\"no object\"";
        else
        {
            std::string name;
            if (cmd != "default")
                in >> name;
            out += ",\"name\":" + NpBrowser::Json(name);
            NPIdentifier id = b.Id(name);
            std::vector<std::string> texts;
            std::vector<NPVariant> args;
            if (!ParseArgs(in, texts, args))
                return false;
            NPVariant result = NpBrowser::Void();
            const NPVariant* argv = args.empty() ? nullptr : args.data();
            uint32_t argc = static_cast<uint32_t>(args.size());
            if (cmd == "hasmethod")
                out += Answer(o->_class->hasMethod(o, id), nullptr).insert(0, ",");
            else if (cmd == "hasproperty")
                out += Answer(o->_class->hasProperty(o, id), nullptr).insert(0, ",");
            else if (cmd == "set")
                out += Answer(argc == 1 && o->_class->setProperty(o, id, argv), nullptr).insert(0, ",");
            else
            {
                bool ok = cmd == "call"      ? o->_class->invoke(o, id, argv, argc, &result)
                          : cmd == "default" ? o->_class->invokeDefault(o, argv, argc, &result)
                                             : o->_class->getProperty(o, id, &result);
                out += "," + Answer(ok, &result);
                if (ok && result.type == NPVariantType_Object)
                {
                    NpBrowser::ReleaseObject(g_lastObject);
                    g_lastObject = result.value.objectValue; // keeps the result's reference
                    result = NpBrowser::Void();
                }
                NpBrowser::ReleaseVariantValue(&result);
            }
            out += ",\"allocations\":" + std::to_string(b.OutstandingAllocations());
        }
    }
    else if (cmd == "construct")
    {
        NPVariant result = NpBrowser::Void();
        bool ok = g_lastObject && g_lastObject->_class->construct(g_lastObject, nullptr, 0, &result);
        out += "," + Answer(ok, &result);
        NpBrowser::ReleaseVariantValue(&result);
    }
    else if (cmd == "pump" || cmd == "waitfile")
    {
        unsigned long ms = 0;
        in >> ms;
        std::string rest;
        std::getline(in, rest);
        rest.erase(0, rest.find_first_not_of(' '));
        std::wstring file;
        if (cmd == "waitfile")
        {
            int n = MultiByteToWideChar(CP_UTF8, 0, rest.c_str(), -1, nullptr, 0);
            file.resize(n > 0 ? n - 1 : 0);
            if (n > 1)
                MultiByteToWideChar(CP_UTF8, 0, rest.c_str(), -1, &file[0], n);
        }
        Pump(ms, file);
        if (cmd == "waitfile")
            out += std::string(",\"found\":") +
                   (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES ? "true" : "false");
    }
    else if (cmd == "release")
    {
        for (NPObject* o : g_held)
            NpBrowser::ReleaseObject(o);
        g_held.clear();
        NpBrowser::ReleaseObject(g_lastObject);
        g_lastObject = nullptr;
        out += "," + Refs();
    }
    else if (cmd == "destroy")
    {
        NPError err = b.plugin.destroy(&g_instance, nullptr);
        out += ",\"err\":" + std::to_string(err) + "," + Refs();
    }
    else if (cmd == "shutdown")
    {
        NPError err = b.shutdown();
        b.Unload();
        out += ",\"err\":" + std::to_string(err);
    }
    else
        return false;
    std::printf("%s}\n", out.c_str());
    std::fflush(stdout);
    return true;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: NpHost DLL SCRIPT\n");
        return 2;
    }
    // The plug-in relies on the browser's thread being initialised for COM.
    HRESULT hr = CoInitialize(nullptr);
    int code = 0;
    {
        NpBrowser browser;
        g_browser = &browser;
        if (!browser.Load(argv[1]))
        {
            std::fprintf(stderr, "cannot load %s\n", Narrow(argv[1]).c_str());
            code = 2;
        }
        std::ifstream script(argv[2]);
        std::string line;
        while (code == 0 && std::getline(script, line))
        {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty() || line[0] == '#')
                continue;
            if (!Run(line))
            {
                std::fprintf(stderr, "bad line: %s\n", line.c_str());
                code = 2;
            }
        }
        for (NPObject* o : g_held)
            NpBrowser::ReleaseObject(o);
        g_held.clear();
        NpBrowser::ReleaseObject(g_lastObject);
        g_lastObject = nullptr;
        if (g_hwnd)
            DestroyWindow(g_hwnd);
        g_browser = nullptr;
    }
    if (SUCCEEDED(hr))
        CoUninitialize();
    return code;
}
