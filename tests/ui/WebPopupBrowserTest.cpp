// The web popup browser: what it asks of the browser object and in which order (against
// a recording stand-in), which addresses it refuses, and one run of the real browser
// object fetching a page from a loopback server.
#include <gtest/gtest.h>
#include <windows.h>
#include <exdisp.h>
#include <tlhelp32.h>

#include <set>
#include <string>
#include <vector>

#include "common/ComPtr.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"
#include "ui/WebPopupBrowser.h"

namespace
{
typedef std::vector<std::wstring> Calls;

std::wstring Describe(const VARIANT* v)
{
    if (!v)
        return L"null";
    if (v->vt == VT_EMPTY)
        return L"empty";
    if (v->vt == VT_BSTR)
        return L"'" + std::wstring(v->bstrVal, ::SysStringLen(v->bstrVal)) + L"'";
    return L"vt" + std::to_wstring(v->vt);
}

#define NOT_USED(name, ...)                                                                                  \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override                                                     \
    {                                                                                                        \
        return E_NOTIMPL;                                                                                    \
    }

// Records the calls that the popup makes; lives on the test's stack, so the reference
// count only shows that every reference handed out came back.
class FakeBrowser : public IWebBrowser2
{
  public:
    Calls calls;
    HRESULT navigateResult = S_OK;
    HRESULT propertyResult = S_OK; // size and bars; Wine's browser answers E_NOTIMPL
    HWND window = nullptr;
    LONG refs = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IWebBrowser ||
            iid == IID_IWebBrowserApp || iid == IID_IWebBrowser2)
        {
            *out = static_cast<IWebBrowser2*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }

    HRESULT STDMETHODCALLTYPE put_Width(LONG v) override { return Put(L"Width", v); }
    HRESULT STDMETHODCALLTYPE put_Height(LONG v) override { return Put(L"Height", v); }
    HRESULT STDMETHODCALLTYPE put_AddressBar(VARIANT_BOOL v) override { return Put(L"AddressBar", v); }
    HRESULT STDMETHODCALLTYPE put_MenuBar(VARIANT_BOOL v) override { return Put(L"MenuBar", v); }
    HRESULT STDMETHODCALLTYPE put_StatusBar(VARIANT_BOOL v) override { return Put(L"StatusBar", v); }
    HRESULT STDMETHODCALLTYPE put_ToolBar(int v) override { return Put(L"ToolBar", v); }
    HRESULT STDMETHODCALLTYPE Navigate2(VARIANT* url, VARIANT* flags, VARIANT* target, VARIANT* postData,
                                        VARIANT* headers) override
    {
        calls.push_back(L"Navigate2 " + Describe(url) + L" " + Describe(flags) + L" " + Describe(target) +
                        L" " + Describe(postData) + L" " + Describe(headers));
        return navigateResult;
    }
    HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL v) override
    {
        calls.push_back(L"Visible=" + std::to_wstring(v));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_HWND(SHANDLE_PTR* out) override
    {
        calls.push_back(L"HWND");
        *out = reinterpret_cast<SHANDLE_PTR>(window);
        return S_OK;
    }

    NOT_USED(GetTypeInfoCount, UINT*)
    NOT_USED(GetTypeInfo, UINT, LCID, ITypeInfo**)
    NOT_USED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
    NOT_USED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
    NOT_USED(GoBack)
    NOT_USED(GoForward)
    NOT_USED(GoHome)
    NOT_USED(GoSearch)
    NOT_USED(Navigate, BSTR, VARIANT*, VARIANT*, VARIANT*, VARIANT*)
    NOT_USED(Refresh)
    NOT_USED(Refresh2, VARIANT*)
    NOT_USED(Stop)
    NOT_USED(get_Application, IDispatch**)
    NOT_USED(get_Parent, IDispatch**)
    NOT_USED(get_Container, IDispatch**)
    NOT_USED(get_Document, IDispatch**)
    NOT_USED(get_TopLevelContainer, VARIANT_BOOL*)
    NOT_USED(get_Type, BSTR*)
    NOT_USED(get_Left, LONG*)
    NOT_USED(put_Left, LONG)
    NOT_USED(get_Top, LONG*)
    NOT_USED(put_Top, LONG)
    NOT_USED(get_Width, LONG*)
    NOT_USED(get_Height, LONG*)
    NOT_USED(get_LocationName, BSTR*)
    NOT_USED(get_LocationURL, BSTR*)
    NOT_USED(get_Busy, VARIANT_BOOL*)
    NOT_USED(Quit)
    NOT_USED(ClientToWindow, int*, int*)
    NOT_USED(PutProperty, BSTR, VARIANT)
    NOT_USED(GetProperty, BSTR, VARIANT*)
    NOT_USED(get_Name, BSTR*)
    NOT_USED(get_FullName, BSTR*)
    NOT_USED(get_Path, BSTR*)
    NOT_USED(get_Visible, VARIANT_BOOL*)
    NOT_USED(get_StatusBar, VARIANT_BOOL*)
    NOT_USED(get_StatusText, BSTR*)
    NOT_USED(put_StatusText, BSTR)
    NOT_USED(get_ToolBar, int*)
    NOT_USED(get_MenuBar, VARIANT_BOOL*)
    NOT_USED(get_FullScreen, VARIANT_BOOL*)
    NOT_USED(put_FullScreen, VARIANT_BOOL)
    NOT_USED(QueryStatusWB, OLECMDID, OLECMDF*)
    NOT_USED(ExecWB, OLECMDID, OLECMDEXECOPT, VARIANT*, VARIANT*)
    NOT_USED(ShowBrowserBar, VARIANT*, VARIANT*, VARIANT*)
    NOT_USED(get_ReadyState, READYSTATE*)
    NOT_USED(get_Offline, VARIANT_BOOL*)
    NOT_USED(put_Offline, VARIANT_BOOL)
    NOT_USED(get_Silent, VARIANT_BOOL*)
    NOT_USED(put_Silent, VARIANT_BOOL)
    NOT_USED(get_RegisterAsBrowser, VARIANT_BOOL*)
    NOT_USED(put_RegisterAsBrowser, VARIANT_BOOL)
    NOT_USED(get_RegisterAsDropTarget, VARIANT_BOOL*)
    NOT_USED(put_RegisterAsDropTarget, VARIANT_BOOL)
    NOT_USED(get_TheaterMode, VARIANT_BOOL*)
    NOT_USED(put_TheaterMode, VARIANT_BOOL)
    NOT_USED(get_AddressBar, VARIANT_BOOL*)
    NOT_USED(get_Resizable, VARIANT_BOOL*)
    NOT_USED(put_Resizable, VARIANT_BOOL)

  private:
    HRESULT Put(const wchar_t* name, long value)
    {
        calls.push_back(std::wstring(name) + L"=" + std::to_wstring(value));
        return propertyResult;
    }
};

