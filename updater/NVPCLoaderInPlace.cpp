// The loader control in a container: its client site, in-place activation as a child
// window of the site's window, the active-object calls, and the OLE object's bookkeeping
// (extent, advise holder, verbs and user type from the registration).
#include <olectl.h>

#include <cstddef>

#include "common/Module.h"
#include "updater/NVPCLoader.h"

namespace
{
const wchar_t kWindowClass[] = L"NVPCLoaderWindow";

bool RegisterWindowClass(WNDPROC proc)
{
    static bool registered = false;
    if (registered)
        return true;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.hInstance = ThisModule();
    wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    wc.lpszClassName = kWindowClass;
    registered = ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return registered;
}
} // namespace

// ---- The control's window ----

LRESULT CALLBACK CNVPCLoader::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        ::SetWindowLongPtrW(
            window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<CNVPCLoader*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    try
    {
        switch (message)
        {
        case WM_PAINT:
        {
            PAINTSTRUCT ps;
            if (HDC dc = ::BeginPaint(window, &ps))
            {
                RECT client;
                ::GetClientRect(window, &client);
                PaintRectangle(dc, client);
                ::EndPaint(window, &ps);
            }
            return 0;
        }
        case WM_NCDESTROY:
            if (self && self->m_window == window)
                self->m_window = nullptr;
            ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            break;
        default:
            break;
        }
    }
    catch (...)
    {
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

HWND CNVPCLoader::OwnerWindow() const
{
    if (m_window)
        return m_window;
    HWND siteWindow = nullptr;
    ComPtr<IOleWindow> site;
    if (m_clientSite && SUCCEEDED(m_clientSite.As(site)) && SUCCEEDED(site->GetWindow(&siteWindow)))
        return siteWindow;
    return nullptr;
}

HRESULT CNVPCLoader::InPlaceActivate(bool uiActivate, LPCRECT position)
{
    if (!m_clientSite)
        return S_OK; // nothing to be active in
    if (!m_inPlaceSite)
    {
        ComPtr<IOleInPlaceSite> site;
        if (FAILED(m_clientSite.As(site)))
            return E_FAIL;
        if (site->CanInPlaceActivate() != S_OK)
            return E_FAIL;
        ThrowIfFailed(site->OnInPlaceActivate());
        m_inPlaceSite = site;
    }
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    RECT pos = {}, clip = {};
    OLEINPLACEFRAMEINFO frameInfo = {sizeof frameInfo, FALSE, nullptr, nullptr, 0};
    HRESULT hr = m_inPlaceSite->GetWindowContext(frame.put(), document.put(), &pos, &clip, &frameInfo);
    if (FAILED(hr))
        return hr;
    if (position)
        pos = *position;
    if (!m_window)
    {
        HWND parent = nullptr;
        ThrowIfFailed(m_inPlaceSite->GetWindow(&parent));
        if (!RegisterWindowClass(&CNVPCLoader::WindowProc))
            return HRESULT_FROM_WIN32(::GetLastError());
        m_window = ::CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                                     pos.left, pos.top, pos.right - pos.left, pos.bottom - pos.top, parent,
                                     nullptr, ThisModule(), this);
        if (!m_window)
            return E_FAIL;
        if (m_productIcon)
            ::SendMessageW(m_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_productIcon.get()));
    }
    SetObjectRects(&pos, &clip);
    ::ShowWindow(m_window, SW_SHOW);
    if (uiActivate && !m_uiActive)
    {
        m_uiActive = true;
        m_inPlaceSite->OnUIActivate();
        m_frame = frame;
        m_document = document;
        if (m_frame)
        {
            m_frame->SetActiveObject(this, nullptr);
            m_frame->SetBorderSpace(nullptr);
        }
        if (m_document)
        {
            m_document->SetActiveObject(this, nullptr);
            m_document->SetBorderSpace(nullptr);
        }
        ::SetFocus(m_window);
    }
    return S_OK;
}

// ---- IOleWindow, IOleInPlaceObject[Windowless], IOleInPlaceActiveObject ----

HRESULT CNVPCLoader::GetWindow(HWND* window)
{
    if (!window)
        return E_POINTER;
    *window = m_window;
    return m_window ? S_OK : E_FAIL;
}

