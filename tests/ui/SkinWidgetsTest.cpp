// The skin set and the skinned widgets on real windows: what they load, log and release,
// which pixels of the skin they paint where, and which messages they send on.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "ui/AtlGdipButton.h"
#include "ui/AtlGdipDlg.h"
#include "ui/AtlGdipStatic.h"
#include "ui/SkinSet.h"
#include "ui/resource.h"

namespace
{
HINSTANCE Module()
{
    return GetModuleHandleW(nullptr);
}

std::wstring Format(const wchar_t* format, unsigned value, int id)
{
    wchar_t buf[128];
    swprintf(buf, 128, format, value, id);
    return buf;
}

unsigned Low32(const void* handle)
{
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(handle));
}

// The pixels of a bitmap (not selected anywhere) as 0x00RRGGBB, top row first.
struct Pixels
{
    int width = 0, height = 0;
    std::vector<uint32_t> data;
    Pixels(HBITMAP bitmap, int w, int h) : width(w), height(h), data(static_cast<size_t>(w) * h)
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = w;
        info.bmiHeader.biHeight = -h;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        HDC dc = GetDC(nullptr);
        EXPECT_EQ(GetDIBits(dc, bitmap, 0, h, data.data(), &info, DIB_RGB_COLORS), h);
        ReleaseDC(nullptr, dc);
        for (auto& p : data)
            p &= 0xFFFFFF;
    }
    uint32_t at(int x, int y) const { return data[static_cast<size_t>(y) * width + x]; }
    bool has(COLORREF color) const
    {
        uint32_t want = (GetRValue(color) << 16) | (GetGValue(color) << 8) | GetBValue(color);
        for (uint32_t p : data)
            if (p == want)
                return true;
        return false;
    }
};

// Counts the pixels of a w x h block of got at (gx, gy) that differ from skin at (sx, sy).
int BlockDiff(const Pixels& got, int gx, int gy, const Pixels& skin, int sx, int sy, int w, int h)
{
    int diff = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            diff += got.at(gx + x, gy + y) != skin.at(sx + x, sy + y);
    return diff;
}

// An off-screen canvas of the screen's format, filled with one colour.
struct Canvas
{
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old;
    int width, height;
    Canvas(int w, int h, COLORREF fill) : width(w), height(h)
    {
        HDC screen = GetDC(nullptr);
        dc = CreateCompatibleDC(screen);
        bitmap = CreateCompatibleBitmap(screen, w, h);
        ReleaseDC(nullptr, screen);
        old = SelectObject(dc, bitmap);
        HBRUSH brush = CreateSolidBrush(fill);
        RECT all = {0, 0, w, h};
        FillRect(dc, &all, brush);
        DeleteObject(brush);
    }
    Pixels Read()
    {
        SelectObject(dc, old);
        Pixels p(bitmap, width, height);
        old = SelectObject(dc, bitmap);
        return p;
    }
    ~Canvas()
    {
        SelectObject(dc, old);
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
};

// Loads the skin for the widget tests and makes a dialog from template 111.
class SkinDialog : public ::testing::Test
{
  protected:
    CAtlGdipDlg dialog;
    void SetUp() override
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
        LoadSkinSet(Module());
        ASSERT_NE(dialog.Create(Module(), MAKEINTRESOURCEW(IDD_SKIN_DIALOG), nullptr), nullptr);
    }
    void TearDown() override
    {
        if (dialog.hwnd())
            DestroyWindow(dialog.hwnd());
        ReleaseSkinSet();
    }
    HWND Child(const wchar_t* cls, DWORD style, int id, const wchar_t* text, int w, int h)
    {
        return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 10, 40, w, h, dialog.hwnd(),
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Module(), nullptr);
    }
    // Asks the dialog to have child drawn into canvas, as the control itself would.
    LRESULT DrawThrough(HWND child, int id, UINT state, Canvas& canvas)
    {
        DRAWITEMSTRUCT item = {};
        item.CtlType = ODT_BUTTON;
        item.CtlID = id;
        item.itemAction = ODA_DRAWENTIRE;
        item.itemState = state;
        item.hwndItem = child;
        item.hDC = canvas.dc;
        item.rcItem = RECT{0, 0, canvas.width, canvas.height};
        return SendMessageW(dialog.hwnd(), WM_DRAWITEM, id, reinterpret_cast<LPARAM>(&item));
    }
};

