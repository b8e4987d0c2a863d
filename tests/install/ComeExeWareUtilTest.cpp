// The proxy settings calls: the failure box that offers the settings, showing them, and
// reading them, with the component registered and without it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>

#include "install/ComeExeWareUtil.h"
#include "install/ProxyComponentGuard.h"
#include "support/TestSupport.h"
#include "ui/StringTable.h"

namespace
{
const wchar_t kSettingsCaption[] = L"Proxy Connection Settings";
const wchar_t kBoxCaption[] = L"NVPC proxy box test";
const int kTypeControl = 1001, kHostControl = 1002, kPortControl = 1003, kUserControl = 1004,
          kPasswordControl = 1005;

class ProxyCalls : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
    ProxyComponentGuard registration;
    ProxySettingsFileGuard settingsFile;
};

HWND FindBox()
{
    return FindThreadWindow(L"#32770", kBoxCaption);
}

// The message text of a box: its static control with text.
std::wstring StaticText(HWND box)
{
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    {
        wchar_t cls[32] = {};
        GetClassNameW(child, cls, ARRAYSIZE(cls));
        std::wstring text = WindowText(child);
        if (_wcsicmp(cls, L"Static") == 0 && !text.empty())
            return text;
    }
    return std::wstring();
}

// Selects the combo item whose data is the proxy type.
void SelectType(HWND dialog, int type)
{
    HWND combo = GetDlgItem(dialog, kTypeControl);
    int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
        if (SendMessageW(combo, CB_GETITEMDATA, i, 0) == type)
            SendMessageW(combo, CB_SETCURSEL, i, 0);
}

// The Retry button's rectangle as the message box laid it out, before any activation.
std::map<HWND, RECT> g_laidOut;
HHOOK g_layoutHook = nullptr;
LRESULT CALLBACK LayoutHook(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT* m = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && m->message == WM_INITDIALOG)
        if (HWND retry = GetDlgItem(m->hwnd, IDRETRY))
            g_laidOut[m->hwnd] = ChildRect(retry);
    return CallNextHookEx(g_layoutHook, code, wParam, lParam);
}
} // namespace

TEST_F(ProxyCalls, WithoutTheComponentTheBoxOffersOnlyOk)
{
    ASSERT_TRUE(registration.Unregister());
    std::vector<int> buttons;
    std::wstring boxText;
    bool sawSettings = false;
    UiScript script;
    script.Add(L"box shown",
               [&]
               {
                   HWND box = FindBox();
                   if (!box)
                       return false;
                   buttons = VisibleButtonIds(box);
                   boxText = StaticText(box);
                   ClickButton(box, IDOK);
                   return true;
               });
    script.Add(L"watch for settings",
               [&]
               {
                   if (HWND settings = FindThreadWindow(L"#32770", kSettingsCaption))
                   {
                       sawSettings = true;
                       ClickButton(settings, IDCANCEL);
                   }
                   return false;
               });
    CComeExeWareUtil util;
    int result = util.ProxyMessageBox(nullptr, L"Connection failed (3)", kBoxCaption);
    EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(buttons, std::vector<int>{IDOK});
    EXPECT_EQ(boxText, L"Connection failed (3)");
    EXPECT_FALSE(sawSettings);
}

