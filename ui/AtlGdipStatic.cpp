#include "ui/AtlGdipStatic.h"

#include "ui/AtlGdipDlg.h"

CAtlGdipStatic::CAtlGdipStatic()
    : m_textColor(::GetSysColor(COLOR_WINDOWTEXT)),
      m_background(::CreateSolidBrush(::GetSysColor(COLOR_BTNFACE)))
{
}

void CAtlGdipStatic::Draw(const DRAWITEMSTRUCT& item)
{
    wchar_t text[1000] = {};
    ::GetWindowTextW(hwnd(), text, 1000);
    HDC dc = item.hDC;
    COLORREF oldColor = CLR_INVALID;
    if (!::IsWindowEnabled(hwnd()))
        oldColor = ::SetTextColor(dc, ::GetSysColor(COLOR_INACTIVECAPTIONTEXT));
    else if (m_textColor != kKeepColor)
        oldColor = ::SetTextColor(dc, m_textColor);
    int oldMode = ::SetBkMode(dc, TRANSPARENT);
    RECT rect = item.rcItem;
    if (m_background)
        ::FillRect(dc, &rect, m_background.get());
    rect.left += m_margins.left;
    rect.top += m_margins.top;
    rect.right -= m_margins.right;
    rect.bottom -= m_margins.bottom;
    ::DrawTextW(dc, text, -1, &rect,
                m_flags | DT_WORDBREAK | DT_EXTERNALLEADING | DT_EDITCONTROL | DT_WORD_ELLIPSIS);
    if (oldMode)
        ::SetBkMode(dc, oldMode);
    if (oldColor != CLR_INVALID)
        ::SetTextColor(dc, oldColor);
}

LRESULT CAtlGdipStatic::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg)
    {
    case WM_ERASEBKGND:
        return 1;
    case OCM_BASE_OFFSET + WM_DRAWITEM:
        if (lParam)
            Draw(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    default:
        return CallNext(msg, wParam, lParam);
    }
}