// Records what reaches a child and answers reflected messages with a marker.
class Recorder : public CSubclass
{
  public:
    std::vector<UINT> seen;

  protected:
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg >= OCM_BASE_OFFSET && msg < OCM_BASE_OFFSET + 0x400)
        {
            seen.push_back(msg);
            return 0x5A5A;
        }
        return CallNext(msg, wParam, lParam);
    }
};
} // namespace

TEST(SkinSet, LoadsLogsFindsAndReleasesEverything)
{
    LogCapture log;
    LoadSkinSet(Module());
    const SkinImage* background = FindSkinImage(IDB_SKIN_BACKGROUND);
    const SkinImage* buttons = FindSkinImage(IDB_SKIN_BUTTONS);
    ASSERT_TRUE(background && background->bitmap && buttons && buttons->bitmap);
    EXPECT_EQ(background->count, 1);
    EXPECT_EQ(buttons->count, 4);
    EXPECT_EQ(background->key, -1);
    EXPECT_EQ(buttons->key, -1);
    HBITMAP bitmaps[] = {background->bitmap, buttons->bitmap};

    // Fonts: made on first request, once.
    struct FontCase
    {
        int index, points, weight;
    } fonts[] = {{SKIN_FONT_NORMAL, 9, FW_NORMAL}, {SKIN_FONT_BOLD, 10, FW_BOLD}};
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    HFONT made[2] = {};
    for (const FontCase& c : fonts)
    {
        SCOPED_TRACE(c.index);
        made[c.index] = GetSkinFont(c.index).font;
        ASSERT_NE(made[c.index], nullptr);
        EXPECT_EQ(GetSkinFont(c.index).font, made[c.index]) << "made once";
        LOGFONTW lf = {};
        ASSERT_EQ(GetObjectW(made[c.index], sizeof(lf), &lf), static_cast<int>(sizeof(lf)));
        EXPECT_STREQ(lf.lfFaceName, L"MS Shell Dlg");
        EXPECT_EQ(lf.lfHeight, -MulDiv(c.points, dpi, 72));
        EXPECT_EQ(lf.lfWeight, c.weight);
        EXPECT_EQ(lf.lfQuality, CLEARTYPE_QUALITY);
        EXPECT_EQ(lf.lfItalic, 0);
    }
    ReleaseSkinSet();

    std::vector<LogLine> lines = log.Lines();
    std::vector<std::wstring> expected = {
        Format(L"hBitmap=%x resource_id=%d", Low32(bitmaps[0]), IDB_SKIN_BACKGROUND),
        Format(L"hBitmap=%x resource_id=%d", Low32(bitmaps[1]), IDB_SKIN_BUTTONS)};
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i)
    {
        EXPECT_EQ(lines[i].text, expected[i]);
        EXPECT_EQ(lines[i].level, 1);
    }
    EXPECT_EQ(FindSkinImage(IDB_SKIN_BACKGROUND), nullptr);
    for (HGDIOBJ object : {static_cast<HGDIOBJ>(bitmaps[0]), static_cast<HGDIOBJ>(bitmaps[1]),
                           static_cast<HGDIOBJ>(made[0]), static_cast<HGDIOBJ>(made[1])})
        EXPECT_EQ(GetObjectType(object), 0u) << "deleted";
    EXPECT_NE(GetSkinFont(SKIN_FONT_BOLD).font, nullptr) << "made anew after a release";
    ReleaseSkinSet();
}