TEST_F(ProxyCalls, WithTheComponentRetryBecomesTheWiderSettingsButton)
{
    ASSERT_TRUE(registration.Register());
    g_laidOut.clear();
    g_layoutHook = SetWindowsHookExW(WH_CALLWNDPROCRET, LayoutHook, nullptr, GetCurrentThreadId());
    ASSERT_TRUE(g_layoutHook);

    std::vector<int> buttons;
    std::wstring label;
    RECT retry = {}, cancel = {}, retryAfterReactivation = {};
    HWND boxSeen = nullptr;
    bool reactivated = false;
    UiScript script;
    script.Add(L"box shown",
               [&]
               {
                   HWND box = FindBox();
                   if (!box || GetActiveWindow() != box || !g_laidOut.count(box))
                       return false;
                   // The box may be widened from its own loop just after it shows up.
                   RECT now = ChildRect(GetDlgItem(box, IDRETRY));
                   if (now.left == g_laidOut[box].left)
                       return false;
                   boxSeen = box;
                   buttons = VisibleButtonIds(box);
                   label = WindowText(GetDlgItem(box, IDRETRY));
                   retry = ChildRect(GetDlgItem(box, IDRETRY));
                   cancel = ChildRect(GetDlgItem(box, IDCANCEL));
                   return true;
               });
    script.Add(L"box activated again",
               [&]
               {
                   // Activation repeats when the user comes back to the box: one widening only.
                   HWND other = CreateWindowW(L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                                              nullptr, nullptr, nullptr, nullptr);
                   SetActiveWindow(other);
                   bool left = GetActiveWindow() == other;
                   SetActiveWindow(boxSeen);
                   reactivated = left && GetActiveWindow() == boxSeen;
                   DestroyWindow(other);
                   SetActiveWindow(boxSeen);
                   retryAfterReactivation = ChildRect(GetDlgItem(boxSeen, IDRETRY));
                   ClickButton(boxSeen, IDRETRY);
                   return true;
               });
    script.Add(L"settings shown",
               [&]
               {
                   HWND settings = FindThreadWindow(L"#32770", kSettingsCaption);
                   if (!settings)
                       return false;
                   SelectType(settings, 1);
                   SetDlgItemTextW(settings, kHostControl, L"proxy.\u00e9xample.test");
                   SetDlgItemTextW(settings, kPortControl, L"3128");
                   SetDlgItemTextW(settings, kUserControl, L"\u5c71\u7530");
                   SetDlgItemTextW(settings, kPasswordControl, L" p\"w ");
                   ClickButton(settings, IDOK);
                   return true;
               });
    CComeExeWareUtil util;
    int result = util.ProxyMessageBox(nullptr, L"Connection failed (3)", kBoxCaption);
    UnhookWindowsHookEx(g_layoutHook);
    EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
    EXPECT_EQ(result, IDRETRY);

    std::sort(buttons.begin(), buttons.end());
    EXPECT_EQ(buttons, (std::vector<int>{IDCANCEL, IDRETRY}));
    std::wstring expected = CStringTable::Load(IDS_PROXY_SETTINGS);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(label, expected);

    ASSERT_EQ(g_laidOut.count(boxSeen), 1u) << "the layout of the box was not seen";
    RECT before = g_laidOut[boxSeen];
    EXPECT_EQ(retry.left, before.left - 20);
    EXPECT_EQ(retry.top, before.top);
    EXPECT_EQ(retry.right, before.right);
    EXPECT_EQ(retry.bottom, before.bottom);
    EXPECT_EQ(retry.right - retry.left, cancel.right - cancel.left + 20)
        << "buttons are laid out equally wide";
    EXPECT_TRUE(reactivated);
    EXPECT_EQ(retryAfterReactivation.left, retry.left);
    EXPECT_EQ(retryAfterReactivation.right, retry.right);

    // What the settings dialog took is what the component now answers.
    ProxySettingsValues values;
    EXPECT_EQ(util.GetProxySettings(values), S_OK);
    EXPECT_EQ(values.type, 1);
    EXPECT_EQ(values.host, L"proxy.\u00e9xample.test");
    EXPECT_EQ(values.port, 3128);
    EXPECT_EQ(values.user, L"\u5c71\u7530");
    EXPECT_EQ(values.password, L" p\"w ");
}

TEST_F(ProxyCalls, CancelInTheProxyBoxOpensNothing)
{
    ASSERT_TRUE(registration.Register());
    bool sawSettings = false;
    UiScript script;
    script.Add(L"box shown",
               [&]
               {
                   HWND box = FindBox();
                   if (!box)
                       return false;
                   ClickButton(box, IDCANCEL);
                   return true;
               });
    script.Add(L"watch for settings",
               [&]
               {
                   if (HWND settings = FindThreadWindow(L"#32770", kSettingsCaption))
                   {
                       sawSettings = true;
                       ClickButton(settings, IDCANCEL);
                   }
                   return false;
               });
    CComeExeWareUtil util;
    EXPECT_EQ(util.ProxyMessageBox(nullptr, L"text", kBoxCaption), IDCANCEL);
    EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
    EXPECT_FALSE(sawSettings);
}

TEST_F(ProxyCalls, ShowProxySettingsPassesTheComponentsAnswerOn)
{
    ASSERT_TRUE(registration.Unregister());
    CComeExeWareUtil util;
    HRESULT missing = util.ShowProxySettings();
    EXPECT_TRUE(FAILED(missing)) << std::hex << missing;

    ASSERT_TRUE(registration.Register());
    bool shown = false;
    UiScript script;
    script.Add(L"settings shown",
               [&]
               {
                   HWND settings = FindThreadWindow(L"#32770", kSettingsCaption);
                   if (!settings)
                       return false;
                   shown = true;
                   ClickButton(settings, IDCANCEL);
                   return true;
               });
    EXPECT_EQ(util.ShowProxySettings(), S_FALSE) << "the component answers S_FALSE for Cancel";
    EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
    EXPECT_TRUE(shown);
}

TEST_F(ProxyCalls, ReadingWithoutTheComponentKeepsTheValues)
{
    ASSERT_TRUE(registration.Unregister());
    ProxySettingsValues values;
    values.type = 5;
    values.host = L"kept";
    values.port = 1080;
    CComeExeWareUtil util;
    EXPECT_TRUE(FAILED(util.GetProxySettings(values)));
    EXPECT_EQ(values.type, 5);
    EXPECT_EQ(values.host, L"kept");
    EXPECT_EQ(values.port, 1080);
}
