#pragma once
// What a workflow needs of its window. The dialogs implement it over their controls; tests
// implement it over plain records, so that the steps run without any window.
#include <windows.h>

#include <string>

class IWorkflowView
{
  public:
    virtual ~IWorkflowView() = default;

    // ---- the dialog's thread only ----
    // The owner of the boxes, of the downloader's credentials prompt and of the elevated
    // copy's start; null before the window exists.
    virtual HWND Window() const = 0;
    // False once the window is gone: a step that pumped messages stops there.
    virtual bool Alive() const = 0;
    // Shows or hides the two bars and fits the window's height to them.
    virtual void ShowBars(bool first, bool second) = 0;
    // Fits the window to its full height; the bars stay as they are.
    virtual void FitFullHeight() = 0;
    virtual void SetStatus(const std::wstring& text) = 0;
    // Ends the dialog: EndDialog with 2 when modal, else DestroyWindow.
    virtual void EndWorkflow() = 0;
    // MessageBoxW owned by the window; its answer.
    virtual int ShowBox(const std::wstring& text, const std::wstring& caption, UINT type) = 0;
    // The failure box that offers the proxy settings when their component is present.
    virtual int ShowProxyBox(const std::wstring& text, const std::wstring& caption) = 0;

    // ---- any thread (the download and unpack workers call these) ----
    // bar is the control id of a progress bar (202 or 203).
    virtual void SetBarRange(int bar, int maximum) = 0;
    virtual void SetBarPos(int bar, int position) = 0;
    // A one-shot timer: the window's WM_TIMER with id reaches the workflow's OnTimer.
    virtual void ArmTimer(UINT id, UINT ms) = 0;
    virtual void KillWorkflowTimer(UINT id) = 0;
};

// The programs a workflow starts. The defaults start real processes; tests put their own
// in place so that the steps run without an installer or an elevated copy.
class IWorkflowProcesses
{
  public:
    virtual ~IWorkflowProcesses() = default;
    // Runs the downloaded installer and waits, pumping messages; true on exit code 0.
    virtual bool RunInstaller(const wchar_t* path) = 0;
    // Runs this program again (elevated where needed) with params and waits, pumping
    // messages; negative when it could not be started.
    virtual int RunSelf(HWND owner, const wchar_t* params) = 0;
    // Starts the client without waiting.
    virtual bool StartClient(HWND owner, const wchar_t* path, const wchar_t* params) = 0;
};

// The real starts (install/Process.h).
IWorkflowProcesses& SystemProcesses();
