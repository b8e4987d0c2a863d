#include "updater/LoaderRunModes.h"

#include "common/Log.h"
#include "common/ProxySettings.h"
#include "install/SystemState.h"
#include "params/Param.h"
#include "ui/NVPCJustUpdaterDlg.h"
#include "ui/NVPCSetupDlg.h"
#include "ui/NVPCUpdaterDlg.h"
#include "ui/ProductRunner.h"
#include "ui/StringTable.h"

namespace
{
std::wstring TakeBstr(BSTR& text)
{
    std::wstring value = text ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
    ::SysFreeString(text);
    text = nullptr;
    return value;
}

// Opens dialog modeless when no workflow dialog is open and it has no window yet.
bool OpenModeless(CWorkflowDlg& dialog)
{
    if (OpenWorkflowDialogs() > 0 || dialog.hwnd())
        return false;
    return dialog.CreateModeless(nullptr) != nullptr;
}

// A dialog whose step is still on the stack (the control is released from inside that
// step's wait) cannot be deleted under it: it is left to the process instead.
template <typename Dialog> void Dispose(std::unique_ptr<Dialog>& dialog)
{
    if (dialog && dialog->Workflow().InStep())
    {
        WriteLog(LOG_INFO, L"CLoaderRunModes : a dialog still in a step is left to the process");
        dialog.release();
    }
    dialog.reset();
}
} // namespace

CLoaderRunModes::CLoaderRunModes(CParam* param, HINSTANCE module)
    : m_param(param), m_module(module), m_updater(new CNVPCUpdaterDlg(param, module)),
      m_setup(new CNVPCSetupDlg(param, module)), m_setupEx(new CNVPCSetupExDlg(param, module)),
      m_justUpdater(new CNVPCJustUpdaterDlg(param, module))
{
}

CLoaderRunModes::~CLoaderRunModes()
{
    CloseDialogs();
    Dispose(m_updater);
    Dispose(m_setup);
    Dispose(m_setupEx);
    Dispose(m_justUpdater);
}

void CLoaderRunModes::CloseDialogs()
{
    CWorkflowDlg* dialogs[] = {m_updater.get(), m_setup.get(), m_setupEx.get(), m_justUpdater.get()};
    for (CWorkflowDlg* dialog : dialogs)
    {
        if (dialog && dialog->hwnd())
            ::DestroyWindow(dialog->hwnd());
    }
}

void CLoaderRunModes::ShowMessage(const std::wstring& text)
{
    ::MessageBoxW(m_owner, text.c_str(), m_param->GetCaptionText(), MB_ICONHAND | MB_OK);
}

HRESULT CLoaderRunModes::ReadProxySettings()
{
    INvpcProxySettings* component = nullptr;
    HRESULT status = CreateProxySettings(&component);
    if (FAILED(status))
        return status; // the proxy fields keep their values
    short type = 0, port = 0;
    BSTR host = nullptr, user = nullptr, password = nullptr;
    if (component)
    {
        status = component->GetSettings(&type, &host, &port, &user, &password);
        component->Release();
    }
    else
    {
        status = S_FALSE; // created but without an interface: no proxy
    }
    std::wstring hostText = TakeBstr(host), userText = TakeBstr(user), passwordText = TakeBstr(password);
    if (FAILED(status))
        return status;
    m_param->SetUseSystemProxy(IsSystemProxyEnabled());
    m_param->SetProxyType(static_cast<WORD>(type));
    m_param->SetProxyHost(hostText.c_str());
    m_param->SetProxyPort(static_cast<WORD>(port));
    m_param->SetProxyUser(userText.c_str());
    m_param->SetProxyPassword(passwordText.c_str());
    return status;
}

HRESULT CLoaderRunModes::RunEx(const wchar_t* option)
{
    const wchar_t* text = option ? option : L"";
    m_param->SetOption(text);
    WriteLog(LOG_TRACE, L">>>>>> RunEx : option=%s", text);
    HRESULT status = ReadProxySettings();
    switch (m_param->GetRunType())
    {
    case 0:
        return OpenDialog(L">>>>>> RunEx : Setup_Update_Run", 0);
    case 1:
        return OpenDialog(L">>>>>> RunEx : Once_Setup_Run", 1);
    case 2:
        return OnlyRun();
    case 3:
        return OpenDialog(L">>>>>> RunEx : Setup_Ex_Run", 3);
    case 4:
        return OpenDialog(L">>>>>> RunEx : Just_Update", 4);
    default:
        return status;
    }
}

bool CLoaderRunModes::ClientRunning()
{
    if (!IsClientRunning())
        return false;
    ShowMessage(CStringTable::Format(IDS_CLIENT_RUNNING, m_param->GetTitle()));
    return true;
}

HRESULT CLoaderRunModes::OpenDialog(const wchar_t* logLine, int kind)
{
    WriteLog(LOG_TRACE, logLine);
    if (ClientRunning())
        return S_FALSE;
    bool opened = false;
    switch (kind)
    {
    case 0:
        opened = OpenModeless(*m_updater);
        break;
    case 4:
        opened = OpenModeless(*m_justUpdater);
        break;
    default:
        WriteLog(LOG_TRACE, L"CreateSetupDlg");
        opened = OpenModeless(kind == 1 ? static_cast<CWorkflowDlg&>(*m_setup) : *m_setupEx);
        break;
    }
    if (opened)
        return S_OK;
    ShowMessage(CStringTable::Load(IDS_ALREADY_RUNNING));
    return S_FALSE;
}

HRESULT CLoaderRunModes::OnlyRun()
{
    WriteLog(LOG_TRACE, L"CNVPCLoader::Only_Run");
    if (ClientRunning())
        return S_FALSE;
    CProductRunner runner(m_param);
    if (!runner.Run(m_owner))
        ShowMessage(CStringTable::Load(IDS_CLIENT_NOT_STARTED));
    return S_OK;
}
