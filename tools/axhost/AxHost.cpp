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
//   embed X Y W H [ui]           embeds the control as a page does: shows a host window of
//                                its own, gives the control a client and in-place site in
//                                it, SetClientSite, DoVerb(OLEIVERB_INPLACEACTIVATE, or
//                                OLEIVERB_UIACTIVATE with "ui") at X,Y (W x H) of the host's
//                                client area; prints each step's result and the control's
//                                window (handle, parent, rectangles, owning process)
//   unembed                      InPlaceDeactivate, Close, SetClientSite(NULL), and the host
//                                window goes; prints whether the control's window went too
//   waitfile MS PATH             runs the message loop until PATH (the rest of the line)
//                                exists, at most MS milliseconds: a test's cue to go on
//   release                      releases the sinks and the control (unembeds it first)
//   keep                         keeps the control alive to the end (sinks are released,
//                                an embedding undone)
//                                and forgets it, so that the next create makes another
//   stats EXE                    handles, threads, GDI and USER objects of the first
//                                running process whose file name is EXE (where the
//                                system does not count GUI objects for another process:
//                                its GDI handle table's entries and its windows)
// Each command prints one JSON line: {"cmd":...,"hr":...} plus its results. Exit code 0
// when every command ran (whatever the HRESULTs), 2 for a bad script.
#include <windows.h>
#include <objbase.h>
#include <ole2.h>
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

std::string Hr(HRESULT hr)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string Number(HWND window)
{
    return std::to_string(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
}

std::string JsonRect(const RECT& r)
{
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom) + "]";
}