TEST(SkinSet, MissingResourceLogsTheModuleAndStaysEmpty)
{
    const WORD kMissing = 299;
    SkinTableEntry table[] = {{1, -1, nullptr, kMissing, L""}, {4, -1, nullptr, IDB_SKIN_BUTTONS, L""}};
    LogCapture log;
    LoadSkinSet(Module(), table, 2);
    const SkinImage* missing = FindSkinImage(kMissing);
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->bitmap, nullptr);
    ASSERT_NE(FindSkinImage(IDB_SKIN_BUTTONS), nullptr);
    EXPECT_NE(FindSkinImage(IDB_SKIN_BUTTONS)->bitmap, nullptr) << "the next entry still loads";
    std::vector<std::wstring> texts = log.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], Format(L"hBitmap failed=%x resource_id=%d", Low32(Module()), kMissing));
    ReleaseSkinSet();
}

TEST(AnchoredRect, EachEdgeFromItsAnchor)
{
    const RECT parent = {10, 20, 410, 205};
    struct Case
    {
        int l, t, r, b;
        RECT offset, want;
    } cases[] = {
        {1, 2, 4, 2, {20, 85, 20, 105}, {30, 105, 390, 125}},
        {4, 8, 4, 8, {120, 40, 20, 10}, {290, 165, 390, 195}},
        {0, 0, 3, 16, {5, 6, 7, 8}, {5, 6, 7, 8}},
    };
    for (const Case& c : cases)
    {
        RECT got = AnchoredRect(c.l, c.t, c.r, c.b, parent, c.offset);
        EXPECT_TRUE(EqualRect(&got, &c.want))
            << got.left << "," << got.top << "," << got.right << "," << got.bottom;
    }
}

TEST_F(SkinDialog, NineSliceKeepsCornersAndTilesEdges)
{
    EXPECT_EQ(GetDlgItem(dialog.hwnd(), IDC_PROGRESS_FIRST) != nullptr, true);
    EXPECT_EQ(GetDlgItem(dialog.hwnd(), IDC_PROGRESS_SECOND) != nullptr, true);
    ASSERT_EQ(dialog.drawMode(), CAtlGdipDlg::DRAW_NINE);
    ASSERT_NE(dialog.background(), nullptr);
    SetWindowPos(dialog.hwnd(), nullptr, 0, 0, 600, 300, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client = {};
    GetClientRect(dialog.hwnd(), &client);
    ASSERT_EQ(client.right, 600);
    ASSERT_EQ(client.bottom, 300);
    Canvas canvas(600, 300, RGB(1, 2, 3));
    // The dialog's own erase, as the window would get it; no window text, so no caption.
    EXPECT_EQ(SendMessageW(dialog.hwnd(), WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc), 0), 1);
    Pixels got = canvas.Read();
    Pixels skin(dialog.background(), 400, 167);
    struct Block
    {
        const char* what;
        int gx, gy, sx, sy, w, h;
    } blocks[] = {
        {"top-left corner", 0, 0, 0, 0, 25, 34},
        {"bottom-right corner", 550, 246, 350, 113, 50, 54},
        {"top-right corner", 550, 0, 350, 0, 50, 34},
        {"bottom-left corner", 0, 246, 0, 113, 25, 54},
        {"top edge, first tile", 25, 0, 25, 0, 325, 34},
        {"top edge, cut second tile", 350, 0, 25, 0, 200, 34},
        {"left edge, second tile", 0, 113, 0, 34, 25, 79},
        {"left edge, cut third tile", 0, 192, 0, 34, 25, 54},
        {"centre, second column", 350, 34, 25, 34, 200, 79},
        {"bottom edge, cut second tile", 350, 246, 25, 113, 200, 54},
    };
    for (const Block& b : blocks)
        EXPECT_EQ(BlockDiff(got, b.gx, b.gy, skin, b.sx, b.sy, b.w, b.h), 0) << b.what;
}

