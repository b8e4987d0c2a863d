#include "ui/AtlGdipButton.h"

#include "ui/AtlGdipDlg.h"

bool CAtlGdipButton::SetFaces(HBITMAP bitmap, int count)
{
    m_count = count;
    BITMAP bm = {};
    if (!bitmap || count <= 0 || ::GetObjectW(bitmap, sizeof(bm), &bm) == 0)
        return false;
    m_bitmapWidth = bm.bmWidth;
    m_bitmapHeight = bm.bmHeight;
    FreeImages();
    m_images.reset(::ImageList_Create(bm.bmWidth / count, bm.bmHeight, ILC_COLOR32, 0, 1));
    if (!m_images)
        return false;
    ::ImageList_Add(m_images.get(), bitmap, nullptr);
    if (hwnd())
        ::RedrawWindow(hwnd(), nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_UPDATENOW);
    return true;
}

void CAtlGdipButton::FreeImages()
{
    if (m_images)
        ::ImageList_RemoveAll(m_images.get());
    m_images.reset();
}

void CAtlGdipButton::Draw(const DRAWITEMSTRUCT& item)
{
    int state = STATE_NORMAL;
    if (item.itemState & ODS_DISABLED)
        state = STATE_DISABLED;
    else if (item.itemState & ODS_SELECTED)
        state = STATE_PRESSED;
    else if (m_hot)
        state = STATE_HOT;

    const RECT& rc = item.rcItem;
    int width = rc.right - rc.left, height = rc.bottom - rc.top;
    UniqueMemoryDc memory(::CreateCompatibleDC(item.hDC));
    if (!memory)
        return;
    UniqueBitmap temporary;
    HBITMAP canvas = m_offscreen.get();
    if (!canvas)
    {
        temporary.reset(::CreateCompatibleBitmap(item.hDC, width, height));
        canvas = temporary.get();
        if (!canvas)
            return;
    }
    {
        SelectObjectGuard canvasIn(memory.get(), canvas);
        HDC dc = memory.get();
        if (temporary)
        {
            RECT all = {0, 0, width, height};
            ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
        }
        // A list cut differently than expected would show the wrong face: draw none.
        if (m_images && m_count > 0 && ::ImageList_GetImageCount(m_images.get()) == m_count)
        {
            int cx = 0, cy = 0;
            ::ImageList_GetIconSize(m_images.get(), &cx, &cy);
            int index = m_count == 1 ? 0 : state;
            ::ImageList_DrawEx(m_images.get(), index, dc, rc.left + (width - cx) / 2,
                               rc.top + (height - cy) / 2, 0, 0, CLR_NONE, CLR_NONE, ILD_NORMAL);
        }
        wchar_t text[1000] = {};
        if (::GetWindowTextW(hwnd(), text, 1000) > 0)
        {
            HFONT font = reinterpret_cast<HFONT>(::SendMessageW(hwnd(), WM_GETFONT, 0, 0));
            SelectObjectGuard fontIn(dc,
                                     font ? static_cast<HGDIOBJ>(font) : ::GetCurrentObject(dc, OBJ_FONT));
            BkModeGuard transparent(dc, TRANSPARENT);
            TextColorGuard color(dc, state == STATE_DISABLED ? ::GetSysColor(COLOR_GRAYTEXT) : m_textColor);
            RECT textRect = {rc.left + m_margins.left, rc.top + m_margins.top, rc.right - m_margins.right,
                             rc.bottom - m_margins.bottom};
            ::DrawTextW(dc, text, -1, &textRect, m_textAlign | DT_WORDBREAK | DT_EDITCONTROL);
        }
        ::BitBlt(item.hDC, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    }
    if (::GetFocus() == hwnd())
    {
        RECT edge = rc;
        ::DrawEdge(item.hDC, &edge, BDR_SUNKENINNER, BF_RECT);
    }
}

LRESULT CAtlGdipButton::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg)
    {
    case WM_DESTROY:
        FreeImages();
        m_offscreen.reset();
        break;
    case WM_ERASEBKGND:
        return 1; // the owner-draw paints every pixel
    case WM_MOUSEMOVE:
        if (!m_tracking)
        {
            TRACKMOUSEEVENT tme = {};
            tme.cbSize = sizeof(tme);
            tme.dwFlags = TME_HOVER | TME_LEAVE;
            tme.hwndTrack = hwnd();
            tme.dwHoverTime = 10;
            m_tracking = ::TrackMouseEvent(&tme) != FALSE;
        }
        break;
    case WM_MOUSEHOVER:
        if (!m_hot)
        {
            m_hot = true;
            ::InvalidateRect(hwnd(), nullptr, TRUE);
        }
        break;
    case WM_MOUSELEAVE:
        m_tracking = false;
        m_hot = false;
        ::InvalidateRect(hwnd(), nullptr, TRUE);
        break;
    case OCM_BASE_OFFSET + WM_DRAWITEM:
        if (lParam)
            Draw(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    default:
        break;
    }
    return CallNext(msg, wParam, lParam);
}
