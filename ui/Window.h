#pragma once
// The window toolkit: one window procedure, one dialog procedure and one subclass
// procedure, each of which finds the C++ object of its window, forwards to its virtual
// OnMessage and is the exception firewall (an exception ends as the message's default
// answer, never in the system's code). Derived classes handle their messages and pass
// the rest to their base. When the window is gone (WM_NCDESTROY) the object is detached:
// no message reaches it afterwards, and it may be deleted or used for a new window.
// Destroying the object first destroys a window it still has, without calling it.
#include <windows.h>

class CWindowBase
{
  public:
    CWindowBase() = default;
    virtual ~CWindowBase();
    CWindowBase(const CWindowBase&) = delete;
    CWindowBase& operator=(const CWindowBase&) = delete;

    // Registers a window class whose procedure is ours; an already registered class of
    // the same name counts as success.
    static bool RegisterWindowClass(HINSTANCE instance, const wchar_t* className, UINT style = 0,
                                    HBRUSH background = nullptr, HCURSOR cursor = nullptr);
    // Creates a window of a class registered by RegisterWindowClass, owned by this object.
    HWND Create(HINSTANCE instance, const wchar_t* className, const wchar_t* title, DWORD style,
                DWORD exStyle, const RECT& rect, HWND parent, HMENU menuOrId = nullptr);
    HWND hwnd() const { return m_hwnd; }
    // The object that owns window, or null (not ours, or already detached).
    static CWindowBase* FromHwnd(HWND window);

  protected:
    // The message handler; the base answers with DefWindowProcW.
    virtual LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    // After WM_NCDESTROY, once detached. The object may delete itself here.
    virtual void OnFinalMessage() {}

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND m_hwnd = nullptr;
};

class CDialogBase
{
  public:
    CDialogBase() = default;
    virtual ~CDialogBase();
    CDialogBase(const CDialogBase&) = delete;
    CDialogBase& operator=(const CDialogBase&) = delete;

    // A modal dialog from the template in module; the code given to End, or -1 when the
    // dialog could not be created.
    INT_PTR DoModal(HINSTANCE module, LPCWSTR templateName, HWND owner);
    // A modeless dialog from the template in module (the caller's loop must pass its
    // messages through IsDialogMessageW); null when it could not be created.
    HWND Create(HINSTANCE module, LPCWSTR templateName, HWND owner);
    // Ends a modal dialog with code, or destroys a modeless one (result() keeps code).
    void End(INT_PTR code);
    HWND hwnd() const { return m_hwnd; }
    bool modal() const { return m_modal; }
    INT_PTR result() const { return m_result; }
    static CDialogBase* FromHwnd(HWND window);

  protected:
    // TRUE when handled, FALSE for the dialog manager's default, as a dialog procedure
    // answers; a message that needs a result other than its return value sets it with
    // SetMsgResult. The base handles nothing.
    virtual INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void SetMsgResult(LRESULT result) { ::SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, result); }
    // After WM_NCDESTROY, once detached. The object may delete itself here.
    virtual void OnFinalMessage() {}

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND m_hwnd = nullptr;
    bool m_modal = false;
    INT_PTR m_result = 0;
};

// Puts an object in front of an existing window's procedure (a control of a dialog, a
// window of a foreign class). Built on the common controls' SetWindowSubclass, which keeps
// several subclassers of one window in order and lets each leave in any order; a
// hand-made chain of GWLP_WNDPROC replacements cannot undo one link safely.
class CSubclass
{
  public:
    CSubclass() = default;
    virtual ~CSubclass();
    CSubclass(const CSubclass&) = delete;
    CSubclass& operator=(const CSubclass&) = delete;

    // Starts receiving window's messages (one window at a time).
    bool Attach(HWND window);
    // Stops; the window keeps working with the procedures it had.
    void Detach();
    HWND hwnd() const { return m_hwnd; }

  protected:
    // The message handler; the base passes the message on (CallNext).
    virtual LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    // The window's procedure as it was before this object came in front of it.
    LRESULT CallNext(UINT msg, WPARAM wParam, LPARAM lParam);

  private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                         DWORD_PTR refData);
    HWND m_hwnd = nullptr;
};
