#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "WindowTestRes.h"
#include "ui/Window.h"

namespace
{
const UINT kSum = WM_APP + 1;   // answered with wParam + lParam
const UINT kThrow = WM_APP + 2; // the handler throws
const UINT kEnd = WM_APP + 3;   // ends the dialog with wParam
const wchar_t kClass[] = L"NvpcWindowToolkitTest";

HINSTANCE Instance()
{
    return GetModuleHandleW(nullptr);
}

std::wstring Text(HWND window)
{
    wchar_t buf[64] = {};
    GetWindowTextW(window, buf, 64);
    return buf;
}

class TestWindow : public CWindowBase
{
  public:
    std::vector<UINT> seen;
    bool hwndKnownAtNcCreate = false;
    int finals = 0;

  protected:
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        seen.push_back(msg);
        if (msg == WM_NCCREATE)
            hwndKnownAtNcCreate = hwnd() != nullptr;
        if (msg == kSum)
            return static_cast<LRESULT>(wParam + lParam);
        if (msg == kThrow)
            throw std::runtime_error("window handler");
        return CWindowBase::OnMessage(msg, wParam, lParam);
    }
    void OnFinalMessage() override { ++finals; }
};

class TestDialog : public CDialogBase
{
  public:
    bool script = true; // the modal run: throw once, then end with 42
    int inits = 0;
    int thrown = 0;
    HWND editAtInit = nullptr;

  protected:
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        switch (msg)
        {
        case WM_INITDIALOG:
            ++inits;
            editAtInit = GetDlgItem(hwnd(), IDC_TEST_EDIT);
            if (script)
            {
                PostMessageW(hwnd(), kThrow, 0, 0);
                PostMessageW(hwnd(), kEnd, 42, 0);
            }
            return TRUE;
        case kThrow:
            ++thrown;
            throw std::runtime_error("dialog handler");
        case kEnd:
            End(static_cast<INT_PTR>(wParam));
            return TRUE;
        case kSum:
            SetMsgResult(static_cast<LRESULT>(wParam + lParam));
            return TRUE;
        }
        return CDialogBase::OnMessage(msg, wParam, lParam);
    }
};

class Spy : public CSubclass
{
  public:
    Spy(int id, std::vector<int>& order) : m_id(id), m_order(order) {}

  protected:
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == kSum)
            return static_cast<LRESULT>(wParam + lParam) + m_id;
        if (msg == kThrow)
            throw std::runtime_error("subclass handler");
        if (msg == WM_SETTEXT)
            m_order.push_back(m_id);
        return CSubclass::OnMessage(msg, wParam, lParam);
    }

  private:
    int m_id;
    std::vector<int>& m_order;
};
} // namespace