// The container side of an embedding, as a page's host gives it: the client site, the
// in-place site in the host window, and the frame that window stands for (no separate
// document window). It counts every call the control makes back, so that a script sees
// which of them crossed the process boundary.
class Site final : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame
{
  public:
    explicit Site(HWND window) : m_window(window) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IOleClientSite)
            *out = static_cast<IOleClientSite*>(this);
        else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
            *out = static_cast<IOleInPlaceSite*>(this);
        else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame)
            *out = static_cast<IOleInPlaceFrame*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&m_refs);
        if (!left)
            delete this;
        return left;
    }

    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override { return Count("SaveObject", S_OK); }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** moniker) override
    {
        if (moniker)
            *moniker = nullptr;
        return Count("GetMoniker", E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override
    {
        if (container)
            *container = nullptr;
        return Count("GetContainer", E_NOINTERFACE);
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return Count("ShowObject", S_OK); }
    HRESULT STDMETHODCALLTYPE OnShowWindow(WINBOOL) override { return Count("OnShowWindow", S_OK); }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override
    {
        return Count("RequestNewObjectLayout", E_NOTIMPL);
    }

    // IOleWindow (of the in-place site and of the frame: both are the host window)
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override
    {
        if (!window)
            return Count("GetWindow", E_POINTER);
        *window = m_window;
        return Count("GetWindow", S_OK);
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(WINBOOL) override
    {
        return Count("ContextSensitiveHelp", E_NOTIMPL);
    }

    // IOleInPlaceSite
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return Count("CanInPlaceActivate", S_OK); }
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return Count("OnInPlaceActivate", S_OK); }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return Count("OnUIActivate", S_OK); }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                               LPRECT position, LPRECT clip,
                                               LPOLEINPLACEFRAMEINFO info) override
    {
        if (!frame || !document || !position || !clip || !info)
            return Count("GetWindowContext", E_POINTER);
        // The host window is both frame and document, so no document window is given.
        *frame = static_cast<IOleInPlaceFrame*>(this);
        AddRef();
        *document = nullptr;
        *position = m_position;
        GetClientRect(m_window, clip);
        info->fMDIApp = FALSE;
        info->hwndFrame = m_window;
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return Count("GetWindowContext", S_OK);
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return Count("Scroll", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(WINBOOL) override { return Count("OnUIDeactivate", S_OK); }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override
    {
        SetActive(nullptr);
        return Count("OnInPlaceDeactivate", S_OK);
    }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return Count("DiscardUndoState", S_OK); }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override
    {
        return Count("DeactivateAndUndo", inPlace ? inPlace->InPlaceDeactivate() : E_UNEXPECTED);
    }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT position) override
    {
        if (!position)
            return Count("OnPosRectChange", E_POINTER);
        // The host grants whatever the control asks for, clipped to its client area.
        m_position = *position;
        RECT clip;
        GetClientRect(m_window, &clip);
        return Count("OnPosRectChange", inPlace ? inPlace->SetObjectRects(&m_position, &clip) : S_OK);
    }

    // IOleInPlaceUIWindow, IOleInPlaceFrame: no tools, menus or status bar to share
    HRESULT STDMETHODCALLTYPE GetBorder(LPRECT) override { return Count("GetBorder", INPLACE_E_NOTOOLSPACE); }
    HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS) override
    {
        return Count("RequestBorderSpace", INPLACE_E_NOTOOLSPACE);
    }
    HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS widths) override
    {
        return Count("SetBorderSpace", widths ? INPLACE_E_NOTOOLSPACE : S_OK);
    }
    HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject* active, LPCOLESTR) override
    {
        SetActive(active);
        return Count("SetActiveObject", S_OK);
    }
    HRESULT STDMETHODCALLTYPE InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override
    {
        return Count("InsertMenus", S_OK);
    }
    HRESULT STDMETHODCALLTYPE SetMenu(HMENU, HOLEMENU, HWND) override { return Count("SetMenu", S_OK); }
    HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU) override { return Count("RemoveMenus", S_OK); }
    HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR) override { return Count("SetStatusText", S_OK); }
    HRESULT STDMETHODCALLTYPE EnableModeless(WINBOOL) override { return Count("EnableModeless", S_OK); }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG, WORD) override
    {
        return Count("TranslateAccelerator", S_FALSE);
    }

    void SetPosition(const RECT& position) { m_position = position; }
    bool HasActiveObject() const { return m_active != nullptr; }
    void SetActive(IOleInPlaceActiveObject* active)
    {
        if (active)
            active->AddRef();
        if (m_active)
            m_active->Release();
        m_active = active;
    }

    // The calls so far as a JSON object, name: count, in the order first made.
    std::string Calls() const
    {
        std::string out;
        for (const auto& call : m_calls)
            out += (out.empty() ? "\"" : ",\"") + call.first + "\":" + std::to_string(call.second);
        return "{" + out + "}";
    }

    IOleInPlaceObject* inPlace = nullptr; // not counted: the host holds it

  private:
    ~Site() { SetActive(nullptr); }

    HRESULT Count(const char* name, HRESULT hr)
    {
        for (auto& call : m_calls)
            if (call.first == name)
                return ++call.second, hr;
        m_calls.emplace_back(name, 1);
        return hr;
    }

    LONG m_refs = 1;
    HWND m_window;
    RECT m_position = {};
    IOleInPlaceActiveObject* m_active = nullptr;
    std::vector<std::pair<std::string, int>> m_calls;
};

const wchar_t kHostClass[] = L"AxHostEmbedWindow";
// The host's background: neither of the colours the control draws with by default.
const COLORREF kHostColour = RGB(0x20, 0x60, 0xA0);

// A page's window: painted in one colour, its children (the control's window) left out.
HWND CreateHostWindow(const RECT& control)
{
    static bool registered = false;
    if (!registered)
    {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        wc.hbrBackground = CreateSolidBrush(kHostColour);
        wc.lpszClassName = kHostClass;
        registered = RegisterClassExW(&wc) != 0;
    }
    // Room around the control on every side; a borderless top-most window away from where
    // dialogs are centred, so that what the screen shows of it is its own.
    int width = control.right + control.left, height = control.bottom + control.top;
    if (width < 64)
        width = 64;
    if (height < 64)
        height = 64;
    wchar_t title[64];
    swprintf(title, 64, L"AxHost embed %lu", static_cast<unsigned long>(GetCurrentProcessId()));
    HWND window = CreateWindowExW(WS_EX_TOPMOST, kHostClass, title, WS_POPUP | WS_CLIPCHILDREN, 24, 640,
                                  width, height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window)
    {
        ShowWindow(window, SW_SHOWNOACTIVATE);
        UpdateWindow(window);
    }
    return window;
}

