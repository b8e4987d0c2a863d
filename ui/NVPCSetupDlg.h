#pragma once
// The setup dialogs: CNVPCSetupDlg installs the client when it is missing and starts it;
// CNVPCSetupExDlg always runs the installer the upgrade server names for the extended
// setup, then starts the client.
#include "common/Log.h"
#include "ui/WorkflowDlg.h"

class CNVPCSetupDlg : public CWorkflowDlg
{
  public:
    CNVPCSetupDlg(CParam* param, HINSTANCE module, IWorkflowProcesses* processes = nullptr)
        : CWorkflowDlg(param, module, WORKFLOW_SETUP, processes)
    {
    }
    ~CNVPCSetupDlg() override { WriteLog(LOG_TRACE, L"~CNVPCSetupDlg"); }
};

class CNVPCSetupExDlg : public CWorkflowDlg
{
  public:
    CNVPCSetupExDlg(CParam* param, HINSTANCE module, IWorkflowProcesses* processes = nullptr)
        : CWorkflowDlg(param, module, WORKFLOW_SETUP_EX, processes)
    {
    }
    ~CNVPCSetupExDlg() override { WriteLog(LOG_TRACE, L"~CNVPCSetupExDlg"); }
};
