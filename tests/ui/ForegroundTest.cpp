// Bringing a window to the front.
#include <gtest/gtest.h>
#include <windows.h>

#include "ui/Foreground.h"

TEST(ForceForeground, BringsTheWindowForward)
{
    HWND a = CreateWindowW(L"STATIC", L"first", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                           nullptr, nullptr, nullptr);
    HWND b = CreateWindowW(L"STATIC", L"second", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 200, 100, nullptr,
                           nullptr, nullptr, nullptr);
    ASSERT_TRUE(a && b);
    SetForegroundWindow(b);
    ForceForeground(a);
    EXPECT_EQ(GetForegroundWindow(), a);
    ForceForeground(a); // already in front: nothing changes
    EXPECT_EQ(GetForegroundWindow(), a);
    ForceForeground(nullptr);
    DestroyWindow(b);
    DestroyWindow(a);
}