// The process that owns window and its program's path.
std::string OwnerJson(HWND window)
{
    DWORD pid = 0;
    if (window)
        GetWindowThreadProcessId(window, &pid);
    std::wstring module;
    if (HANDLE process = pid ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr)
    {
        wchar_t path[MAX_PATH];
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, path, &size))
            module.assign(path, size);
        CloseHandle(process);
    }
    return "\"pid\":" + std::to_string(pid) + ",\"module\":" + Json(module);
}

// The control embedded in a host window of this process (embed .. unembed).
struct Embedding
{
    HWND hostWindow = nullptr;
    HWND controlWindow = nullptr;
    Site* site = nullptr;
    IOleObject* object = nullptr;
    IOleInPlaceObject* inPlace = nullptr;

    // Takes the control out as a page's host does when the page goes; each step's result
    // as JSON members, and whether the control's window went with the deactivation (asked
    // before the host window goes, which would take its children along).
    std::string Undo()
    {
        HRESULT deactivate = inPlace ? inPlace->InPlaceDeactivate() : E_NOINTERFACE;
        HRESULT close = object ? object->Close(OLECLOSE_NOSAVE) : E_NOINTERFACE;
        HRESULT site_ = object ? object->SetClientSite(nullptr) : E_NOINTERFACE;
        bool gone = !controlWindow || !IsWindow(controlWindow);
        std::string calls = site ? site->Calls() : "{}";
        if (site)
            site->inPlace = nullptr;
        if (inPlace)
            inPlace->Release();
        if (object)
            object->Release();
        if (site)
            site->Release();
        if (hostWindow)
            DestroyWindow(hostWindow);
        *this = Embedding();
        return "\"steps\":{\"inplacedeactivate\":\"" + Hr(deactivate) + "\",\"close\":\"" + Hr(close) +
               "\",\"setclientsite\":\"" + Hr(site_) + "\"},\"window_gone\":" + (gone ? "true" : "false") +
               ",\"site\":" + calls;
    }
};

struct Host
{
    IDispatch* control = nullptr;
    std::vector<EventSink*> sinks;
    std::vector<IDispatch*> kept;
    Embedding embedding;

