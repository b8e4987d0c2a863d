#pragma once
// CWorkflowDlg: what the four workflow dialogs share on screen. The skinned window of
// template 111 at 400 x 185, the status text (4242), the two progress bars (202, 203), the
// Cancel button (4245), the placement of all of them from one layout table, the height
// that follows the visible bars, and the workflow view over them (timers, boxes, end).
// It owns the workflow of its kind and hands it WM_TIMER, Cancel and WM_DESTROY; the four
// dialog classes only name their kind.
#include <windows.h>

#include <string>

#include "ui/AtlGdipButton.h"
#include "ui/AtlGdipDlg.h"
#include "ui/AtlGdipStatic.h"
#include "ui/Workflow.h"
#include "ui/WorkflowView.h"

class CParam;

enum WorkflowControl
{
    IDC_WORKFLOW_DIALOG = 4241,
    IDC_STATUS_TEXT = 4242,
    IDC_LAYOUT_FIRST_BAR = 4243,  // the layout entry of bar 202
    IDC_LAYOUT_SECOND_BAR = 4244, // the layout entry of bar 203
    IDC_CANCEL_BUTTON = 4245,
};

// How many workflow dialogs are open in this process (all four kinds). The loader
// control refuses to open another one while this is above zero.
int OpenWorkflowDialogs();
// Sets that count back to zero (a new loader control starting with no other one alive).
void ResetOpenWorkflowDialogs();

class CWorkflowDlg : public CAtlGdipDlg, public IWorkflowView
{
  public:
    enum
    {
        kWidth = 400,
        kFullHeight = 185,
        kBarStep = 30, // each hidden bar takes this much off the height
    };

    // module holds the template, the skin's icon and the texts; param outlives the dialog.
    // processes: null for the real program starts (tests put their own in place).
    CWorkflowDlg(CParam* param, HINSTANCE module, WorkflowKind kind, IWorkflowProcesses* processes = nullptr);

    // Modal, owned by owner (the result is 2 whichever way the workflow ended), or -1
    // when the dialog could not be made.
    INT_PTR RunModal(HWND owner);
    // Modeless and shown; null when it could not be made.
    HWND CreateModeless(HWND owner);

    // IWorkflowView
    HWND Window() const override { return hwnd(); }
    bool Alive() const override { return hwnd() && ::IsWindow(hwnd()); }
    void ShowBars(bool first, bool second) override;
    void FitFullHeight() override;
    void SetStatus(const std::wstring& text) override;
    void EndWorkflow() override;
    int ShowBox(const std::wstring& text, const std::wstring& caption, UINT type) override;
    int ShowProxyBox(const std::wstring& text, const std::wstring& caption) override;
    void SetBarRange(int bar, int maximum) override;
    void SetBarPos(int bar, int position) override;
    void ArmTimer(UINT id, UINT ms) override;
    void KillWorkflowTimer(UINT id) override;

    // The rectangle of a layout entry in a client area of width x height.
    static RECT LayoutRect(int id, int width, int height);
    // The window height for the bars shown.
    static int HeightFor(bool first, bool second);

    CWorkflow& Workflow() { return m_workflow; }

  protected:
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

  private:
    void InitDialog();
    void FitHeight(int height);

    // The dialogs' members in their order: the controls, the record, then the workflow's
    // handlers, downloader and patcher.
    CAtlGdipStatic m_status;
    CAtlGdipButton m_cancel;
    CParam* m_param;
    CWorkflow m_workflow;
    HINSTANCE m_module;
    HICON m_icon = nullptr;
    bool m_counted = false;
};
