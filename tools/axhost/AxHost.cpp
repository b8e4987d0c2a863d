// AxHost: drives the loader control as a page's script would, from another process: creates
// it by its class identifier through COM, calls its methods by name through IDispatch,
// connects event sinks and counts what they receive. For the end-to-end tests.
//
//   AxHost SCRIPT
//
// SCRIPT is a text file, one command per line (blank lines and lines starting with # are
// skipped):
//   create [local|inproc]        CoCreateInstance of the control (default: local server)
//   qi IID                       QueryInterface for {IID}; prints the result
//   call NAME [ARG...]           GetIDsOfNames + Invoke(DISPATCH_METHOD); ARG is TYPE:VALUE
//                                with TYPE i2, ui2, i4, ui4, bool or bstr; a bstr argument
//                                is the last one and takes the rest of the line ("bstr:"
//                                alone is an empty string)
//   sink                         connects one more event sink (connection point of the
//                                control's event interface)
//   events                       prints how many events each sink received
//   pump MS                      runs this thread's message loop for MS milliseconds
//   waitwindow MS TITLE          runs it until a window captioned TITLE (the rest of the
//                                line) has shown and gone again, at most MS milliseconds
//   release                      releases the sinks and the control
//   keep                         keeps the control alive to the end (sinks are released)
//                                and forgets it, so that the next create makes another
//   stats EXE                    handles, threads, GDI and USER objects of the first
//                                running process whose file name is EXE (where the
//                                system does not count GUI objects for another process:
//                                its GDI handle table's entries and its windows)
// Each command prints one JSON line: {"cmd":...,"hr":...} plus its results. Exit code 0
// when every command ran (whatever the HRESULTs), 2 for a bad script.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace
{
// {CD557F65-9851-450C-AFF2-5082E41A5C82}
const CLSID CLSID_NVPCLoader = {0xCD557F65, 0x9851, 0x450C, {0xAF, 0xF2, 0x50, 0x82, 0xE4, 0x1A, 0x5C, 0x82}};
// {AEDE6414-D3A0-4868-B015-238F0C60E8CD}
const IID DIID_INVPCLoaderEvents = {
    0xAEDE6414, 0xD3A0, 0x4868, {0xB0, 0x15, 0x23, 0x8F, 0x0C, 0x60, 0xE8, 0xCD}};

std::string Json(const std::wstring& text)
{
    std::string out = "\"";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
    for (unsigned char c : utf8)
    {
        if (c == '"' || c == '\\')
            out += '\\', out += static_cast<char>(c);
        else if (c < 0x20)
        {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        }
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

// An event sink of the control's dispatch-only event interface: counts every call.
class EventSink final : public IDispatch
{
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_INVPCLoaderEvents)
        {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&m_refs);
        if (!left)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        ++calls;
        lastId = id;
        return S_OK;
    }
    int calls = 0;
    DISPID lastId = 0;
    DWORD cookie = 0;

  private:
    LONG m_refs = 1;
};

struct Host
{
    IDispatch* control = nullptr;
    std::vector<EventSink*> sinks;
    std::vector<IDispatch*> kept;

    void Release()
    {
        IConnectionPointContainer* container = nullptr;
        IConnectionPoint* point = nullptr;
        if (control && SUCCEEDED(control->QueryInterface(IID_IConnectionPointContainer,
                                                         reinterpret_cast<void**>(&container))))
        {
            if (SUCCEEDED(container->FindConnectionPoint(DIID_INVPCLoaderEvents, &point)))
            {
                for (EventSink* sink : sinks)
                    point->Unadvise(sink->cookie);
                point->Release();
            }
            container->Release();
        }
        for (EventSink* sink : sinks)
            sink->Release();
        sinks.clear();
        if (control)
            control->Release();
        control = nullptr;
    }
};

bool ParseArg(const std::wstring& word, VARIANT& v)
{
    size_t colon = word.find(L':');
    if (colon == std::wstring::npos)
        return false;
    std::wstring type = word.substr(0, colon), value = word.substr(colon + 1);
    VariantInit(&v);
    if (type == L"bstr")
    {
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(value.c_str());
        return true;
    }
    long long number = wcstoll(value.c_str(), nullptr, 0);
    if (type == L"i2")
        v.vt = VT_I2, v.iVal = static_cast<SHORT>(number);
    else if (type == L"ui2")
        v.vt = VT_UI2, v.uiVal = static_cast<USHORT>(number);
    else if (type == L"i4")
        v.vt = VT_I4, v.lVal = static_cast<LONG>(number);
    else if (type == L"ui4")
        v.vt = VT_UI4, v.ulVal = static_cast<ULONG>(number);
    else if (type == L"bool")
        v.vt = VT_BOOL, v.boolVal = number ? VARIANT_TRUE : VARIANT_FALSE;
    else
        return false;
    return true;
}

std::string Describe(const VARIANT& v)
{
    char text[64];
    switch (v.vt)
    {
    case VT_EMPTY:
        return "{\"vt\":0}";
    case VT_UI4:
        snprintf(text, sizeof(text), "{\"vt\":%d,\"value\":%lu}", v.vt, static_cast<unsigned long>(v.ulVal));
        return text;
    case VT_I4:
        snprintf(text, sizeof(text), "{\"vt\":%d,\"value\":%ld}", v.vt, static_cast<long>(v.lVal));
        return text;
    case VT_BSTR:
        return "{\"vt\":8,\"value\":" + Json(v.bstrVal ? v.bstrVal : L"") + "}";
    default:
        snprintf(text, sizeof(text), "{\"vt\":%d}", v.vt);
        return text;
    }
}

void Pump(DWORD ms)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms)
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// GDI objects a process holds, counted in its handle table (the PEB's
// GdiSharedHandleTable) when the system does not answer GetGuiResources for another
// process. The table's entries are the platform's GDI_HANDLE_ENTRY (24 bytes: object,
// owner, unique, type, flags, user pointer); a free entry has type 0, stock objects carry
// the stock flag in the unique word. 0 when the table cannot be read.
DWORD GdiTableCount(HANDLE process)
{
    typedef LONG(WINAPI * QueryFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic = {};
    if (!query || query(process, 0 /* ProcessBasicInformation */, &basic, sizeof(basic), nullptr) < 0 ||
        !basic.PebBaseAddress)
        return 0;
    const size_t tableField = sizeof(void*) == 8 ? 0xf8 : 0x94;
    void* table = nullptr;
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, reinterpret_cast<BYTE*>(basic.PebBaseAddress) + tableField, &table,
                           sizeof(table), &read) ||
        !table)
        return 0;
    const size_t kEntry = 24, kEntries = 0x10000;
    std::vector<BYTE> entries(kEntry * kEntries);
    if (!ReadProcessMemory(process, table, entries.data(), entries.size(), &read))
        return 0;
    DWORD count = 0;
    for (size_t at = 0; at + kEntry <= read; at += kEntry)
    {
        BYTE extType = entries[at + 12], type = entries[at + 14];
        if (type != 0 && !(extType & 0x80))
            ++count;
    }
    return count;
}

