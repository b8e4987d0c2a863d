// The proxy settings calls: the failure box that offers the settings, showing them, and
// reading them, with the component registered and without it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>

#include "ui/ComeExeWareUtil.h"
#include "install/ProxyComponentGuard.h"
#include "support/TestSupport.h"
#include "ui/StringTable.h"

namespace
{
const wchar_t kBoxCaption[] = L"NVPC proxy box test";

class ProxyCalls : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
    ProxyComponentGuard registration;
    ProxySettingsFileGuard settingsFile;
};

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
    script.Add(L"box shown", ClickWhenShown(kBoxCaption, IDOK,
                                            [&](HWND box)
                                            {
                                                buttons = VisibleButtonIds(box);
                                                boxText = StaticText(box);
                                            }));
    script.Add(L"watch for settings", ClickWheneverShown(kProxySettingsCaption, IDCANCEL, &sawSettings));
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
                   HWND box = FindThreadWindow(L"#32770", kBoxCaption);
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
               ClickWhenShown(kProxySettingsCaption, IDOK,
                              [](HWND settings)
                              {
                                  SelectProxyType(settings, 1);
                                  SetDlgItemTextW(settings, IDC_PROXY_HOST, L"proxy.\u00e9xample.test");
                                  SetDlgItemTextW(settings, IDC_PROXY_PORT, L"3128");
                                  SetDlgItemTextW(settings, IDC_PROXY_USER, L"\u5c71\u7530");
                                  SetDlgItemTextW(settings, IDC_PROXY_PASSWORD, L" p\"w ");
                              }));
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
    script.Add(L"box shown", ClickWhenShown(kBoxCaption, IDCANCEL));
    script.Add(L"watch for settings", ClickWheneverShown(kProxySettingsCaption, IDCANCEL, &sawSettings));
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
               ClickWhenShown(kProxySettingsCaption, IDCANCEL, [&](HWND) { shown = true; }));
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

TEST_F(ProxyCalls, TheBoxLeavesItsOwnersControlsAlone)
{
    // The owner is activated again when the box closes; its own control 4 is not the box's.
    ASSERT_TRUE(registration.Register());
    HWND owner = CreateWindowExW(0, L"#32770", kBoxCaption, WS_POPUP | WS_CAPTION | WS_VISIBLE, 20, 20, 320,
                                 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(owner);
    HWND button = CreateWindowW(L"BUTTON", L"Own button", WS_CHILD | WS_VISIBLE, 100, 50, 80, 25, owner,
                                reinterpret_cast<HMENU>(IDRETRY), nullptr, nullptr);
    ASSERT_TRUE(button);
    SetActiveWindow(owner);
    RECT before = ChildRect(button);

    std::wstring label;
    UiScript script;
    script.Add(L"box shown",
               [&]
               {
                   for (HWND dialog : ThreadDialogs())
                       if (dialog != owner && GetWindow(dialog, GW_OWNER) == owner)
                       {
                           label = WindowText(GetDlgItem(dialog, IDRETRY));
                           ClickButton(dialog, IDCANCEL);
                           return true;
                       }
                   return false;
               });
    CComeExeWareUtil util;
    EXPECT_EQ(util.ProxyMessageBox(owner, L"Connection failed (2)", kBoxCaption), IDCANCEL);
    EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
    EXPECT_EQ(label, CStringTable::Load(IDS_PROXY_SETTINGS)) << "the box itself is still relabelled";
    EXPECT_EQ(WindowText(button), L"Own button");
    RECT after = ChildRect(button);
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.right, before.right);
    DestroyWindow(owner);
}

