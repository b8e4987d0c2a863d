#pragma once
// CNVPCUpdaterDlg: brings the meeting client up to date and starts it. Modal from the
// updater's command line, modeless from the loader control's run mode 0.
#include "ui/UpdateWorkflow.h"
#include "ui/WorkflowDlg.h"

class CNVPCUpdaterDlg : public CWorkflowDlg
{
  public:
    // processes: null for the real starts (tests put their own in place).
    CNVPCUpdaterDlg(CParam* param, HINSTANCE module, IWorkflowProcesses* processes = nullptr);

    CUpdateWorkflow& Workflow() { return m_workflow; }

  protected:
    // The update-only dialog shares everything but its class name and the finish.
    CNVPCUpdaterDlg(CParam* param, HINSTANCE module, const wchar_t* className, CUpdateWorkflow::Finish finish,
                    IWorkflowProcesses* processes);

    void OnWorkflowStart() override { m_workflow.Start(); }
    void OnWorkflowTimer(UINT id) override { m_workflow.OnTimer(id); }
    void OnWorkflowCancel() override { m_workflow.OnCancel(); }
    void OnWorkflowDestroy() override { m_workflow.OnDestroy(); }

  private:
    CUpdateWorkflow m_workflow;
};
