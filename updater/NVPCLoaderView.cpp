// The loader control as an embedded object: its view (one rectangle over its bounds),
// the control interface a container talks to, its saved state and its property pages.
#include <olectl.h>

#include "updater/NVPCLoader.h"

// ---- IViewObjectEx, IViewObject2, IViewObject ----

HRESULT CNVPCLoader::Draw(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds, LPCRECTL,
                          WINBOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR)
{
    // The container says where: a windowed control is not drawn without bounds.
    if (!dc || !bounds)
        return E_INVALIDARG;
    return ComFirewall(
        [&] {
            PaintRectangle(dc, RECT{bounds->left, bounds->top, bounds->right, bounds->bottom});
        });
}

void CNVPCLoader::PaintRectangle(HDC dc, const RECT& rect)
{
    // The container's clipping comes back afterwards, whatever it was.
    HRGN old = ::CreateRectRgn(0, 0, 0, 0);
    int hadRegion = old ? ::GetClipRgn(dc, old) : -1;
    bool clipped = false;
    if (HRGN clip = old ? ::CreateRectRgn(rect.left, rect.top, rect.right, rect.bottom) : nullptr)
    {
        clipped = ::ExtSelectClipRgn(dc, clip, RGN_AND) != ERROR;
        ::DeleteObject(clip);
    }
    ::Rectangle(dc, rect.left, rect.top, rect.right, rect.bottom);
    if (clipped)
        ::SelectClipRgn(dc, hadRegion == 1 ? old : nullptr);
    if (old)
        ::DeleteObject(old);
}

HRESULT CNVPCLoader::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors)
{
    // Drawn with the caller's pen and brush: no palette of its own.
    if (colors)
        *colors = nullptr;
    return S_FALSE;
}

HRESULT CNVPCLoader::Freeze(DWORD, LONG, void*, DWORD*)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::Unfreeze(DWORD)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink)
{
    m_viewAspects = aspects;
    m_viewAdviseFlags = flags;
    m_viewSink.reset(sink);
    return S_OK;
}

HRESULT CNVPCLoader::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink)
{
    if (aspects)
        *aspects = m_viewAspects;
    if (flags)
        *flags = m_viewAdviseFlags;
    if (sink)
        m_viewSink.CopyTo(sink);
    return S_OK;
}

HRESULT CNVPCLoader::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size)
{
    if (!size)
        return E_POINTER;
    if (aspect != DVASPECT_CONTENT)
        return E_FAIL;
    *size = m_extent;
    return S_OK;
}

HRESULT CNVPCLoader::GetRect(DWORD, LPRECTL)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::GetViewStatus(DWORD* status)
{
    if (!status)
        return E_POINTER;
    // The rectangle covers the whole of the bounds.
    *status = VIEWSTATUS_SOLIDBKGND | VIEWSTATUS_OPAQUE;
    return S_OK;
}

HRESULT CNVPCLoader::QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT where, LONG, DWORD* result)
{
    if (!bounds || !result)
        return E_POINTER;
    if (aspect != DVASPECT_CONTENT)
        return E_FAIL;
    *result = ::PtInRect(bounds, where) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
    return S_OK;
}

HRESULT CNVPCLoader::QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT where, LONG, DWORD* result)
{
    if (!bounds || !where || !result)
        return E_POINTER;
    if (aspect != DVASPECT_CONTENT)
        return E_FAIL;
    RECT common;
    *result = ::IntersectRect(&common, bounds, where) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
    return S_OK;
}

HRESULT CNVPCLoader::GetNaturalExtent(DWORD, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*, LPSIZEL)
{
    return E_NOTIMPL;
}

// ---- IOleControl ----

HRESULT CNVPCLoader::GetControlInfo(CONTROLINFO*)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::OnMnemonic(MSG*)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::OnAmbientPropertyChange(DISPID)
{
    return S_OK;
}

HRESULT CNVPCLoader::FreezeEvents(WINBOOL freeze)
{
    // Counted only: a page's GetCurVer tells its sinks whatever the container froze.
    if (freeze)
        ++m_eventsFrozen;
    else if (m_eventsFrozen > 0)
        --m_eventsFrozen;
    return S_OK;
}

// ---- IPersistStreamInit, IPersist ----

HRESULT CNVPCLoader::GetClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = __uuidof(NVPCLoader);
    return S_OK;
}

HRESULT CNVPCLoader::IsDirty()
{
    return m_dirty ? S_OK : S_FALSE;
}

HRESULT CNVPCLoader::Load(LPSTREAM stream)
{
    if (!stream)
        return E_POINTER;
    return ComFirewall(
        [&]() -> HRESULT
        {
            // A saved state may come from a page: take it only when it is whole and sane.
            DWORD saved[3] = {};
            ULONG read = 0;
            HRESULT hr = stream->Read(saved, sizeof saved, &read);
            if (FAILED(hr))
                return hr;
            LONG cx = static_cast<LONG>(saved[1]), cy = static_cast<LONG>(saved[2]);
            if (read != sizeof saved || saved[0] != kStreamVersion || cx <= 0 || cy <= 0)
                return E_FAIL;
            m_extent.cx = cx;
            m_extent.cy = cy;
            m_dirty = false;
            return S_OK;
        });
}

HRESULT CNVPCLoader::Save(LPSTREAM stream, WINBOOL clearDirty)
{
    if (!stream)
        return E_POINTER;
    return ComFirewall(
        [&]() -> HRESULT
        {
            const DWORD saved[3] = {kStreamVersion, static_cast<DWORD>(m_extent.cx),
                                    static_cast<DWORD>(m_extent.cy)};
            ULONG written = 0;
            HRESULT hr = stream->Write(saved, sizeof saved, &written);
            if (FAILED(hr))
                return hr;
            if (written != sizeof saved)
                return STG_E_MEDIUMFULL;
            if (clearDirty)
                m_dirty = false;
            return S_OK;
        });
}

HRESULT CNVPCLoader::GetSizeMax(ULARGE_INTEGER* size)
{
    if (!size)
        return E_POINTER;
    size->QuadPart = 3 * sizeof(DWORD);
    return S_OK;
}

HRESULT CNVPCLoader::InitNew()
{
    m_extent.cx = m_extent.cy = kDefaultExtent;
    m_dirty = false;
    return S_OK;
}

// ---- ISpecifyPropertyPages ----

HRESULT CNVPCLoader::GetPages(CAUUID* pages)
{
    if (!pages)
        return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    return S_OK;
}
