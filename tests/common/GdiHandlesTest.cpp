#include <gtest/gtest.h>
#include <windows.h>

#include "common/GdiHandles.h"

namespace
{
// A deleted GDI object has no type any more.
bool Alive(HGDIOBJ object)
{
    return GetObjectType(object) != 0;
}

HWND MakeWindow()
{
    return CreateWindowExW(0, L"STATIC", L"gdi", WS_POPUP, 0, 0, 120, 80, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}
} // namespace

TEST(GdiHandles, TypedOwnersDeleteTheirObjectOnce)
{
    HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(4, 5, 6));
    HBITMAP kept = CreateBitmap(4, 4, 1, 32, nullptr);
    ASSERT_TRUE(brush && pen && kept);
    {
        UniqueBrush b(brush);
        UniqueBrush moved(std::move(b));
        EXPECT_EQ(b.get(), nullptr);
        UniquePen p(pen);
        UniqueBitmap k(kept);
        EXPECT_EQ(k.release(), kept);
    }
    EXPECT_FALSE(Alive(brush));
    EXPECT_FALSE(Alive(pen));
    EXPECT_TRUE(Alive(kept)) << "a released object is the caller's";
    DeleteObject(kept);

    HDC memory = CreateCompatibleDC(nullptr);
    ASSERT_EQ(GetObjectType(memory), static_cast<DWORD>(OBJ_MEMDC));
    {
        UniqueMemoryDc dc(memory);
    }
    EXPECT_FALSE(Alive(memory)) << "a memory context is deleted with DeleteDC";
}

TEST(GdiHandles, StateGuardsRestoreWhatTheyChangedInReverseOrder)
{
    UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc);
    HGDIOBJ originalBitmap = GetCurrentObject(dc.get(), OBJ_BITMAP);
    HGDIOBJ originalFont = GetCurrentObject(dc.get(), OBJ_FONT);
    int originalMode = GetBkMode(dc.get());
    COLORREF originalColor = GetTextColor(dc.get());
    UniqueBitmap bitmap;
    {
        WindowDc screen(nullptr); // a bitmap the memory context can hold: the screen's format
        ASSERT_TRUE(screen);
        bitmap.reset(CreateCompatibleBitmap(screen.get(), 8, 8));
    }
    UniqueFont font(CreateFontW(-12, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 0, 0, L"MS Shell Dlg"));
    ASSERT_TRUE(bitmap && font);
    {
        SelectObjectGuard selectBitmap(dc.get(), bitmap.get());
        SelectObjectGuard selectFont(dc.get(), font.get());
        BkModeGuard mode(dc.get(), originalMode == TRANSPARENT ? OPAQUE : TRANSPARENT);
        TextColorGuard color(dc.get(), RGB(51, 51, 51));
        EXPECT_TRUE(selectBitmap.selected());
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), bitmap.get());
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), font.get());
        EXPECT_NE(GetBkMode(dc.get()), originalMode);
        EXPECT_EQ(GetTextColor(dc.get()), RGB(51, 51, 51));
        {
            SelectObjectGuard again(dc.get(), bitmap.get()); // nested on the same kind
        }
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), bitmap.get()) << "an inner guard restores its own";
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), originalBitmap);
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), originalFont);
    EXPECT_EQ(GetBkMode(dc.get()), originalMode);
    EXPECT_EQ(GetTextColor(dc.get()), originalColor);
    // Nothing of ours stays selected, so our objects can go before the context.
    HGDIOBJ raw = bitmap.get();
    bitmap.reset();
    EXPECT_FALSE(Alive(raw));

    SelectObjectGuard refused(dc.get(), reinterpret_cast<HGDIOBJ>(0x1234));
    EXPECT_FALSE(refused.selected()) << "a failed selection has nothing to put back";
}

TEST(GdiHandles, RegionGoesToTheWindowOnlyWhenTheWindowTakesIt)
{
    HWND window = MakeWindow();
    ASSERT_NE(window, nullptr);
    UniqueRegion region(CreateRectRgn(0, 0, 50, 40));
    ASSERT_TRUE(HandRegionToWindow(window, region));
    EXPECT_EQ(region.get(), nullptr) << "the window owns it now";
    UniqueRegion probe(CreateRectRgn(0, 0, 0, 0));
    ASSERT_EQ(GetWindowRgn(window, probe.get()), SIMPLEREGION);
    RECT box = {};
    GetRgnBox(probe.get(), &box);
    EXPECT_EQ(box.right, 50);
    EXPECT_EQ(box.bottom, 40);

    {
        WindowDc dc(window);
        ASSERT_TRUE(dc);
        EXPECT_EQ(WindowFromDC(dc.get()), window);
    }
    DestroyWindow(window);

    UniqueRegion refused(CreateRectRgn(0, 0, 10, 10));
    HRGN kept = refused.get();
    EXPECT_FALSE(HandRegionToWindow(window, refused)) << "a destroyed window takes nothing";
    EXPECT_EQ(refused.get(), kept);
    EXPECT_TRUE(Alive(kept));
    refused.reset();
    EXPECT_FALSE(Alive(kept));
}