TEST(WindowToolkit, WindowMessagesReachTheMemberAndExceptionsStayInside)
{
    ASSERT_TRUE(CWindowBase::RegisterWindowClass(Instance(), kClass));
    ASSERT_TRUE(CWindowBase::RegisterWindowClass(Instance(), kClass))
        << "a second registration is no failure";
    const RECT rect = {0, 0, 200, 100};
    TestWindow window;
    HWND hwnd = window.Create(Instance(), kClass, L"first", WS_POPUP, 0, rect, nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(window.hwndKnownAtNcCreate) << "the object is captured before its first message";
    EXPECT_EQ(window.hwnd(), hwnd);
    EXPECT_EQ(CWindowBase::FromHwnd(hwnd), &window);
    EXPECT_EQ(CWindowBase::FromHwnd(GetDesktopWindow()), nullptr) << "a window of another class is not ours";
    EXPECT_EQ(window.Create(Instance(), kClass, L"again", WS_POPUP, 0, rect, nullptr), nullptr)
        << "one window per object";

    EXPECT_EQ(SendMessageW(hwnd, kSum, 40, 2), 42);
    EXPECT_EQ(SendMessageW(hwnd, kThrow, 0, 0), 0) << "the firewall answers as the default procedure does";
    EXPECT_EQ(SendMessageW(hwnd, kSum, 1, 1), 2) << "and the window goes on";
    SetWindowTextW(hwnd, L"renamed");
    EXPECT_EQ(Text(hwnd), L"renamed") << "what the handler passes on reaches the default procedure";

    DestroyWindow(hwnd);
    EXPECT_EQ(window.seen.back(), static_cast<UINT>(WM_NCDESTROY));
    EXPECT_EQ(window.finals, 1);
    EXPECT_EQ(window.hwnd(), nullptr) << "detached once its window is gone";

    // The object may have a new window after the old one is gone; deleting it destroys that.
    HWND second = window.Create(Instance(), kClass, L"second", WS_POPUP, 0, rect, nullptr);
    ASSERT_NE(second, nullptr);
    auto* owner = new TestWindow;
    HWND third = owner->Create(Instance(), kClass, L"third", WS_POPUP, 0, rect, nullptr);
    ASSERT_NE(third, nullptr);
    delete owner;
    EXPECT_FALSE(IsWindow(third));
    EXPECT_TRUE(IsWindow(second));
    DestroyWindow(second);
}

TEST(WindowToolkit, ModalAndModelessDialogsFromATemplate)
{
    TestDialog modal;
    EXPECT_EQ(modal.DoModal(Instance(), MAKEINTRESOURCEW(IDD_WINDOW_TEST), nullptr), 42);
    EXPECT_EQ(modal.inits, 1);
    EXPECT_NE(modal.editAtInit, nullptr) << "the template's controls exist at WM_INITDIALOG";
    EXPECT_EQ(modal.thrown, 1) << "a handler threw, and the dialog went on to its end";
    EXPECT_EQ(modal.hwnd(), nullptr);

    TestDialog missing;
    EXPECT_EQ(missing.DoModal(Instance(), MAKEINTRESOURCEW(999), nullptr), -1) << "no such template";

    TestDialog modeless;
    modeless.script = false;
    HWND dialog = modeless.Create(Instance(), MAKEINTRESOURCEW(IDD_WINDOW_TEST), nullptr);
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(modeless.modal());
    EXPECT_EQ(CDialogBase::FromHwnd(dialog), &modeless);
    EXPECT_EQ(SendMessageW(dialog, kSum, 40, 2), 42) << "the result a handler sets is the message's answer";
    EXPECT_EQ(SendMessageW(dialog, kThrow, 0, 0), 0);
    EXPECT_TRUE(IsWindow(dialog));
    modeless.End(7);
    EXPECT_FALSE(IsWindow(dialog)) << "ending a modeless dialog destroys it";
    EXPECT_EQ(modeless.hwnd(), nullptr);
    EXPECT_EQ(modeless.result(), 7);

    auto* owner = new TestDialog;
    owner->script = false;
    HWND left = owner->Create(Instance(), MAKEINTRESOURCEW(IDD_WINDOW_TEST), nullptr);
    ASSERT_NE(left, nullptr);
    delete owner;
    EXPECT_FALSE(IsWindow(left)) << "a deleted dialog object takes its window with it";
}

TEST(WindowToolkit, SubclassesForwardInOrderAndLeaveInAnyOrder)
{
    HWND edit =
        CreateWindowExW(0, L"EDIT", L"", WS_POPUP, 0, 0, 100, 20, nullptr, nullptr, Instance(), nullptr);
    ASSERT_NE(edit, nullptr);
    std::vector<int> order;
    Spy first(1, order), second(2, order);
    ASSERT_TRUE(first.Attach(edit));
    ASSERT_TRUE(second.Attach(edit));
    EXPECT_FALSE(first.Attach(edit)) << "one window per object";

    SetWindowTextW(edit, L"one");
    EXPECT_EQ(order, (std::vector<int>{2, 1})) << "the last in front sees it first and passes it on";
    EXPECT_EQ(Text(edit), L"one") << "the control's own procedure got it";
    EXPECT_EQ(SendMessageW(edit, kSum, 40, 2), 44) << "a handled message stops at its handler";
    EXPECT_EQ(SendMessageW(edit, kThrow, 0, 0), 0) << "an exception ends as the next procedure's answer";

    first.Detach(); // leaves from under the other one
    order.clear();
    SetWindowTextW(edit, L"two");
    EXPECT_EQ(order, (std::vector<int>{2}));
    EXPECT_EQ(Text(edit), L"two");
    EXPECT_EQ(first.hwnd(), nullptr);

    DestroyWindow(edit);
    EXPECT_EQ(second.hwnd(), nullptr) << "detached when the window is destroyed";
    EXPECT_TRUE(first.Attach(
        CreateWindowExW(0, L"EDIT", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, Instance(), nullptr)))
        << "a detached object can stand in front of another window";
    HWND other = first.hwnd();
    first.Detach();
    DestroyWindow(other);
}
