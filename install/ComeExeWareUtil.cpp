#include "install/ComeExeWareUtil.h"

#include <string>

#include "ui/StringTable.h"

namespace
{
// Process-wide, set only while a proxy message box is shown.
HHOOK g_proxyBoxHook = nullptr;
// Activation repeats whenever the box gets the focus back: relabel and widen once.
HWND g_labelledBox = nullptr;
HWND g_widenedBox = nullptr;

const int kRetryWiden = 20;
const UINT_PTR kWidenTimer = 0x4E56;

// Moves the Retry button's left edge outwards, keeping top, right and bottom.
void WidenRetryButton(HWND box)
{
    HWND button = ::GetDlgItem(box, IDRETRY);
    RECT r;
    if (!button || box == g_widenedBox || !::GetWindowRect(button, &r))
        return;
    g_widenedBox = box;
    ::MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&r), 2);
    ::SetWindowPos(button, nullptr, r.left - kRetryWiden, r.top, r.right - r.left + kRetryWiden,
                   r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void CALLBACK DeferredWiden(HWND box, UINT, UINT_PTR id, DWORD)
{
    ::KillTimer(box, id);
    WidenRetryButton(box);
}

// The box's Retry button becomes the proxy settings button.
void AdjustRetryButton(HWND box)
{
    HWND button = ::GetDlgItem(box, IDRETRY);
    if (!button)
        return;
    if (box != g_labelledBox)
    {
        g_labelledBox = box;
        std::wstring label = CStringTable::Load(IDS_PROXY_SETTINGS);
        ::SetWindowTextW(button, label.c_str());
    }
    // Some platforms activate the box while it is still being laid out, and the layout
    // would then undo the new size: a box not shown yet is widened from its own loop.
    if (::IsWindowVisible(box))
        WidenRetryButton(box);
    else
        ::SetTimer(box, kWidenTimer, USER_TIMER_MINIMUM, DeferredWiden);
}

LRESULT CALLBACK ProxyBoxHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE)
    {
        AdjustRetryButton(reinterpret_cast<HWND>(wParam));
        return 0;
    }
    return ::CallNextHookEx(g_proxyBoxHook, code, wParam, lParam);
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
    HHOOK outerHook = g_proxyBoxHook;
    HWND outerLabelled = g_labelledBox, outerWidened = g_widenedBox;
    g_labelledBox = g_widenedBox = nullptr;
    g_proxyBoxHook = ::SetWindowsHookExW(WH_CBT, ProxyBoxHook, nullptr, ::GetCurrentThreadId());
    int result = ::MessageBoxW(owner, text, caption, MB_RETRYCANCEL);
    if (g_proxyBoxHook)
        ::UnhookWindowsHookEx(g_proxyBoxHook);
    g_proxyBoxHook = outerHook;
    g_labelledBox = outerLabelled;
    g_widenedBox = outerWidened;

    if (result == IDRETRY)
        ShowProxySettings();
    return result;
}