BOOL CALLBACK CountWindowsOf(HWND hwnd, LPARAM param)
{
    auto* counter = reinterpret_cast<std::pair<DWORD, DWORD>*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == counter->first)
        ++counter->second;
    return TRUE;
}

// The windows (top-level, child and message-only) of pid: the USER objects a leak would
// show first, for a system that does not answer GetGuiResources for another process.
DWORD WindowCount(DWORD pid)
{
    std::pair<DWORD, DWORD> counter(pid, 0);
    std::vector<HWND> tops;
    EnumWindows([](HWND hwnd, LPARAM param) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&tops));
    for (HWND message = nullptr; (message = FindWindowExW(HWND_MESSAGE, message, nullptr, nullptr)) != nullptr;)
        tops.push_back(message);
    for (HWND top : tops)
    {
        CountWindowsOf(top, reinterpret_cast<LPARAM>(&counter));
        EnumChildWindows(top, CountWindowsOf, reinterpret_cast<LPARAM>(&counter));
    }
    return counter.second;
}

// The handle count the system's process list gives for pid (GetProcessHandleCount answers
// 0 for other processes on some platforms); 0 when unknown.
DWORD ProcessHandleCount(DWORD pid)
{
    typedef LONG(WINAPI * QueryFn)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query || !pid)
        return 0;
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    if (query(5 /* SystemProcessInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) <
        0)
        return 0;
    // SYSTEM_PROCESS_INFORMATION: NextEntryOffset at 0; UniqueProcessId and HandleCount
    // follow the image name (a UNICODE_STRING at offset 56) and the base priority.
    const size_t idOffset = 56 + sizeof(UNICODE_STRING) + sizeof(LONG) + (sizeof(void*) == 8 ? 4 : 0);
    const size_t countOffset = idOffset + 2 * sizeof(void*);
    for (size_t at = 0;;)
    {
        const BYTE* entry = buffer.data() + at;
        ULONG_PTR id = *reinterpret_cast<const ULONG_PTR*>(entry + idOffset);
        if (id == pid)
            return *reinterpret_cast<const ULONG*>(entry + countOffset);
        ULONG next = *reinterpret_cast<const ULONG*>(entry);
        if (!next)
            return 0;
        at += next;
    }
}

// Runs one command line; false for a command it does not know.
bool RunCommand(Host& host, const std::wstring& line)
{
    std::wistringstream in(line);
    std::wstring cmd;
    in >> cmd;
    char hrText[16];
    if (cmd == L"create")
    {
        std::wstring where;
        in >> where;
        DWORD context = where == L"inproc" ? CLSCTX_INPROC_SERVER : CLSCTX_LOCAL_SERVER;
        host.Release();
        HRESULT hr = CoCreateInstance(CLSID_NVPCLoader, nullptr, context, IID_IDispatch,
                                      reinterpret_cast<void**>(&host.control));
        snprintf(hrText, sizeof(hrText), "0x%08lX", static_cast<unsigned long>(hr));
        printf("{\"cmd\":\"create\",\"hr\":\"%s\"}\n", hrText);
    }
    else if (cmd == L"qi")
    {
        std::wstring text;
        in >> text;
        IID iid;
        HRESULT hr = IIDFromString(text.c_str(), &iid);
        IUnknown* got = nullptr;
        if (SUCCEEDED(hr))
            hr = host.control ? host.control->QueryInterface(iid, reinterpret_cast<void**>(&got)) : E_POINTER;
        if (got)
            got->Release();
        snprintf(hrText, sizeof(hrText), "0x%08lX", static_cast<unsigned long>(hr));
        printf("{\"cmd\":\"qi\",\"iid\":%s,\"hr\":\"%s\"}\n", Json(text).c_str(), hrText);
    }
    else if (cmd == L"call")
    {
        std::wstring name;
        in >> name;
        std::vector<VARIANT> args;
        std::wstring word;
        while (in >> word)
        {
            if (word.compare(0, 5, L"bstr:") == 0)
            {
                std::wstring rest;
                std::getline(in, rest);
                word += rest;
            }
            VARIANT v;
            if (!ParseArg(word, v))
                return false;
            args.push_back(v);
        }
        // Invoke takes the arguments last to first.
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr,
                             static_cast<UINT>(reversed.size()), 0};
        VARIANT result;
        VariantInit(&result);
        DISPID id = 0;
        LPOLESTR names[] = {&name[0]};
        HRESULT hr = host.control ? host.control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)
                                  : E_POINTER;
        EXCEPINFO failure = {};
        if (SUCCEEDED(hr))
            hr = host.control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                                      &failure, nullptr);
        // A method's own failure comes back as DISP_E_EXCEPTION with its code in scode.
        HRESULT scode = hr == DISP_E_EXCEPTION ? failure.scode : hr;
        SysFreeString(failure.bstrSource);
        SysFreeString(failure.bstrDescription);
        SysFreeString(failure.bstrHelpFile);
        char scodeText[16];
        snprintf(scodeText, sizeof(scodeText), "0x%08lX", static_cast<unsigned long>(scode));
        snprintf(hrText, sizeof(hrText), "0x%08lX", static_cast<unsigned long>(hr));
        printf("{\"cmd\":\"call\",\"name\":%s,\"dispid\":%ld,\"hr\":\"%s\",\"scode\":\"%s\",\"result\":%s}\n",
               Json(name).c_str(), static_cast<long>(id), hrText, scodeText, Describe(result).c_str());
        VariantClear(&result);
        for (VARIANT& v : args)
            VariantClear(&v);
    }
    else if (cmd == L"sink")
    {
        IConnectionPointContainer* container = nullptr;
        IConnectionPoint* point = nullptr;
        HRESULT hr = host.control ? host.control->QueryInterface(IID_IConnectionPointContainer,
                                                                 reinterpret_cast<void**>(&container))
                                  : E_POINTER;
        if (SUCCEEDED(hr))
            hr = container->FindConnectionPoint(DIID_INVPCLoaderEvents, &point);
        auto* sink = new EventSink();
        if (SUCCEEDED(hr))
            hr = point->Advise(sink, &sink->cookie);
        if (SUCCEEDED(hr))
            host.sinks.push_back(sink);
        else
            sink->Release();
        if (point)
            point->Release();
        if (container)
            container->Release();
        snprintf(hrText, sizeof(hrText), "0x%08lX", static_cast<unsigned long>(hr));
        printf("{\"cmd\":\"sink\",\"hr\":\"%s\"}\n", hrText);
    }
    else if (cmd == L"events")
    {
        std::string counts, ids;
        for (EventSink* sink : host.sinks)
        {
            counts += (counts.empty() ? "" : ",") + std::to_string(sink->calls);
            ids += (ids.empty() ? "" : ",") + std::to_string(sink->lastId);
        }
        printf("{\"cmd\":\"events\",\"calls\":[%s],\"dispids\":[%s]}\n", counts.c_str(), ids.c_str());
    }
    else if (cmd == L"pump")
    {
        DWORD ms = 0;
        in >> ms;
        Pump(ms);
        printf("{\"cmd\":\"pump\",\"ms\":%lu}\n", static_cast<unsigned long>(ms));
    }
    else if (cmd == L"waitwindow")
    {
        DWORD ms = 0;
        in >> ms;
        std::wstring title;
        std::getline(in, title);
        title.erase(0, title.find_first_not_of(L" \t"));
        DWORD start = GetTickCount();
        bool seen = false, gone = false;
        while (GetTickCount() - start < ms && !gone)
        {
            bool shown = FindWindowW(nullptr, title.c_str()) != nullptr;
            seen = seen || shown;
            gone = seen && !shown;
            Pump(50);
        }
        printf("{\"cmd\":\"waitwindow\",\"seen\":%s,\"gone\":%s}\n", seen ? "true" : "false",
               gone ? "true" : "false");
    }
    else if (cmd == L"keep")
    {
        IDispatch* control = host.control;
        host.control = nullptr;
        host.Release(); // the sinks
        if (control)
            host.kept.push_back(control);
        printf("{\"cmd\":\"keep\",\"kept\":%u}\n", static_cast<unsigned>(host.kept.size()));
    }
    else if (cmd == L"stats")
    {
        std::wstring exe;
        in >> exe;
        DWORD pid = 0, threads = 0;
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {sizeof(entry)};
        for (BOOL more = Process32FirstW(snap, &entry); more && !pid; more = Process32NextW(snap, &entry))
        {
            if (_wcsicmp(entry.szExeFile, exe.c_str()) == 0)
                pid = entry.th32ProcessID, threads = entry.cntThreads;
        }
        CloseHandle(snap);
        DWORD handles = ProcessHandleCount(pid), gdi = 0, user = 0;
        const char* source = "system";
        if (HANDLE process = pid ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid) : nullptr)
        {
            gdi = GetGuiResources(process, GR_GDIOBJECTS);
            user = GetGuiResources(process, GR_USEROBJECTS);
            if (gdi == 0 && user == 0)
            {
                source = "tables";
                gdi = GdiTableCount(process);
                user = WindowCount(pid);
            }
            CloseHandle(process);
        }
        printf("{\"cmd\":\"stats\",\"pid\":%lu,\"handles\":%lu,\"threads\":%lu,\"gdi\":%lu,\"user\":%lu,"
               "\"gui_source\":\"%s\"}\n",
               static_cast<unsigned long>(pid), static_cast<unsigned long>(handles),
               static_cast<unsigned long>(threads), static_cast<unsigned long>(gdi),
               static_cast<unsigned long>(user), source);
    }
    else if (cmd == L"release")
    {
        host.Release();
        printf("{\"cmd\":\"release\"}\n");
    }
    else
    {
        return false;
    }
    fflush(stdout);
    return true;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        fwprintf(stderr, L"usage: AxHost SCRIPT\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file)
    {
        fwprintf(stderr, L"AxHost: cannot read %ls\n", argv[1]);
        return 2;
    }
    std::stringstream bytes;
    bytes << file.rdbuf();
    std::string text = bytes.str();
    int chars = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring script(chars > 0 ? chars : 0, L'\0');
    if (chars > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &script[0], chars);

    CoInitialize(nullptr);
    Host host;
    int code = 0;
    std::wistringstream lines(script);
    std::wstring line;
    while (std::getline(lines, line))
    {
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        size_t first = line.find_first_not_of(L" \t");
        if (first == std::wstring::npos || line[first] == L'#')
            continue;
        if (!RunCommand(host, line.substr(first)))
        {
            fwprintf(stderr, L"AxHost: bad command: %ls\n", line.c_str());
            code = 2;
            break;
        }
    }
    host.Release();
    for (IDispatch* control : host.kept)
        control->Release();
    CoUninitialize();
    return code;
}
