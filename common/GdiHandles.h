#pragma once
// Owners and state guards for GDI drawing: typed objects (bitmap, font, brush, pen,
// region), the three ways of getting a device context, the object selected into one,
// its background mode and text colour, an image list, and handing a region to a window.
// Each guard undoes exactly what it did, in reverse order of construction.
#include <windows.h>
#include <commctrl.h>

#include "common/Handles.h"

template <typename T> struct GdiObjectTraitsOf
{
    typedef T Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DeleteObject(h); }
};
template <typename T> using UniqueGdi = UniqueHandleT<GdiObjectTraitsOf<T>>;
typedef UniqueGdi<HBITMAP> UniqueBitmap;
typedef UniqueGdi<HFONT> UniqueFont;
typedef UniqueGdi<HBRUSH> UniqueBrush;
typedef UniqueGdi<HPEN> UniquePen;
typedef UniqueGdi<HRGN> UniqueRegion;

// CreateCompatibleDC: deleted with DeleteDC.
struct MemoryDcTraits
{
    typedef HDC Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DeleteDC(h); }
};
typedef UniqueHandleT<MemoryDcTraits> UniqueMemoryDc;

struct ImageListTraits
{
    typedef HIMAGELIST Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::ImageList_Destroy(h); }
};
typedef UniqueHandleT<ImageListTraits> UniqueImageList;

// GetDC/ReleaseDC: the context belongs to the window (or the screen for null).
class WindowDc
{
  public:
    explicit WindowDc(HWND window) noexcept : m_window(window), m_dc(::GetDC(window)) {}
    ~WindowDc()
    {
        if (m_dc)
            ::ReleaseDC(m_window, m_dc);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const noexcept { return m_dc; }
    explicit operator bool() const noexcept { return m_dc != nullptr; }

  private:
    HWND m_window;
    HDC m_dc;
};

// BeginPaint/EndPaint, for WM_PAINT only.
class PaintDc
{
  public:
    explicit PaintDc(HWND window) noexcept : m_window(window) { m_dc = ::BeginPaint(window, &m_ps); }
    ~PaintDc()
    {
        if (m_dc)
            ::EndPaint(m_window, &m_ps);
    }
    PaintDc(const PaintDc&) = delete;
    PaintDc& operator=(const PaintDc&) = delete;
    HDC get() const noexcept { return m_dc; }
    explicit operator bool() const noexcept { return m_dc != nullptr; }
    const PAINTSTRUCT& paint() const noexcept { return m_ps; }

  private:
    HWND m_window;
    HDC m_dc;
    PAINTSTRUCT m_ps = {};
};

// Selects an object into a context and puts the previous one back: a context must not
// hold an object when the object is deleted, nor be deleted with ours selected.
class SelectObjectGuard
{
  public:
    SelectObjectGuard(HDC dc, HGDIOBJ object) noexcept : m_dc(dc), m_old(::SelectObject(dc, object)) {}
    ~SelectObjectGuard()
    {
        if (m_old && m_old != HGDI_ERROR)
            ::SelectObject(m_dc, m_old);
    }
    SelectObjectGuard(const SelectObjectGuard&) = delete;
    SelectObjectGuard& operator=(const SelectObjectGuard&) = delete;
    // False when the selection failed (nothing to put back).
    bool selected() const noexcept { return m_old && m_old != HGDI_ERROR; }

  private:
    HDC m_dc;
    HGDIOBJ m_old;
};

class BkModeGuard
{
  public:
    BkModeGuard(HDC dc, int mode) noexcept : m_dc(dc), m_old(::SetBkMode(dc, mode)) {}
    ~BkModeGuard()
    {
        if (m_old)
            ::SetBkMode(m_dc, m_old);
    }
    BkModeGuard(const BkModeGuard&) = delete;
    BkModeGuard& operator=(const BkModeGuard&) = delete;

  private:
    HDC m_dc;
    int m_old;
};

class TextColorGuard
{
  public:
    TextColorGuard(HDC dc, COLORREF color) noexcept : m_dc(dc), m_old(::SetTextColor(dc, color)) {}
    ~TextColorGuard()
    {
        if (m_old != CLR_INVALID)
            ::SetTextColor(m_dc, m_old);
    }
    TextColorGuard(const TextColorGuard&) = delete;
    TextColorGuard& operator=(const TextColorGuard&) = delete;

  private:
    HDC m_dc;
    COLORREF m_old;
};

// Gives the region to the window: after a successful SetWindowRgn the system owns it and
// deletes it when it is replaced; on failure it stays ours (and the owner deletes it).
inline bool HandRegionToWindow(HWND window, UniqueRegion& region, BOOL redraw = TRUE) noexcept
{
    if (!::SetWindowRgn(window, region.get(), redraw))
        return false;
    region.release();
    return true;
}
