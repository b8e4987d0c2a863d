#pragma once
// An owner-drawn label: its text in its own colour over its own background brush, with
// margins; it sits in front of a "Static" control of style SS_OWNERDRAW and draws when
// its dialog reflects WM_DRAWITEM back to it.
#include <windows.h>

#include "common/GdiHandles.h"
#include "ui/Window.h"

class CAtlGdipStatic : public CSubclass
{
  public:
    // The text colour that keeps the device context's colour.
    static const COLORREF kKeepColor = static_cast<COLORREF>(-1);

    CAtlGdipStatic();

    void SetTextColor(COLORREF color) { m_textColor = color; }
    // A solid background of color (the label owns the brush).
    void SetBackgroundColor(COLORREF color) { m_background.reset(::CreateSolidBrush(color)); }
    // No background fill: the parent's pixels stay.
    void ClearBackground() { m_background.reset(); }
    void SetFlags(UINT flags) { m_flags = flags; }
    UINT flags() const { return m_flags; }
    void SetMargins(int left, int top, int right, int bottom) { m_margins = RECT{left, top, right, bottom}; }

    // Draws the label as the item asks (the reflected WM_DRAWITEM).
    void Draw(const DRAWITEMSTRUCT& item);

  protected:
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

  private:
    COLORREF m_textColor;
    UniqueBrush m_background;
    UniqueBrush m_secondBrush; // unused slot, owned like the first
    UINT m_flags = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    RECT m_margins = {};
};
