#include "ui/AtlGdipDlg.h"

#include <algorithm>

#include "common/GdiHandles.h"
#include "ui/Foreground.h"
#include "ui/SkinSet.h"
#include "ui/resource.h"

namespace
{
// WM_CTLCOLORMSGBOX to WM_CTLCOLORSTATIC: seven numbers in a row.
bool IsCtlColorMessage(UINT msg)
{
    return msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC;
}

// Rows from the top of the skin's title band that drag the window.
const int kDragBandHeight = 33;

int AnchoredEdge(int anchor, int startFlag, int endFlag, int parentStart, int parentEnd, int offset)
{
    if (anchor == startFlag)
        return parentStart + offset;
    if (anchor == endFlag)
        return parentEnd - offset;
    return offset;
}

// Copies source (a piece of the bitmap in src) over the span [x0, x1) x [y0, y1) in
// tiles of the piece's size, cutting the last tile of each row and column.
void TilePiece(HDC dst, HDC src, const RECT& piece, int x0, int y0, int x1, int y1)
{
    int pw = piece.right - piece.left, ph = piece.bottom - piece.top;
    if (pw <= 0 || ph <= 0)
        return;
    for (int y = y0; y < y1; y += ph)
    {
        for (int x = x0; x < x1; x += pw)
            ::BitBlt(dst, x, y, std::min(pw, x1 - x), std::min(ph, y1 - y), src, piece.left, piece.top,
                     SRCCOPY);
    }
}
} // namespace

RECT AnchoredRect(int leftAnchor, int topAnchor, int rightAnchor, int bottomAnchor, const RECT& parent,
                  const RECT& offset)
{
    RECT r;
    r.left = AnchoredEdge(leftAnchor, ANCHOR_LEFT, ANCHOR_RIGHT, parent.left, parent.right, offset.left);
    r.top = AnchoredEdge(topAnchor, ANCHOR_TOP, ANCHOR_BOTTOM, parent.top, parent.bottom, offset.top);
    r.right = AnchoredEdge(rightAnchor, ANCHOR_LEFT, ANCHOR_RIGHT, parent.left, parent.right, offset.right);
    r.bottom =
        AnchoredEdge(bottomAnchor, ANCHOR_TOP, ANCHOR_BOTTOM, parent.top, parent.bottom, offset.bottom);
    return r;
}

const RECT CAtlGdipDlg::kSkinSourceRects[9] = {
    {0, 0, 25, 34},    {25, 0, 350, 34},    {350, 0, 400, 34},    //
    {0, 34, 25, 113},  {25, 34, 350, 113},  {350, 34, 400, 113},  //
    {0, 113, 25, 167}, {25, 113, 350, 167}, {350, 113, 400, 167}, //
};

CAtlGdipDlg::CAtlGdipDlg() : m_captionColor(::GetSysColor(COLOR_WINDOWTEXT)) {}

bool CAtlGdipDlg::SetBackground(HBITMAP bitmap, int key)
{
    m_background = bitmap;
    m_backgroundKey = key;
    BITMAP bm = {};
    if (!bitmap || ::GetObjectW(bitmap, sizeof(bm), &bm) == 0)
    {
        m_background = nullptr;
        m_bitmapWidth = m_bitmapHeight = 0;
        return false;
    }
    m_bitmapWidth = bm.bmWidth;
    m_bitmapHeight = bm.bmHeight;
    if (hwnd())
        ::InvalidateRect(hwnd(), nullptr, TRUE);
    return true;
}

void CAtlGdipDlg::SetSourceRects(const RECT (&rects)[9])
{
    std::copy(rects, rects + 9, m_source);
}