    // Undoes an embedding first (its members for a JSON line, empty when there was none).
    std::string Release()
    {
        std::string undone = embedding.hostWindow ? embedding.Undo() : "";
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
        return undone;
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
    auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
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

// A named callback, not a lambda: the 32-bit build needs the system's calling convention.
BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param)
{
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
    return TRUE;
}

// The windows (top-level, child and message-only) of pid: the USER objects a leak would
// show first, for a system that does not answer GetGuiResources for another process.
DWORD WindowCount(DWORD pid)
{
    std::pair<DWORD, DWORD> counter(pid, 0);
    std::vector<HWND> tops;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&tops));
    for (HWND message = nullptr;
         (message = FindWindowExW(HWND_MESSAGE, message, nullptr, nullptr)) != nullptr;)
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
        if (HANDLE process =
                pid ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid) : nullptr)
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
    else if (cmd == L"embed")
    {
        long x = 0, y = 0, width = 0, height = 0;
        std::wstring verbWord;
        in >> x >> y >> width >> height;
        if (in.fail() || x < 0 || y < 0 || width <= 0 || height <= 0)
            return false;
        in >> verbWord;
        if (!verbWord.empty() && verbWord != L"ui")
            return false;
        LONG verb = verbWord == L"ui" ? OLEIVERB_UIACTIVATE : OLEIVERB_INPLACEACTIVATE;
        std::string earlier = host.embedding.hostWindow ? host.embedding.Undo() : "";
        Embedding& e = host.embedding;
        RECT position = {x, y, x + width, y + height};
        HRESULT qiObject =
            host.control ? host.control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&e.object))
                         : E_POINTER;
        HRESULT hr = qiObject, setSite = E_ABORT, doVerb = E_ABORT;
        if (SUCCEEDED(hr))
        {
            e.hostWindow = CreateHostWindow(position);
            if (!e.hostWindow)
                hr = HRESULT_FROM_WIN32(GetLastError());
        }
        if (SUCCEEDED(hr))
        {
            e.site = new Site(e.hostWindow);
            e.site->SetPosition(position);
            hr = setSite = e.object->SetClientSite(e.site);
        }
        if (SUCCEEDED(hr))
            hr = doVerb = e.object->DoVerb(verb, nullptr, e.site, 0, e.hostWindow, &position);
        // The control's window as the container learns it: from its in-place object, else
        // its plain window interface, else (where neither crosses) the host's child.
        HRESULT qiInPlace =
            e.object ? e.object->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&e.inPlace))
                     : E_NOINTERFACE;
        HRESULT getWindow = e.inPlace ? e.inPlace->GetWindow(&e.controlWindow) : qiInPlace;
        const char* source = SUCCEEDED(getWindow) ? "IOleInPlaceObject" : "";
        HRESULT qiWindow = S_FALSE;
        if (FAILED(getWindow) && e.object)
        {
            IOleWindow* plain = nullptr;
            qiWindow = e.object->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&plain));
            if (plain && SUCCEEDED(plain->GetWindow(&e.controlWindow)))
                source = "IOleWindow";
            if (plain)
                plain->Release();
        }
        if (!*source && e.hostWindow &&
            (e.controlWindow = FindWindowExW(e.hostWindow, nullptr, nullptr, nullptr)))
            source = "child";
        if (e.site)
            e.site->inPlace = e.inPlace;
        Pump(100); // the host window paints its part
        RECT screen = {}, inHost = {}, hostRect = {};
        if (e.controlWindow && GetWindowRect(e.controlWindow, &screen))
        {
            inHost = screen;
            MapWindowPoints(nullptr, e.hostWindow, reinterpret_cast<POINT*>(&inHost), 2);
        }
        if (e.hostWindow)
            GetWindowRect(e.hostWindow, &hostRect);
        HWND parent = e.controlWindow ? GetAncestor(e.controlWindow, GA_PARENT) : nullptr;
        std::string line =
            "{\"cmd\":\"embed\",\"hr\":\"" + Hr(hr) + "\",\"steps\":{\"qi_ioleobject\":\"" + Hr(qiObject) +
            "\",\"setclientsite\":\"" + Hr(setSite) + "\",\"doverb\":\"" + Hr(doVerb) +
            "\",\"qi_ioleinplaceobject\":\"" + Hr(qiInPlace) + "\",\"getwindow\":\"" + Hr(getWindow) +
            "\",\"qi_olewindow\":\"" + Hr(qiWindow) + "\"},\"window_from\":\"" + source +
            "\",\"host\":" + Number(e.hostWindow) + ",\"host_rect\":" + JsonRect(hostRect) +
            ",\"host_pid\":" + std::to_string(GetCurrentProcessId()) +
            ",\"window\":" + Number(e.controlWindow) + ",\"parent\":" + Number(parent) +
            ",\"visible\":" + (e.controlWindow && IsWindowVisible(e.controlWindow) ? "true" : "false") +
            ",\"rect\":" + JsonRect(inHost) + ",\"screen\":" + JsonRect(screen) + "," +
            OwnerJson(e.controlWindow) + ",\"site\":" + (e.site ? e.site->Calls() : "{}") +
            ",\"active_object\":" + (e.site && e.site->HasActiveObject() ? "true" : "false") +
            (earlier.empty() ? "" : ",\"undone\":{" + earlier + "}") + "}";
        printf("%s\n", line.c_str());
    }
    else if (cmd == L"unembed")
    {
        bool embedded = host.embedding.hostWindow != nullptr;
        std::string undone = embedded ? host.embedding.Undo() : "";
        printf("{\"cmd\":\"unembed\",\"hr\":\"%s\"%s%s}\n",
               Hr(embedded ? S_OK : OLE_E_NOT_INPLACEACTIVE).c_str(), embedded ? "," : "", undone.c_str());
    }
    else if (cmd == L"waitfile")
    {
        DWORD ms = 0;
        in >> ms;
        std::wstring path;
        std::getline(in, path);
        path.erase(0, path.find_first_not_of(L" \t"));
        DWORD start = GetTickCount();
        bool found = false;
        while (!(found = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) &&
               GetTickCount() - start < ms)
            Pump(20);
        printf("{\"cmd\":\"waitfile\",\"found\":%s}\n", found ? "true" : "false");
    }
    else if (cmd == L"release")
    {
        std::string undone = host.Release();
        printf("{\"cmd\":\"release\"%s}\n", undone.empty() ? "" : (",\"unembed\":{" + undone + "}").c_str());
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