HRESULT CNVPCLoader::ContextSensitiveHelp(WINBOOL)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::InPlaceDeactivate()
{
    return ComFirewall(
        [&]
        {
            if (!m_inPlaceSite)
                return;
            UIDeactivate();
            if (m_window)
                ::DestroyWindow(m_window); // WM_NCDESTROY forgets it
            m_window = nullptr;
            // Released after the member is cleared: the site may call back while it goes.
            ComPtr<IOleInPlaceSite> site = std::move(m_inPlaceSite);
            site->OnInPlaceDeactivate();
        });
}

HRESULT CNVPCLoader::UIDeactivate()
{
    if (!m_uiActive)
        return S_OK;
    m_uiActive = false;
    ComPtr<IOleInPlaceFrame> frame = std::move(m_frame);
    ComPtr<IOleInPlaceUIWindow> document = std::move(m_document);
    if (document)
        document->SetActiveObject(nullptr, nullptr);
    if (frame)
        frame->SetActiveObject(nullptr, nullptr);
    if (m_inPlaceSite)
        m_inPlaceSite->OnUIDeactivate(FALSE);
    return S_OK;
}

HRESULT CNVPCLoader::SetObjectRects(LPCRECT position, LPCRECT clip)
{
    if (!position)
        return E_POINTER;
    if (!m_window)
        return S_OK;
    ::MoveWindow(m_window, position->left, position->top, position->right - position->left,
                 position->bottom - position->top, TRUE);
    // The part outside the clip rectangle stays hidden, in the window's own coordinates.
    RECT visible;
    if (clip && ::IntersectRect(&visible, position, clip) && !::EqualRect(&visible, position))
    {
        ::OffsetRect(&visible, -position->left, -position->top);
        if (HRGN region = ::CreateRectRgnIndirect(&visible))
            if (!::SetWindowRgn(m_window, region, TRUE))
                ::DeleteObject(region);
    }
    else
        ::SetWindowRgn(m_window, nullptr, TRUE);
    return S_OK;
}

HRESULT CNVPCLoader::ReactivateAndUndo()
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT*)
{
    return S_FALSE; // a windowed control gets its messages through its window
}

HRESULT CNVPCLoader::GetDropTarget(IDropTarget** target)
{
    if (target)
        *target = nullptr;
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::TranslateAccelerator(LPMSG)
{
    return S_FALSE;
}

HRESULT CNVPCLoader::OnFrameWindowActivate(WINBOOL)
{
    return S_OK;
}

HRESULT CNVPCLoader::OnDocWindowActivate(WINBOOL)
{
    return S_OK;
}

HRESULT CNVPCLoader::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, WINBOOL)
{
    return S_OK;
}

HRESULT CNVPCLoader::EnableModeless(WINBOOL)
{
    return S_OK;
}

// ---- IOleObject ----

HRESULT CNVPCLoader::SetClientSite(IOleClientSite* site)
{
    m_clientSite.reset(site);
    return S_OK;
}

HRESULT CNVPCLoader::GetClientSite(IOleClientSite** site)
{
    return m_clientSite.CopyTo(site);
}

HRESULT CNVPCLoader::SetHostNames(LPCOLESTR, LPCOLESTR)
{
    return S_OK;
}

HRESULT CNVPCLoader::Close(DWORD saveOption)
{
    return ComFirewall(
        [&]
        {
            InPlaceDeactivate();
            if (m_dirty && m_clientSite &&
                (saveOption == OLECLOSE_SAVEIFDIRTY || saveOption == OLECLOSE_PROMPTSAVE))
            {
                m_clientSite->SaveObject();
                if (m_adviseHolder)
                    m_adviseHolder->SendOnSave();
            }
            if (m_adviseHolder)
                m_adviseHolder->SendOnClose();
        });
}