void CAtlGdipDlg::PaintBackground(HDC dc, int width, int height) const
{
    if (!m_background || width <= 0 || height <= 0)
        return;
    UniqueMemoryDc offscreen(::CreateCompatibleDC(dc));
    UniqueMemoryDc source(::CreateCompatibleDC(dc));
    UniqueBitmap canvas(::CreateCompatibleBitmap(dc, width, height));
    if (!offscreen || !source || !canvas)
        return;
    SelectObjectGuard canvasIn(offscreen.get(), canvas.get());
    SelectObjectGuard bitmapIn(source.get(), m_background);
    HDC dst = offscreen.get(), src = source.get();
    int bw = m_bitmapWidth, bh = m_bitmapHeight;
    switch (m_drawMode)
    {
    case DRAW_TILE:
        TilePiece(dst, src, RECT{0, 0, bw, bh}, 0, 0, width, height);
        break;
    case DRAW_CENTER:
        ::BitBlt(dst, (width - bw) / 2, (height - bh) / 2, bw, bh, src, 0, 0, SRCCOPY);
        break;
    case DRAW_STRETCH:
        ::StretchBlt(dst, 0, 0, width, height, src, 0, 0, bw, bh, SRCCOPY);
        break;
    case DRAW_NINE:
        PaintNine(dst, src, width, height);
        break;
    default: // 0, 4 and anything unknown
        ::BitBlt(dst, 0, 0, bw, bh, src, 0, 0, SRCCOPY);
        break;
    }
    ::BitBlt(dc, 0, 0, width, height, dst, 0, 0, SRCCOPY);
}

// src holds the background: a bitmap is selected into one context at a time.
void CAtlGdipDlg::PaintNine(HDC dc, HDC src, int width, int height) const
{
    const RECT* s = m_source;
    // The right column and the bottom row keep their distance from the far edges.
    int dx = width - m_bitmapWidth, dy = height - m_bitmapHeight;
    auto corner = [&](const RECT& r, int x, int y)
    { ::BitBlt(dc, x, y, r.right - r.left, r.bottom - r.top, src, r.left, r.top, SRCCOPY); };
    corner(s[0], s[0].left, s[0].top);
    corner(s[2], s[2].left + dx, s[2].top);
    corner(s[6], s[6].left, s[6].top + dy);
    corner(s[8], s[8].left + dx, s[8].top + dy);
    // Spans between the corners: the middle column ends where the right column begins.
    int midX0 = s[1].left, midX1 = s[2].left + dx;
    int midY0 = s[3].top, midY1 = s[6].top + dy;
    TilePiece(dc, src, s[1], midX0, s[1].top, midX1, s[1].bottom);
    TilePiece(dc, src, s[7], midX0, s[7].top + dy, midX1, s[7].bottom + dy);
    TilePiece(dc, src, s[3], s[3].left, midY0, s[3].right, midY1);
    TilePiece(dc, src, s[5], s[5].left + dx, midY0, s[5].right + dx, midY1);
    TilePiece(dc, src, s[4], midX0, midY0, midX1, midY1);
}

void CAtlGdipDlg::DrawCaption(HDC dc)
{
    wchar_t text[512] = {};
    if (::GetWindowTextW(hwnd(), text, 512) <= 0 || !text[0])
        return;
    int saved = ::SaveDC(dc);
    if (HFONT font = reinterpret_cast<HFONT>(::SendMessageW(hwnd(), WM_GETFONT, 0, 0)))
        ::SelectObject(dc, font);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, m_captionColor);
    RECT rect = m_captionRect;
    ::DrawTextW(dc, text, -1, &rect, m_captionAlign | DT_VCENTER | DT_SINGLELINE | DT_WORD_ELLIPSIS);
    if (saved)
        ::RestoreDC(dc, saved);
}

