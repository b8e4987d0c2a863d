#pragma once
// Finding and driving windows from a test: a script of steps run from a timer while this
// thread sits in a modal call (message box, dialog, pumping wait), the usual steps, and
// the look-ups and clicks they are made of.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Runs steps from a thread timer while this thread sits in a modal loop. Each step is
// polled every few milliseconds until it returns true; the next step then starts. Past
// the deadline every dialog of the thread is cancelled so the modal call returns, and
// failed() reports it.
class UiScript
{
  public:
    typedef std::function<bool()> Step;
    explicit UiScript(DWORD deadlineMs = 10000);
    ~UiScript();
    UiScript(const UiScript&) = delete;
    UiScript& operator=(const UiScript&) = delete;
    void Add(const std::wstring& name, Step step);
    bool done() const { return m_next >= m_steps.size(); }
    bool failed() const { return m_failed; }
    // The step that was running when the deadline passed.
    std::wstring failedStep() const { return m_failedStep; }

  private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
    void Tick();
    std::vector<std::pair<std::wstring, Step>> m_steps;
    size_t m_next = 0;
    bool m_failed = false;
    bool m_inTick = false;
    std::wstring m_failedStep;
    DWORD m_deadline;
    UINT_PTR m_timer = 0;
};

// A step that waits for a visible dialog (#32770) of this thread with the caption, lets
// inspect look at it first (when given), then clicks the button.
UiScript::Step ClickWhenShown(const std::wstring& caption, int buttonId,
                              std::function<void(HWND)> inspect = nullptr);
// A step that never ends: whenever a dialog of this thread with the caption is shown it
// sets *seen and clicks the button. For "this must not appear".
UiScript::Step ClickWheneverShown(const std::wstring& caption, int buttonId, bool* seen);

// A visible top-level window of this thread with the class and caption (null: any), or null.
HWND FindThreadWindow(const wchar_t* className, const wchar_t* caption);
// The same for a window of another process.
HWND FindProcessWindow(DWORD processId, const wchar_t* className, const wchar_t* caption);
// Every visible top-level dialog (#32770) of this thread.
std::vector<HWND> ThreadDialogs();
std::wstring WindowText(HWND window);
// The window's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child);
// The visible buttons of a dialog, by control identifier.
std::vector<int> VisibleButtonIds(HWND dialog);
// Posts the button's click to the dialog (works without the mouse or focus).
void ClickButton(HWND dialog, int id);