TEST_F(ProxyCalls, AComponentThatGivesNoInterface)
{
    FakeProxyComponent::Answers answers;
    answers.noInterface = true;
    FakeProxyComponent fake(answers);
    ASSERT_TRUE(fake.registered());
    CComeExeWareUtil util;

    EXPECT_EQ(util.ShowProxySettings(), 1);

    // No proxy button without an interface to show the settings with.
    std::vector<int> buttons;
    UiScript script;
    script.Add(L"box shown",
               ClickWhenShown(kBoxCaption, IDOK, [&](HWND box) { buttons = VisibleButtonIds(box); }));
    EXPECT_EQ(util.ProxyMessageBox(nullptr, L"text", kBoxCaption), IDOK);
    EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
    EXPECT_EQ(buttons, std::vector<int>{IDOK});

    // Nothing to read: a failure, and the caller's (the record's) values stay as they were.
    ProxySettingsValues values;
    values.type = 1;
    values.host = L"h";
    values.port = 8080;
    values.user = L"u";
    values.password = L"p";
    EXPECT_EQ(util.GetProxySettings(values), E_NOINTERFACE);
    EXPECT_EQ(values.type, 1);
    EXPECT_EQ(values.host, L"h");
    EXPECT_EQ(values.port, 8080);
    EXPECT_EQ(values.user, L"u");
    EXPECT_EQ(values.password, L"p");
    EXPECT_EQ(fake.counts().creations, 3);
    EXPECT_EQ(fake.counts().shows + fake.counts().gets, 0);
}

TEST_F(ProxyCalls, TheComponentsAnswerPassesThroughAndNothingIsKept)
{
    FakeProxyComponent::Answers answers;
    answers.show = E_ACCESSDENIED;
    FakeProxyComponent fake(answers);
    ASSERT_TRUE(fake.registered());
    CComeExeWareUtil util;

    EXPECT_EQ(util.ShowProxySettings(), E_ACCESSDENIED);
    EXPECT_EQ(fake.counts().shows, 1);
    EXPECT_EQ(fake.counts().live, 0);

    // The box's presence test creates and releases at once; the settings run only for Retry.
    for (int button : {IDCANCEL, IDRETRY})
    {
        int shows = fake.counts().shows, creations = fake.counts().creations;
        UiScript script;
        script.Add(L"box shown", ClickWhenShown(kBoxCaption, button));
        EXPECT_EQ(util.ProxyMessageBox(nullptr, L"text", kBoxCaption), button);
        EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
        EXPECT_EQ(fake.counts().shows - shows, button == IDRETRY ? 1 : 0);
        EXPECT_EQ(fake.counts().creations - creations, button == IDRETRY ? 2 : 1);
        EXPECT_EQ(fake.counts().live, 0);
    }
}

TEST_F(ProxyCalls, ReadingTakesNullStringsAsEmptyAndKeepsValuesOnFailure)
{
    CComeExeWareUtil util;
    ProxySettingsValues values;
    values.host = values.password = L"old";
    {
        FakeProxyComponent::Answers answers;
        answers.get = S_FALSE; // not a failure: the values count
        answers.type = 4;
        answers.port = 1080;
        answers.user = L"\u5c71\u7530";
        FakeProxyComponent fake(answers);
        ASSERT_TRUE(fake.registered());
        EXPECT_EQ(util.GetProxySettings(values), S_FALSE);
        EXPECT_EQ(fake.counts().gets, 1);
        EXPECT_EQ(fake.counts().live, 0);
    }
    EXPECT_EQ(values.type, 4);
    EXPECT_EQ(values.host, L"");
    EXPECT_EQ(values.port, 1080);
    EXPECT_EQ(values.user, L"\u5c71\u7530");
    EXPECT_EQ(values.password, L"");
    {
        FakeProxyComponent::Answers answers;
        answers.get = E_UNEXPECTED;
        answers.type = 5;
        answers.host = L"other";
        FakeProxyComponent fake(answers);
        ASSERT_TRUE(fake.registered());
        EXPECT_EQ(util.GetProxySettings(values), E_UNEXPECTED);
        EXPECT_EQ(fake.counts().live, 0);
    }
    EXPECT_EQ(values.type, 4) << "a failed answer changes nothing";
    EXPECT_EQ(values.host, L"");
    EXPECT_EQ(values.user, L"\u5c71\u7530");
}
