#pragma once
// CNVPCUpdaterDlg: brings the meeting client up to date and starts it. Modal from the
// programs' command lines, modeless from the loader control's run mode 0.
#include "ui/WorkflowDlg.h"

class CNVPCUpdaterDlg : public CWorkflowDlg
{
  public:
    CNVPCUpdaterDlg(CParam* param, HINSTANCE module, IWorkflowProcesses* processes = nullptr)
        : CWorkflowDlg(param, module, WORKFLOW_UPDATE, processes)
    {
    }
};