// The popup with its browser object supplied by the test.
class FakeCreatedPopup : public CWebPopupBrowser
{
  public:
    FakeCreatedPopup(FakeBrowser& browser, HRESULT createResult = S_OK)
        : m_browser(browser), m_result(createResult)
    {
    }
    int created = 0;

  protected:
    HRESULT CreateBrowser(IWebBrowser2** out) override
    {
        ++created;
        if (FAILED(m_result))
            return m_result;
        *out = &m_browser;
        m_browser.AddRef();
        return S_OK;
    }

  private:
    FakeBrowser& m_browser;
    HRESULT m_result;
};

// A hidden top-level window standing in for the browser's frame.
struct HiddenWindow
{
    HiddenWindow()
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"WebPopupBrowserTestFrame";
        ::RegisterClassW(&wc); // already there from an earlier case
        hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"popup", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr,
                                 wc.hInstance, nullptr);
    }
    ~HiddenWindow() { ::DestroyWindow(hwnd); }
    HWND hwnd = nullptr;
};

const wchar_t kUrl[] = L"https://updates.example.com/launcher?v=2.1";
const wchar_t kNavigate[] =
    L"Navigate2 'https://updates.example.com/launcher?v=2.1' empty '_self' empty empty";

TEST(WebPopupBrowser, AsksTheBrowserInOrderAndShowsItOnlyAfterTheNavigationStarted)
{
    const Calls bars = {L"AddressBar=-1", L"MenuBar=0", L"StatusBar=0", L"ToolBar=0"};
    auto with = [](Calls head, const Calls& tail)
    {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const Calls shown = {kNavigate, L"Visible=-1", L"HWND"};
    struct Case
    {
        const char* name;
        LONG width, height;
        HRESULT create, navigate, property;
        HRESULT result;
        Calls calls;
        bool visible;
    } cases[] = {
        {"default size", 0, 0, S_OK, S_OK, S_OK, S_OK, with(bars, shown), true},
        {"both sizes", 640, 480, S_OK, S_OK, S_OK, S_OK,
         with(with({L"Width=640", L"Height=480"}, bars), shown), true},
        {"width only", 800, 0, S_OK, S_OK, S_OK, S_OK, with(with({L"Width=800"}, bars), shown), true},
        {"height only", 0, 300, S_OK, S_OK, S_OK, S_OK, with(with({L"Height=300"}, bars), shown), true},
        {"properties not implemented", 640, 480, S_OK, S_OK, E_NOTIMPL, S_OK,
         with(with({L"Width=640", L"Height=480"}, bars), shown), true},
        {"navigation fails", 0, 0, S_OK, E_FAIL, S_OK, E_FAIL, with(bars, {kNavigate}), false},
        {"no browser", 0, 0, REGDB_E_CLASSNOTREG, S_OK, S_OK, REGDB_E_CLASSNOTREG, {}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        HiddenWindow frame;
        ASSERT_NE(frame.hwnd, nullptr);
        FakeBrowser browser;
        browser.navigateResult = c.navigate;
        browser.propertyResult = c.property;
        browser.window = frame.hwnd;
        FakeCreatedPopup popup(browser, c.create);

        EXPECT_EQ(popup.Open(kUrl, c.width, c.height), c.result);
        EXPECT_EQ(popup.created, 1);
        EXPECT_EQ(browser.calls, c.calls);
        EXPECT_EQ(browser.refs, 0) << "the browser object is released";
        EXPECT_EQ(::IsWindowVisible(frame.hwnd) != FALSE, c.visible);
    }
}

TEST(WebPopupBrowser, OpensOnlyWebAddressesAndCreatesNothingForTheRest)
{
    const wchar_t* accepted[] = {
        L"http://example.com/",
        L"HTTPS://Example.COM/get?x=1#top",
        L"hTtP://127.0.0.1:8080/a b",
        L"https://user@host/x",
    };
    for (const wchar_t* url : accepted)
    {
        SCOPED_TRACE(WideToUtf8(url));
        LogCapture log;
        FakeBrowser browser;
        FakeCreatedPopup popup(browser);
        EXPECT_EQ(popup.Open(url, 0, 0), S_OK);
        EXPECT_EQ(popup.created, 1);
        ASSERT_GE(browser.calls.size(), 5u);
        EXPECT_EQ(browser.calls[4], L"Navigate2 '" + std::wstring(url) + L"' empty '_self' empty empty");
        EXPECT_EQ(log.Texts(), Calls{});
    }

    struct Refused
    {
        const wchar_t* url;
        const wchar_t* logged;
    } refused[] = {
        {nullptr, L""},
        {L"", L""},
        {L"file:///C:/windows/system32/calc.exe", nullptr},
        {L"FILE://server/share/setup.exe", nullptr},
        {L"javascript:alert(1)", nullptr},
        {L"vbscript:msgbox(1)", nullptr},
        {L"\\\\server\\share\\setup.exe", nullptr},
        {L"C:\\Windows\\notepad.exe", nullptr},
        {L"notepad.exe http://example.com/", nullptr},
        {L"res://ieframe.dll/navcancl.htm", nullptr},
        {L"about:blank", nullptr},
        {L"shell:startup", nullptr},
        {L"ftp://example.com/setup.exe", nullptr},
        {L"mailto:a@example.com", nullptr},
        {L"httpx://example.com/", nullptr},
        {L"http:/example.com/", nullptr},
        {L"http:example.com", nullptr},
        {L"http:\\\\server\\share", nullptr},
        {L"http:///C:/windows/notepad.exe", nullptr},
        {L"http://\\\\server\\share", nullptr},
        {L"https://", nullptr},
        {L"https://?q", nullptr},
        {L" http://example.com/", nullptr},
        {L"http://exam\tple.com/", L"http://exam?ple.com/"},
        {L"http://example.com/\r\nCWebPopupBrowser::Open : forged",
         L"http://example.com/??CWebPopupBrowser::Open : forged"},
        {L"\x01http://example.com/\x7f\x85", L"?http://example.com/??"},
    };
    for (const Refused& r : refused)
    {
        std::wstring url = r.url ? r.url : L"(null)";
        SCOPED_TRACE(WideToUtf8(url));
        LogCapture log;
        FakeBrowser browser;
        FakeCreatedPopup popup(browser);
        EXPECT_EQ(popup.Open(r.url, 640, 480), E_INVALIDARG);
        EXPECT_EQ(popup.created, 0);
        EXPECT_EQ(browser.calls, Calls{});
        std::wstring shown = r.logged ? r.logged : r.url;
        EXPECT_EQ(log.Texts(), Calls{L"CWebPopupBrowser::Open : refused " + shown});
    }
}

// ---- The real browser object ----

// The browser processes that this test program started (COM starts the local server as
// our child), by process id.
std::set<DWORD> ChildBrowsers()
{
    std::set<DWORD> found;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = ::Process32FirstW(snapshot, &entry); ok; ok = ::Process32NextW(snapshot, &entry))
    {
        if (entry.th32ParentProcessID == ::GetCurrentProcessId() &&
            _wcsicmp(entry.szExeFile, L"iexplore.exe") == 0)
            found.insert(entry.th32ProcessID);
    }
    ::CloseHandle(snapshot);
    return found;
}

BOOL CALLBACK CloseWindowOfProcess(HWND hwnd, LPARAM pid)
{
    DWORD owner = 0;
    ::GetWindowThreadProcessId(hwnd, &owner);
    if (owner == static_cast<DWORD>(pid))
        ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return TRUE;
}

// Ends, by id, the browser processes started since it was made. The browser object cannot
// be told to quit under Wine, but closing its window lets the process end by itself once
// nothing holds the object, and so withdraw its class registration: a killed browser stays
// registered with the prefix's COM service, where every later creation then fails with
// RPC_S_SERVER_UNAVAILABLE. Killing is the last resort.
class BrowserProcessGuard
{
  public:
    BrowserProcessGuard() : m_before(ChildBrowsers()) {}
    ~BrowserProcessGuard() { EndStarted(); }
    bool Started(DWORD pid) const { return ChildBrowsers().count(pid) && !m_before.count(pid); }

    // True when every browser started meanwhile ended on its own once its window closed.
    bool EndStarted()
    {
        bool clean = true;
        for (DWORD pid : ChildBrowsers())
        {
            if (m_before.count(pid))
                continue;
            HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (!process)
                continue;
            ::EnumWindows(CloseWindowOfProcess, static_cast<LPARAM>(pid));
            if (::WaitForSingleObject(process, 15000) != WAIT_OBJECT_0)
            {
                clean = false;
                ::TerminateProcess(process, 1);
                ::WaitForSingleObject(process, 10000);
            }
            ::CloseHandle(process);
        }
        return clean;
    }

  private:
    std::set<DWORD> m_before;
};

// The real creation, keeping a reference so that the test can look at the browser after
// the popup has let it go.
class WatchedPopup : public CWebPopupBrowser
{
  public:
    ComPtr<IWebBrowser2> browser;
    HRESULT createResult = E_PENDING;

  protected:
    HRESULT CreateBrowser(IWebBrowser2** out) override
    {
        createResult = CWebPopupBrowser::CreateBrowser(out);
        if (SUCCEEDED(createResult))
            browser.reset(*out);
        return createResult;
    }
};

TEST(WebPopupBrowser, RealBrowserFetchesTheExactAddressAndShowsItsWindow)
{
    LoopbackServer server(
        [](SOCKET client, LoopbackServer& self)
        {
            std::string request;
            if (!LoopbackServer::ReadUntil(client, request, "\r\n\r\n"))
                return;
            self.Record(request.substr(0, request.find("\r\n")) + "\n");
            const std::string body = "<html><body>new launcher</body></html>";
            LoopbackServer::SendAll(client, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                                std::to_string(body.size()) +
                                                "\r\nConnection: close\r\n\r\n" + body);
        },
        4);
    const std::string path = "/launcher/NorvaneLauncher?v=2.1.0&lang=en";
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(server.port()) + Utf8ToWideString(path);

    // As in the programs, which open the popup on their main thread after CoInitialize.
    ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
    struct ComGuard
    {
        ~ComGuard() { ::CoUninitialize(); }
    } com;
    BrowserProcessGuard guard;
    WatchedPopup popup;
    HRESULT hr = popup.Open(url.c_str(), 0, 0);
    if (popup.createResult == REGDB_E_CLASSNOTREG)
        GTEST_SKIP() << "no browser application object is registered on this system";
    if (popup.createResult == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE))
        GTEST_SKIP()
            << "the browser object is registered by a browser process that no longer runs (one killed "
               "earlier in this Wine session); creation works again once the prefix's COM service restarts";
    ASSERT_EQ(popup.createResult, S_OK);
    ASSERT_EQ(hr, S_OK);

    // The request line arrives when the browser process has fetched the page.
    const std::string expected = "GET " + path + " HTTP/1.1\n";
    std::string received;
    for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 30000; ::Sleep(50))
    {
        received = server.received();
        if (received.find(expected) != std::string::npos)
            break;
    }
    EXPECT_NE(received.find(expected), std::string::npos) << received;

    VARIANT_BOOL visible = VARIANT_FALSE;
    EXPECT_EQ(popup.browser->get_Visible(&visible), S_OK);
    EXPECT_EQ(visible, VARIANT_TRUE);
    SHANDLE_PTR window = 0;
    ASSERT_EQ(popup.browser->get_HWND(&window), S_OK);
    ASSERT_NE(window, 0);
    EXPECT_TRUE(::IsWindowVisible(reinterpret_cast<HWND>(window)));
    DWORD pid = 0;
    ::GetWindowThreadProcessId(reinterpret_cast<HWND>(window), &pid);
    EXPECT_TRUE(guard.Started(pid)) << "the window belongs to the browser process this test started";

    popup.browser = nullptr; // the popup has already let go of it
    EXPECT_TRUE(guard.EndStarted()) << "the browser ended when its window was closed";
}
} // namespace