HRESULT CNVPCLoader::SetMoniker(DWORD, IMoniker*)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::GetMoniker(DWORD, DWORD, IMoniker** moniker)
{
    if (moniker)
        *moniker = nullptr;
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::InitFromData(IDataObject*, WINBOOL, DWORD)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::GetClipboardData(DWORD, IDataObject** data)
{
    if (data)
        *data = nullptr;
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::DoVerb(LONG verb, LPMSG, IOleClientSite* activeSite, LONG, HWND, LPCRECT position)
{
    return ComFirewall(
        [&]() -> HRESULT
        {
            if (activeSite && !m_clientSite)
                m_clientSite.reset(activeSite);
            switch (verb)
            {
            case OLEIVERB_PRIMARY:
            case OLEIVERB_SHOW:
            case OLEIVERB_INPLACEACTIVATE:
                return InPlaceActivate(false, position);
            case OLEIVERB_UIACTIVATE:
                return InPlaceActivate(true, position);
            case OLEIVERB_HIDE:
                UIDeactivate();
                if (m_window)
                    ::ShowWindow(m_window, SW_HIDE);
                return S_OK;
            case OLEIVERB_OPEN:
            case OLEIVERB_DISCARDUNDOSTATE:
                return S_OK;
            default:
                return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
            }
        });
}

HRESULT CNVPCLoader::EnumVerbs(IEnumOLEVERB** verbs)
{
    return ::OleRegEnumVerbs(__uuidof(NVPCLoader), verbs);
}

HRESULT CNVPCLoader::Update()
{
    return S_OK;
}

HRESULT CNVPCLoader::IsUpToDate()
{
    return S_OK;
}

HRESULT CNVPCLoader::GetUserClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = __uuidof(NVPCLoader);
    return S_OK;
}

HRESULT CNVPCLoader::GetUserType(DWORD form, LPOLESTR* type)
{
    return ::OleRegGetUserType(__uuidof(NVPCLoader), form, type);
}

HRESULT CNVPCLoader::SetExtent(DWORD aspect, SIZEL* size)
{
    if (!size)
        return E_POINTER;
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (size->cx <= 0 || size->cy <= 0)
        return E_INVALIDARG;
    if (size->cx != m_extent.cx || size->cy != m_extent.cy)
    {
        m_extent = *size;
        m_dirty = true;
        if (m_viewSink && (m_viewAspects & DVASPECT_CONTENT))
            m_viewSink->OnViewChange(DVASPECT_CONTENT, -1);
    }
    return S_OK;
}

HRESULT CNVPCLoader::GetExtent(DWORD aspect, SIZEL* size)
{
    if (!size)
        return E_POINTER;
    if (aspect != DVASPECT_CONTENT)
        return E_FAIL;
    *size = m_extent;
    return S_OK;
}

HRESULT CNVPCLoader::Advise(IAdviseSink* sink, DWORD* connection)
{
    return ComFirewall(
        [&]() -> HRESULT
        {
            if (!m_adviseHolder)
                ThrowIfFailed(::CreateOleAdviseHolder(m_adviseHolder.put()));
            return m_adviseHolder->Advise(sink, connection);
        });
}

HRESULT CNVPCLoader::Unadvise(DWORD connection)
{
    return m_adviseHolder ? m_adviseHolder->Unadvise(connection) : OLE_E_NOCONNECTION;
}

HRESULT CNVPCLoader::EnumAdvise(IEnumSTATDATA** advises)
{
    if (!advises)
        return E_POINTER;
    *advises = nullptr;
    return m_adviseHolder ? m_adviseHolder->EnumAdvise(advises) : E_FAIL;
}

HRESULT CNVPCLoader::GetMiscStatus(DWORD aspect, DWORD* status)
{
    if (!status)
        return E_POINTER;
    // What the class is registered with, without a trip to the registry.
    *status = aspect == DVASPECT_CONTENT ? kOleMisc : 0;
    return S_OK;
}

HRESULT CNVPCLoader::SetColorScheme(LOGPALETTE*)
{
    return E_NOTIMPL;
}

// ---- IQuickActivate ----

HRESULT CNVPCLoader::QuickActivate(QACONTAINER* container, QACONTROL* control)
{
    if (!container || !control)
        return E_POINTER;
    // Older containers pass shorter structures; the fields used here must be there.
    if (container->cbSize < offsetof(QACONTAINER, dwAmbientFlags) ||
        control->cbSize < offsetof(QACONTROL, dwPointerActivationPolicy))
        return E_INVALIDARG;
    return ComFirewall(
        [&]
        {
            SetClientSite(container->pClientSite);
            if (container->pAdviseSink)
                SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
            DWORD eventCookie = 0;
            if (container->pUnkEventSink)
                m_events.Advise(container->pUnkEventSink, &eventCookie); // a sink it refuses gets 0
            control->dwEventCookie = eventCookie;
            control->dwPropNotifyCookie = 0; // the control has no bindable properties
            GetMiscStatus(DVASPECT_CONTENT, &control->dwMiscStatus);
            GetViewStatus(&control->dwViewStatus);
            if (control->cbSize >= sizeof(QACONTROL))
                control->dwPointerActivationPolicy = 0;
        });
}

HRESULT CNVPCLoader::SetContentExtent(LPSIZEL size)
{
    return SetExtent(DVASPECT_CONTENT, size);
}

HRESULT CNVPCLoader::GetContentExtent(LPSIZEL size)
{
    return GetExtent(DVASPECT_CONTENT, size);
}
