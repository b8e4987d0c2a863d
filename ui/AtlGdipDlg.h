#pragma once
// The base of the workflow dialogs: a borderless window painted from a skin bitmap, with
// its caption text drawn over the skin's title band, dragged by that band, optionally
// rounded, and reflecting the notifications of its children back to them (message number
// + 0x2000) so that owner-drawn controls draw themselves.
#include <windows.h>

#include "ui/Window.h"
#include "ui/resource.h" // IDD_SKIN_DIALOG, the template the workflow dialogs are made from

// Added to a parent's notification when it is sent back to the child it concerns.
const UINT OCM_BASE_OFFSET = 0x2000;

// Each edge of a placed rectangle: anchored to the parent's start (left 1, top 2), to its
// end (right 4, bottom 8), or taken as an absolute coordinate (anything else).
enum AnchorFlags
{
    ANCHOR_LEFT = 1,
    ANCHOR_TOP = 2,
    ANCHOR_RIGHT = 4,
    ANCHOR_BOTTOM = 8,
};
RECT AnchoredRect(int leftAnchor, int topAnchor, int rightAnchor, int bottomAnchor, const RECT& parent,
                  const RECT& offset);

class CAtlGdipDlg : public CDialogBase
{
  public:
    enum DrawMode
    {
        DRAW_PLAIN = 0,   // unscaled at (0, 0)
        DRAW_TILE = 1,    // tiled from the top-left
        DRAW_CENTER = 2,  // centred
        DRAW_STRETCH = 3, // stretched to the client area
        DRAW_PLAIN2 = 4,  // as 0
        DRAW_NINE = 5,    // nine pieces: corners fixed, edges and centre tiled
    };

    CAtlGdipDlg();

    // Borrows bitmap (the skin set keeps it); false, and no background, when its size
    // cannot be read.
    bool SetBackground(HBITMAP bitmap, int key);
    HBITMAP background() const { return m_background; }
    void SetDrawMode(int mode) { m_drawMode = mode; }
    int drawMode() const { return m_drawMode; }
    // Three rows of three source rectangles of the background, top row first.
    void SetSourceRects(const RECT (&rects)[9]);
    void SetCaptionRect(const RECT& rect) { m_captionRect = rect; }
    void SetCaptionColor(COLORREF color) { m_captionColor = color; }
    void SetCaptionAlign(UINT flags) { m_captionAlign = flags; }
    // A non-zero width or height rounds the window's corners at its next WM_SIZE.
    void SetCornerEllipse(int width, int height)
    {
        m_cornerWidth = width;
        m_cornerHeight = height;
    }

    // Paints the background into dc for a client area of width x height (off-screen,
    // then one copy). Nothing without a background bitmap.
    void PaintBackground(HDC dc, int width, int height) const;

    // The nine pieces of skin bitmap 205.
    static const RECT kSkinSourceRects[9];

  protected:
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

  private:
    void PaintNine(HDC dc, HDC src, int width, int height) const;
    void DrawCaption(HDC dc);
    void CenterOnOwnerOrMonitor();
    // The child a parent notification concerns, or null.
    HWND ReflectTarget(UINT msg, WPARAM wParam, LPARAM lParam) const;

    HBITMAP m_background = nullptr;
    int m_backgroundKey = 0;
    int m_bitmapWidth = 0;
    int m_bitmapHeight = 0;
    int m_drawMode = DRAW_PLAIN;
    RECT m_source[9] = {};
    RECT m_captionRect = {0, 0, 100, 30};
    COLORREF m_captionColor;
    UINT m_captionAlign = DT_CENTER;
    int m_cornerWidth = 0;
    int m_cornerHeight = 0;
    bool m_hasRegion = false; // the window owns the region once it was handed over
};
