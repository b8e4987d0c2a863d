#pragma once
// CNVPCJustUpdaterDlg: the whole update workflow without the client start; the loader
// control's run mode 4 opens it, modeless.
#include "ui/WorkflowDlg.h"

class CNVPCJustUpdaterDlg : public CWorkflowDlg
{
  public:
    CNVPCJustUpdaterDlg(CParam* param, HINSTANCE module, IWorkflowProcesses* processes = nullptr)
        : CWorkflowDlg(param, module, WORKFLOW_JUST_UPDATE, processes)
    {
    }
};