TEST_F(SkinDialog, CornerEllipseRoundsTheWindowAtItsNextSize)
{
    struct Case
    {
        int ellipse;
        bool cornerCut;
    } cases[] = {{12, true}, {0, false}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.ellipse);
        dialog.SetCornerEllipse(c.ellipse, c.ellipse);
        SetWindowPos(dialog.hwnd(), nullptr, 0, 0, 400 + c.ellipse, 185,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        HRGN probe = CreateRectRgn(0, 0, 0, 0);
        int kind = GetWindowRgn(dialog.hwnd(), probe);
        if (c.cornerCut)
        {
            EXPECT_NE(kind, ERROR);
            EXPECT_FALSE(PtInRegion(probe, 0, 0)) << "the corner is cut";
            EXPECT_TRUE(PtInRegion(probe, 200, 90));
            EXPECT_TRUE(PtInRegion(probe, 400 + c.ellipse - 1, 90)) << "to the last column";
        }
        else
        {
            EXPECT_EQ(kind, ERROR) << "no region: the whole rectangle";
        }
        DeleteObject(probe);
    }
}

TEST_F(SkinDialog, OnlyTheTopBandStartsADrag)
{
    struct Case
    {
        short y;
        bool drags;
    } cases[] = {{0, true}, {32, true}, {33, false}, {120, false}, {-4, true}};
    MSG stale;
    while (PeekMessageW(&stale, dialog.hwnd(), WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE))
    {
    }
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.y);
        LPARAM pos = MAKELPARAM(40, static_cast<WORD>(c.y));
        SendMessageW(dialog.hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, pos);
        MSG msg = {};
        bool posted =
            PeekMessageW(&msg, dialog.hwnd(), WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE) != FALSE;
        EXPECT_EQ(posted, c.drags);
        if (posted)
        {
            EXPECT_EQ(msg.wParam, static_cast<WPARAM>(HTCAPTION));
            EXPECT_EQ(msg.lParam, pos);
        }
    }
}

TEST_F(SkinDialog, ChildNotificationsAreReflectedToTheChild)
{
    const int kId = 1200;
    HWND child = Child(L"Static", SS_OWNERDRAW, kId, L"", 50, 20);
    ASSERT_NE(child, nullptr);
    Recorder recorder;
    ASSERT_TRUE(recorder.Attach(child));
    DRAWITEMSTRUCT item = {};
    item.hwndItem = child;
    struct Case
    {
        const char* what;
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
        bool reflected;
    } cases[] = {
        {"draw item", WM_DRAWITEM, kId, reinterpret_cast<LPARAM>(&item), true},
        {"draw item of a menu", WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&item), false},
        {"colour of a static", WM_CTLCOLORSTATIC, 0, reinterpret_cast<LPARAM>(child), true},
        {"command from a control", WM_COMMAND, MAKEWPARAM(kId, STN_CLICKED), reinterpret_cast<LPARAM>(child),
         true},
        {"command from a menu", WM_COMMAND, 7, 0, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        recorder.seen.clear();
        LRESULT result = SendMessageW(dialog.hwnd(), c.msg, c.wParam, c.lParam);
        if (c.reflected)
        {
            ASSERT_EQ(recorder.seen.size(), 1u);
            EXPECT_EQ(recorder.seen[0], OCM_BASE_OFFSET + c.msg);
            EXPECT_EQ(result, 0x5A5A) << "the child's answer";
        }
        else
        {
            EXPECT_TRUE(recorder.seen.empty());
        }
    }
    recorder.Detach();
}

TEST_F(SkinDialog, ButtonDrawsTheFaceOfItsState)
{
    const int kId = 1201;
    HWND button = Child(L"Button", BS_OWNERDRAW, kId, L"", 94, 26);
    ASSERT_NE(button, nullptr);
    CAtlGdipButton skinned;
    ASSERT_TRUE(skinned.Attach(button));
    const SkinImage* faces = FindSkinImage(IDB_SKIN_BUTTONS);
    ASSERT_TRUE(faces && faces->bitmap);
    ASSERT_TRUE(skinned.SetFaces(faces->bitmap, faces->count));
    Pixels strip(faces->bitmap, 376, 26);
    SetFocus(nullptr);
    struct Case
    {
        const char* what;
        UINT state;
        bool hovered;
        int face;
    } cases[] = {
        {"normal", 0, false, 0},
        {"hovered", 0, true, 1},
        {"pressed", ODS_SELECTED, true, 2},
        {"disabled", ODS_DISABLED | ODS_SELECTED, true, 3},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        SendMessageW(button, c.hovered ? WM_MOUSEHOVER : WM_MOUSELEAVE, 0, 0);
        EXPECT_EQ(skinned.hot(), c.hovered);
        Canvas canvas(94, 26, RGB(1, 2, 3));
        DrawThrough(button, kId, c.state, canvas);
        EXPECT_EQ(BlockDiff(canvas.Read(), 0, 0, strip, c.face * 94, 0, 94, 26), 0);
    }

    // 376 / 21 = 17 wide cuts the strip into 22 images, not 21: no face, the white canvas.
    ASSERT_TRUE(skinned.SetFaces(faces->bitmap, 21));
    Canvas canvas(94, 26, RGB(1, 2, 3));
    DrawThrough(button, kId, 0, canvas);
    Pixels got = canvas.Read();
    for (uint32_t p : got.data)
        ASSERT_EQ(p, 0xFFFFFFu);
    skinned.Detach();
}

