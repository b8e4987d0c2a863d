#include "ui/NVPCUpdaterDlg.h"

#include "ui/resource.h"

CNVPCUpdaterDlg::CNVPCUpdaterDlg(CParam* param, HINSTANCE module, IWorkflowProcesses* processes)
    : CNVPCUpdaterDlg(param, module, L"CNVPCUpdaterDlg", CUpdateWorkflow::FINISH_RUN_PRODUCT, processes)
{
}

CNVPCUpdaterDlg::CNVPCUpdaterDlg(CParam* param, HINSTANCE module, const wchar_t* className,
                                 CUpdateWorkflow::Finish finish, IWorkflowProcesses* processes)
    : CWorkflowDlg(param, module, IDS_UPDATER_CAPTION, IDS_CHECK_UPDATE),
      m_workflow(param, this, className, finish, processes)
{
}