void CAtlGdipDlg::CenterOnOwnerOrMonitor()
{
    RECT self = {};
    if (!::GetWindowRect(hwnd(), &self))
        return;
    HWND owner = ::GetWindow(hwnd(), GW_OWNER);
    bool onOwner = owner && ::IsWindowVisible(owner) && !::IsIconic(owner);
    MONITORINFO mi = {};
    mi.cbSize = sizeof(mi);
    ::GetMonitorInfoW(::MonitorFromWindow(onOwner ? owner : hwnd(), MONITOR_DEFAULTTONEAREST), &mi);
    RECT area = mi.rcWork;
    RECT around = area;
    if (onOwner)
        ::GetWindowRect(owner, &around);
    int w = self.right - self.left, h = self.bottom - self.top;
    int x = around.left + ((around.right - around.left) - w) / 2;
    int y = around.top + ((around.bottom - around.top) - h) / 2;
    // Right and bottom first, so that a dialog larger than the area keeps its top-left.
    if (x + w > area.right)
        x = area.right - w;
    if (y + h > area.bottom)
        y = area.bottom - h;
    if (x < area.left)
        x = area.left;
    if (y < area.top)
        y = area.top;
    ::SetWindowPos(hwnd(), nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HWND CAtlGdipDlg::ReflectTarget(UINT msg, WPARAM wParam, LPARAM lParam) const
{
    switch (msg)
    {
    case WM_COMMAND:
        return reinterpret_cast<HWND>(lParam);
    case WM_NOTIFY:
        return lParam ? reinterpret_cast<const NMHDR*>(lParam)->hwndFrom : nullptr;
    case WM_PARENTNOTIFY:
        if (LOWORD(wParam) == WM_CREATE || LOWORD(wParam) == WM_DESTROY)
            return reinterpret_cast<HWND>(lParam);
        return ::GetDlgItem(hwnd(), HIWORD(wParam));
    case WM_DRAWITEM:
        return wParam && lParam ? reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)->hwndItem : nullptr;
    case WM_DELETEITEM:
        return wParam && lParam ? reinterpret_cast<const DELETEITEMSTRUCT*>(lParam)->hwndItem : nullptr;
    case WM_COMPAREITEM:
        return wParam && lParam ? reinterpret_cast<const COMPAREITEMSTRUCT*>(lParam)->hwndItem : nullptr;
    case WM_MEASUREITEM:
        return lParam ? ::GetDlgItem(hwnd(), reinterpret_cast<const MEASUREITEMSTRUCT*>(lParam)->CtlID)
                      : nullptr;
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_HSCROLL:
    case WM_VSCROLL:
        return reinterpret_cast<HWND>(lParam);
    default:
        // The seven WM_CTLCOLOR* messages name the control in lParam.
        return IsCtlColorMessage(msg) ? reinterpret_cast<HWND>(lParam) : nullptr;
    }
}

INT_PTR CAtlGdipDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg)
    {
    case WM_SIZE:
    {
        RECT client = {};
        ::GetClientRect(hwnd(), &client);
        if (m_cornerWidth || m_cornerHeight)
        {
            UniqueRegion region(::CreateRoundRectRgn(0, 0, client.right + 1, client.bottom + 1, m_cornerWidth,
                                                     m_cornerHeight));
            // The window deletes the region it replaces.
            if (region && HandRegionToWindow(hwnd(), region))
                m_hasRegion = true;
        }
        else if (m_hasRegion)
        {
            ::SetWindowRgn(hwnd(), nullptr, TRUE);
            m_hasRegion = false;
        }
        return FALSE;
    }
    case WM_ERASEBKGND:
    {
        HDC dc = reinterpret_cast<HDC>(wParam);
        RECT client = {};
        ::GetClientRect(hwnd(), &client);
        PaintBackground(dc, client.right, client.bottom);
        DrawCaption(dc);
        SetMsgResult(1);
        return TRUE;
    }
    case WM_INITDIALOG:
    {
        // Template 111 carries no initialisation data (no combo-box strings).
        if (const SkinImage* skin = FindSkinImage(IDB_SKIN_BACKGROUND))
            SetBackground(skin->bitmap, skin->key);
        m_drawMode = DRAW_NINE;
        SetSourceRects(kSkinSourceRects);
        CenterOnOwnerOrMonitor();
        ForceForeground(hwnd());
        ::BringWindowToTop(hwnd()); // also when it already was in front
        return TRUE;
    }
    case WM_LBUTTONDOWN:
    {
        short y = static_cast<short>(HIWORD(lParam));
        if (y < kDragBandHeight)
            ::PostMessageW(hwnd(), WM_NCLBUTTONDOWN, HTCAPTION, lParam);
        SetMsgResult(0);
        return TRUE;
    }
    case WM_DESTROY:
        return FALSE;
    default:
        break;
    }
    HWND child = ReflectTarget(msg, wParam, lParam);
    if (!child || !::IsWindow(child))
        return CDialogBase::OnMessage(msg, wParam, lParam);
    LRESULT result = ::SendMessageW(child, OCM_BASE_OFFSET + msg, wParam, lParam);
    // A dialog procedure answers these with its return value itself.
    if (IsCtlColorMessage(msg))
        return static_cast<INT_PTR>(result);
    switch (msg)
    {
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
        return static_cast<INT_PTR>(result);
    default:
        SetMsgResult(result);
        return TRUE;
    }
}
