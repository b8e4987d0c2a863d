#pragma once
// An owner-drawn push button painted from a strip of faces (normal, hot, pressed,
// disabled) with its text over them. It sits in front of a "Button" control of style
// BS_OWNERDRAW and draws when its dialog reflects WM_DRAWITEM back to it.
#include <windows.h>
#include <commctrl.h>

#include "common/GdiHandles.h"
#include "ui/Window.h"

class CAtlGdipButton : public CSubclass
{
  public:
    enum State
    {
        STATE_NORMAL = 0,
        STATE_HOT = 1,
        STATE_PRESSED = 2,
        STATE_DISABLED = 3,
    };

    // Cuts bitmap into count faces side by side (the bitmap stays the caller's) and
    // redraws at once; false when the bitmap cannot be read or the list not made.
    bool SetFaces(HBITMAP bitmap, int count);
    void SetTextColor(COLORREF color) { m_textColor = color; }
    void SetTextAlign(UINT flags) { m_textAlign = flags; }
    void SetMargins(int left, int top, int right, int bottom) { m_margins = RECT{left, top, right, bottom}; }
    bool hot() const { return m_hot; }

    // Draws the button as the item asks (the reflected WM_DRAWITEM).
    void Draw(const DRAWITEMSTRUCT& item);

  protected:
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

  private:
    void FreeImages();

    UniqueImageList m_images;
    int m_count = 0;
    int m_bitmapWidth = 0;
    int m_bitmapHeight = 0;
    UniqueBitmap m_offscreen;
    COLORREF m_textColor = RGB(0, 0, 0);
    UINT m_textAlign = DT_CENTER | DT_VCENTER;
    RECT m_margins = {};
    bool m_hot = false;
    bool m_tracking = false;
};