TEST_F(SkinDialog, DisabledButtonTextIsGrey)
{
    const int kId = 1202;
    HWND button = Child(L"Button", BS_OWNERDRAW, kId, L"WWWW", 94, 26);
    ASSERT_NE(button, nullptr);
    CAtlGdipButton skinned;
    ASSERT_TRUE(skinned.Attach(button));
    skinned.SetTextColor(RGB(255, 0, 0));
    SetFocus(nullptr);
    struct Case
    {
        UINT state;
        COLORREF want, absent;
    } cases[] = {{0, RGB(255, 0, 0), GetSysColor(COLOR_GRAYTEXT)},
                 {ODS_DISABLED, GetSysColor(COLOR_GRAYTEXT), RGB(255, 0, 0)}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.state);
        Canvas canvas(94, 26, RGB(1, 2, 3));
        DrawThrough(button, kId, c.state, canvas);
        Pixels got = canvas.Read();
        EXPECT_TRUE(got.has(c.want));
        EXPECT_FALSE(got.has(c.absent));
        EXPECT_EQ(got.at(0, 0), 0xFFFFFFu) << "no faces: the white canvas";
    }
    skinned.Detach();
}

TEST_F(SkinDialog, LabelDrawsItsTextInItsColour)
{
    const int kId = 1203;
    HWND label = Child(L"Static", SS_OWNERDRAW, kId, L"WWWW", 80, 20);
    ASSERT_NE(label, nullptr);
    CAtlGdipStatic skinned;
    ASSERT_TRUE(skinned.Attach(label));
    EXPECT_EQ(skinned.flags(), static_cast<UINT>(DT_CENTER | DT_VCENTER | DT_SINGLELINE));
    const COLORREF kBack = RGB(0, 0, 200), kText = RGB(255, 0, 0), kDcColour = RGB(0, 160, 0);
    skinned.SetBackgroundColor(kBack);
    EXPECT_EQ(SendMessageW(label, WM_ERASEBKGND, 0, 0), 1);
    struct Case
    {
        const char* what;
        COLORREF colour;
        bool enabled;
        COLORREF want;
    } cases[] = {
        {"its colour", kText, true, kText},
        {"the context's colour", CAtlGdipStatic::kKeepColor, true, kDcColour},
        {"disabled", kText, false, GetSysColor(COLOR_INACTIVECAPTIONTEXT)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        skinned.SetTextColor(c.colour);
        EnableWindow(label, c.enabled);
        Canvas canvas(80, 20, RGB(1, 2, 3));
        SetTextColor(canvas.dc, kDcColour);
        SetBkMode(canvas.dc, OPAQUE);
        DrawThrough(label, kId, c.enabled ? 0 : ODS_DISABLED, canvas);
        EXPECT_EQ(GetTextColor(canvas.dc), kDcColour) << "colour put back";
        EXPECT_EQ(GetBkMode(canvas.dc), OPAQUE) << "mode put back";
        Pixels got = canvas.Read();
        EXPECT_EQ(got.at(0, 0), 0x0000C8u) << "background brush";
        EXPECT_TRUE(got.has(c.want));
        if (c.want != kText)
        {
            EXPECT_FALSE(got.has(kText));
        }
    }
    skinned.Detach();
}
