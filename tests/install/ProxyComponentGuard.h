#pragma once
// Test helpers around the proxy settings component (tools/proxysettings): register or
// unregister it in the prefix and put back what was there before; keep its settings in
// a private file; drive the windows a modal call shows on this thread.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

// Registers/unregisters NvpcProxySettings.dll (beside the test program) per machine and
// restores the registration found at construction when destroyed.
class ProxyComponentGuard
{
  public:
    ProxyComponentGuard();
    ~ProxyComponentGuard();
    ProxyComponentGuard(const ProxyComponentGuard&) = delete;
    ProxyComponentGuard& operator=(const ProxyComponentGuard&) = delete;

    bool Register();
    bool Unregister();
    // The in-process server path registered now, or "" when none.
    static std::wstring RegisteredPath();

  private:
    HRESULT Call(HMODULE module, const char* name);
    std::wstring m_previousPath; // "" when nothing was registered
    HMODULE m_module = nullptr;
};

// Points the component at a settings file of its own for the guard's lifetime.
class ProxySettingsFileGuard
{
  public:
    ProxySettingsFileGuard();
    ~ProxySettingsFileGuard();
    ProxySettingsFileGuard(const ProxySettingsFileGuard&) = delete;
    ProxySettingsFileGuard& operator=(const ProxySettingsFileGuard&) = delete;
    const std::wstring& file() const { return m_file; }

  private:
    TempDir m_dir;
    std::wstring m_file;
    std::wstring m_previous;
    bool m_hadPrevious = false;
};

// Runs steps from a thread timer while this thread sits in a modal loop (message box,
// dialog, pumping wait). Each step is polled every few milliseconds until it returns
// true; the next step then starts. Past the deadline every dialog of the thread is
// cancelled so the modal call returns, and failed() reports it.
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

// A visible top-level window of this thread with the class and caption, or null.
HWND FindThreadWindow(const wchar_t* className, const wchar_t* caption);
// Every visible top-level dialog (#32770) of this thread.
std::vector<HWND> ThreadDialogs();
std::wstring WindowText(HWND window);
// The window's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child);
// The visible buttons of a dialog, by control identifier.
std::vector<int> VisibleButtonIds(HWND dialog);
// Posts the button's click to the dialog (works without the mouse or focus).
void ClickButton(HWND dialog, int id);
