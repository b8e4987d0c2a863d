#include "ui/ComeExeWareUtil.h"

#include <cwchar>
#include <string>

#include "ui/StringTable.h"

namespace
{
// Process-wide, set only while a proxy message box is shown.
struct ProxyBoxState
{
    HHOOK hook = nullptr;
    HWND owner = nullptr;   // the box's owner: activated again when the box closes
    HWND box = nullptr;     // the box, once its activation was seen
    HWND widened = nullptr; // activation repeats whenever the box gets the focus back
};
ProxyBoxState g_proxyBox;

const int kRetryWiden = 20;
const UINT_PTR kWidenTimer = 0x4E56;

// Moves the Retry button's left edge outwards, keeping top, right and bottom.
void WidenRetryButton(HWND box)
{
    HWND button = ::GetDlgItem(box, IDRETRY);
    RECT r;
    if (!button || box != g_proxyBox.box || box == g_proxyBox.widened || !::GetWindowRect(button, &r))
        return;
    g_proxyBox.widened = box;
    ::MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&r), 2);
    ::SetWindowPos(button, nullptr, r.left - kRetryWiden, r.top, r.right - r.left + kRetryWiden,
                   r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void CALLBACK DeferredWiden(HWND box, UINT, UINT_PTR id, DWORD)
{
    ::KillTimer(box, id);
    WidenRetryButton(box);
}

// A dialog with a Retry button that is not the box's owner (the owner is activated
// again, with its own controls, when the box closes).
bool LooksLikeTheBox(HWND window)
{
    wchar_t cls[16] = {};
    return window && window != g_proxyBox.owner && ::GetClassNameW(window, cls, ARRAYSIZE(cls)) &&
           wcscmp(cls, L"#32770") == 0 && ::GetDlgItem(window, IDRETRY);
}

void AdjustRetryButton(HWND window)
{
    // The first such activation is the box's; afterwards only the box itself counts.
    if (!g_proxyBox.box)
    {
        if (!LooksLikeTheBox(window))
            return;
        g_proxyBox.box = window;
        // The box's Retry button becomes the proxy settings button.
        std::wstring label = CStringTable::Load(IDS_PROXY_SETTINGS);
        ::SetWindowTextW(::GetDlgItem(window, IDRETRY), label.c_str());
    }
    else if (window != g_proxyBox.box)
    {
        return;
    }
    // Some platforms activate the box while it is still being laid out, and the layout
    // would then undo the new size: a box not shown yet is widened from its own loop.
    if (::IsWindowVisible(window))
        WidenRetryButton(window);
    else
        ::SetTimer(window, kWidenTimer, USER_TIMER_MINIMUM, DeferredWiden);
}

LRESULT CALLBACK ProxyBoxHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE)
    {
        AdjustRetryButton(reinterpret_cast<HWND>(wParam));
        return 0;
    }
    return ::CallNextHookEx(g_proxyBox.hook, code, wParam, lParam);
}
} // namespace

CComeExeWareUtil::~CComeExeWareUtil() = default;

HRESULT CComeExeWareUtil::ShowProxySettings()
{
    INvpcProxySettings* component = nullptr;
    HRESULT hr = CreateProxySettings(&component);
    if (FAILED(hr))
        return hr;
    if (!component)
        return 1;
    hr = component->ShowSettings();
    component->Release();
    return hr;
}

HRESULT CComeExeWareUtil::GetProxySettings(ProxySettingsValues& values)
{
    return ReadProxySettings(values);
}

int CComeExeWareUtil::ProxyMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption)
{
    // Creating the component is only a presence test here.
    INvpcProxySettings* component = nullptr;
    HRESULT hr = CreateProxySettings(&component);
    if (FAILED(hr) || !component)
        return ::MessageBoxW(owner, text, caption, MB_OK);
    component->Release();

    // A box shown from a handler while another one waits must not lose the outer hook.
    ProxyBoxState outer = g_proxyBox;
    g_proxyBox = ProxyBoxState();
    g_proxyBox.owner = owner ? ::GetAncestor(owner, GA_ROOT) : nullptr;
    g_proxyBox.hook = ::SetWindowsHookExW(WH_CBT, ProxyBoxHook, nullptr, ::GetCurrentThreadId());
    int result = ::MessageBoxW(owner, text, caption, MB_RETRYCANCEL);
    if (g_proxyBox.hook)
        ::UnhookWindowsHookEx(g_proxyBox.hook);
    g_proxyBox = outer;

    if (result == IDRETRY)
        ShowProxySettings();
    return result;
}
