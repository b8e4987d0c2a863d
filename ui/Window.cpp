#include "ui/Window.h"

#include <commctrl.h>

namespace
{
// The object whose Create call is on this thread's stack: WM_NCCREATE takes its creation
// parameter as our object only when it is this one, never a pointer someone else passed.
thread_local CWindowBase* t_creating = nullptr;

typedef BOOL(WINAPI* SetSubclassFn)(HWND, SUBCLASSPROC, UINT_PTR, DWORD_PTR);
typedef BOOL(WINAPI* RemoveSubclassFn)(HWND, SUBCLASSPROC, UINT_PTR);
typedef LRESULT(WINAPI* DefSubclassFn)(HWND, UINT, WPARAM, LPARAM);
struct SubclassApi
{
    SetSubclassFn set = nullptr;
    RemoveSubclassFn remove = nullptr;
    DefSubclassFn def = nullptr;
};

FARPROC FindExport(HMODULE module, const char* name, WORD ordinal)
{
    FARPROC f = ::GetProcAddress(module, name);
    return f ? f : ::GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
}

// Looked up at run time: the common controls of Windows XP without a version 6 manifest
// (5.82) have these functions, but older builds export them by ordinal only.
const SubclassApi& Subclassing()
{
    static const SubclassApi api = []
    {
        SubclassApi a;
        HMODULE comctl = ::LoadLibraryW(L"comctl32.dll"); // kept for the life of the process
        if (comctl)
        {
            a.set = reinterpret_cast<SetSubclassFn>(FindExport(comctl, "SetWindowSubclass", 410));
            a.remove = reinterpret_cast<RemoveSubclassFn>(FindExport(comctl, "RemoveWindowSubclass", 412));
            a.def = reinterpret_cast<DefSubclassFn>(FindExport(comctl, "DefSubclassProc", 413));
        }
        if (!a.set || !a.remove || !a.def)
            a = SubclassApi();
        return a;
    }();
    return api;
}
} // namespace

// ---- Windows ----

CWindowBase::~CWindowBase()
{
    if (HWND window = m_hwnd)
    {
        // Detached first: the messages of the destruction go to the default procedure,
        // never to this half-destroyed object.
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        m_hwnd = nullptr;
        ::DestroyWindow(window);
    }
}

bool CWindowBase::RegisterWindowClass(HINSTANCE instance, const wchar_t* className, UINT style,
                                      HBRUSH background, HCURSOR cursor)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = style;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = cursor ? cursor : ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = className;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CWindowBase::Create(HINSTANCE instance, const wchar_t* className, const wchar_t* title, DWORD style,
                         DWORD exStyle, const RECT& rect, HWND parent, HMENU menuOrId)
{
    if (m_hwnd)
        return nullptr; // one window per object
    CWindowBase* outer = t_creating;
    t_creating = this;
    HWND window =
        ::CreateWindowExW(exStyle, className, title, style, rect.left, rect.top, rect.right - rect.left,
                          rect.bottom - rect.top, parent, menuOrId, instance, this);
    t_creating = outer;
    return window;
}

CWindowBase* CWindowBase::FromHwnd(HWND window)
{
    if (!window || reinterpret_cast<WNDPROC>(::GetClassLongPtrW(window, GCLP_WNDPROC)) != WindowProc)
        return nullptr;
    return reinterpret_cast<CWindowBase*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

LRESULT CWindowBase::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return ::DefWindowProcW(m_hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK CWindowBase::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE)
    {
        auto* self = static_cast<CWindowBase*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        if (self && self == t_creating)
        {
            t_creating = nullptr;
            self->m_hwnd = window;
            ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
    }
    auto* self = reinterpret_cast<CWindowBase*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self)
        return ::DefWindowProcW(window, msg, wParam, lParam);
    LRESULT result;
    try
    {
        result = self->OnMessage(msg, wParam, lParam);
    }
    catch (...)
    {
        result = ::DefWindowProcW(window, msg, wParam, lParam);
    }
    if (msg == WM_NCDESTROY)
    {
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->m_hwnd = nullptr;
        try
        {
            self->OnFinalMessage();
        }
        catch (...)
        {
        }
    }
    return result;
}

// ---- Dialogs ----

CDialogBase::~CDialogBase()
{
    if (HWND window = m_hwnd)
    {
        ::SetWindowLongPtrW(window, DWLP_USER, 0);
        m_hwnd = nullptr;
        if (m_modal)
            ::EndDialog(window, -1); // cannot happen from the dialog's own loop; be safe
        else
            ::DestroyWindow(window);
    }
}

INT_PTR CDialogBase::DoModal(HINSTANCE module, LPCWSTR templateName, HWND owner)
{
    if (m_hwnd)
        return -1;
    m_modal = true;
    INT_PTR result =
        ::DialogBoxParamW(module, templateName, owner, DialogProc, reinterpret_cast<LPARAM>(this));
    m_modal = false;
    return result;
}

HWND CDialogBase::Create(HINSTANCE module, LPCWSTR templateName, HWND owner)
{
    if (m_hwnd)
        return nullptr;
    m_modal = false;
    return ::CreateDialogParamW(module, templateName, owner, DialogProc, reinterpret_cast<LPARAM>(this));
}

void CDialogBase::End(INT_PTR code)
{
    m_result = code;
    if (!m_hwnd)
        return;
    if (m_modal)
        ::EndDialog(m_hwnd, code);
    else
        ::DestroyWindow(m_hwnd);
}

CDialogBase* CDialogBase::FromHwnd(HWND window)
{
    if (!window || reinterpret_cast<DLGPROC>(::GetWindowLongPtrW(window, DWLP_DLGPROC)) != DialogProc)
        return nullptr;
    return reinterpret_cast<CDialogBase*>(::GetWindowLongPtrW(window, DWLP_USER));
}

INT_PTR CDialogBase::OnMessage(UINT, WPARAM, LPARAM)
{
    return FALSE;
}

INT_PTR CALLBACK CDialogBase::DialogProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_INITDIALOG && lParam)
    {
        auto* self = reinterpret_cast<CDialogBase*>(lParam);
        self->m_hwnd = window;
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    }
    auto* self = reinterpret_cast<CDialogBase*>(::GetWindowLongPtrW(window, DWLP_USER));
    if (!self)
        return FALSE; // the messages before WM_INITDIALOG, and those after detaching
    INT_PTR result;
    try
    {
        result = self->OnMessage(msg, wParam, lParam);
    }
    catch (...)
    {
        result = FALSE;
    }
    if (msg == WM_NCDESTROY)
    {
        ::SetWindowLongPtrW(window, DWLP_USER, 0);
        self->m_hwnd = nullptr;
        try
        {
            self->OnFinalMessage();
        }
        catch (...)
        {
        }
    }
    return result;
}

// ---- Subclassing ----

CSubclass::~CSubclass()
{
    Detach();
}

bool CSubclass::Attach(HWND window)
{
    const SubclassApi& api = Subclassing();
    if (m_hwnd || !window || !api.set)
        return false;
    // The object is both the subclass's identifier and its data: several objects can
    // stand in front of one window.
    if (!api.set(window, SubclassProc, reinterpret_cast<UINT_PTR>(this), reinterpret_cast<DWORD_PTR>(this)))
        return false;
    m_hwnd = window;
    return true;
}

void CSubclass::Detach()
{
    if (!m_hwnd)
        return;
    Subclassing().remove(m_hwnd, SubclassProc, reinterpret_cast<UINT_PTR>(this));
    m_hwnd = nullptr;
}

LRESULT CSubclass::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return CallNext(msg, wParam, lParam);
}

LRESULT CSubclass::CallNext(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return m_hwnd ? Subclassing().def(m_hwnd, msg, wParam, lParam) : 0;
}

LRESULT CALLBACK CSubclass::SubclassProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR refData)
{
    auto* self = reinterpret_cast<CSubclass*>(refData);
    LRESULT result;
    try
    {
        result = self->OnMessage(msg, wParam, lParam);
    }
    catch (...)
    {
        result = Subclassing().def(window, msg, wParam, lParam);
    }
    if (msg == WM_NCDESTROY)
        self->Detach(); // the window is going: nothing of it may reach the object later
    return result;
}
