#include "ui/Workflow.h"

#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "common/Log.h"
#include "install/PathSafety.h"
#include "install/Process.h"
#include "install/SystemState.h"
#include "params/Param.h"
#include "ui/ComeExeWareUtil.h"
#include "ui/StringTable.h"

namespace
{
const UINT kStepMs = 200;
const UINT kEndMs = 500;

// The timer of each step (in CWorkflow::Step order) in the update and the setup dialogs.
const UINT kUpdateTimers[CWorkflow::STEP_COUNT] = {TIMER_INIT_INFO,
                                                   TIMER_UPGRADE_INFO,
                                                   TIMER_START_DOWNLOAD,
                                                   TIMER_COMPLETE_DOWNLOAD,
                                                   TIMER_START_PATCH,
                                                   TIMER_CHECK_VERSION,
                                                   0,
                                                   TIMER_END,
                                                   TIMER_FAILED,
                                                   TIMER_FAILED_PROXY};
const UINT kSetupTimers[CWorkflow::STEP_COUNT] = {SETUP_TIMER_INIT_INFO,
                                                  SETUP_TIMER_UPGRADE_INFO,
                                                  SETUP_TIMER_START_DOWNLOAD,
                                                  SETUP_TIMER_COMPLETE_DOWNLOAD,
                                                  0,
                                                  0,
                                                  SETUP_TIMER_RUN_PRODUCT,
                                                  SETUP_TIMER_END,
                                                  SETUP_TIMER_FAILED,
                                                  SETUP_TIMER_FAILED_PROXY};

class CSystemProcesses : public IWorkflowProcesses
{
  public:
    bool RunInstaller(const wchar_t* path) override { return proc::ExecuteSync(path, nullptr); }
    int RunSelf(HWND owner, const wchar_t* params) override { return proc::RunEx(owner, params); }
    bool StartClient(HWND owner, const wchar_t* path, const wchar_t* params) override
    {
        return proc::ExecuteAsync(owner, path, params);
    }
};

// A count of 32-bit values as a percentage, truncated (0 for an empty whole).
int Percent(double part, double whole)
{
    if (whole <= 0)
        return 0;
    return static_cast<int>(part / whole * 100.0);
}

std::wstring MasterName(const CParam& param)
{
    wchar_t name[32];
    _snwprintf(name, 32, L"master_%d", param.GetProductType());
    name[31] = L'\0';
    return name;
}
} // namespace

IWorkflowProcesses& SystemProcesses()
{
    static CSystemProcesses processes;
    return processes;
}

const wchar_t* CWorkflow::ClassName(WorkflowKind kind)
{
    switch (kind)
    {
    case WORKFLOW_JUST_UPDATE:
        return L"CNVPCJustUpdaterDlg";
    case WORKFLOW_SETUP:
        return L"CNVPCSetupDlg";
    case WORKFLOW_SETUP_EX:
        return L"CNVPCSetupExDlg";
    default:
        return L"CNVPCUpdaterDlg";
    }
}

UINT CWorkflow::TimerOf(WorkflowKind kind, Step step)
{
    if (step < 0 || step >= STEP_COUNT)
        return 0;
    bool setup = kind == WORKFLOW_SETUP || kind == WORKFLOW_SETUP_EX;
    return setup ? kSetupTimers[step] : kUpdateTimers[step];
}

CWorkflow::CWorkflow(CParam* param, IWorkflowView* view, WorkflowKind kind, IWorkflowProcesses* processes)
    : m_param(param), m_upgrade(CServerHandler::MODE_UPGRADE, param),
      m_directory(CServerHandler::MODE_DIRECTORY, param), m_downloader(param), m_stop(0),
      m_versions(param, ClassName(kind)), m_view(view),
      m_processes(processes ? processes : &SystemProcesses()), m_kind(kind), m_className(ClassName(kind)),
      m_armed(0)
{
}

CWorkflow::~CWorkflow()
{
    // The workers may still report while they are torn down: nothing may reach the view.
    m_downloader.SetProgressCallback(nullptr, nullptr);
    m_downloader.SetCompleteCallback(nullptr, nullptr);
    m_downloader.SetErrorCallback(nullptr, nullptr);
    m_patcher.SetCallback(nullptr, nullptr);
}

void CWorkflow::Start()
{
    m_stop = 0;
    SetErrorSuffix(std::wstring());
    m_versions.Reset();
    m_ended = false;
    m_installerRan = false;
    m_downloader.SetProgressCallback(&CWorkflow::callbackDownProgress, this);
    m_downloader.SetCompleteCallback(&CWorkflow::callbackDownComplete, this);
    m_downloader.SetErrorCallback(&CWorkflow::callballDownError, this);
    // The setup dialogs too give the credentials prompt an owner, so that its retry works.
    m_downloader.SetOwner(m_view->Window());
    if (!IsSetup())
        m_patcher.SetCallback(&CWorkflow::callbackPatchProgress, this);
    Arm(STEP_INIT_INFO, IsSetup() ? 300 : 500);
}

void CWorkflow::Arm(Step step, UINT ms)
{
    UINT id = TimerOf(m_kind, step);
    if (!id)
        return;
    m_armed.fetch_or(1u << step);
    m_view->ArmTimer(id, ms);
}

void CWorkflow::OnTimer(UINT id)
{
    m_view->KillWorkflowTimer(id);
    int found = STEP_COUNT;
    for (int s = 0; s < STEP_COUNT; ++s)
    {
        if (id && TimerOf(m_kind, static_cast<Step>(s)) == id)
            found = s;
    }
    if (found == STEP_COUNT)
        return; // not one of this dialog's timers
    Step step = static_cast<Step>(found);
    unsigned bit = 1u << step;
    if (!(m_armed.fetch_and(~bit) & bit))
        return; // a tick of a timer already served (or never armed)
    if (m_ended)
        return;
    // After Cancel no step runs any more, also one that a worker armed meanwhile; the
    // end and the (silent) failure timers still do.
    if (Stopped() && step < STEP_END)
        return;
    if (m_inStep && step != STEP_END)
    {
        // A step is waiting for a program or a box; this one runs after it.
        Arm(step, kStepMs);
        return;
    }
    bool outer = m_inStep;
    m_inStep = true;
    RunStep(step);
    m_inStep = outer;
}

void CWorkflow::RunStep(Step step)
{
    switch (step)
    {
    case STEP_INIT_INFO:
        ::SetForegroundWindow(m_view->Window());
        initInfo();
        break;
    case STEP_UPGRADE_INFO:
        if (IsSetup())
            getSetupInfo();
        else
            getUpgradeInfo();
        break;
    case STEP_START_DOWNLOAD:
        startDownload();
        break;
    case STEP_COMPLETE_DOWNLOAD:
        completeDownload();
        break;
    case STEP_START_PATCH:
        m_versions.readUpdateVersions();
        startPatch();
        break;
    case STEP_CHECK_VERSION:
    {
        std::wstring suffix = ErrorSuffix();
        if (m_versions.checkCompleteVersion(suffix))
        {
            Finish();
        }
        else
        {
            SetErrorSuffix(suffix);
            Arm(STEP_FAILED, kStepMs);
        }
        break;
    }
    case STEP_RUN_PRODUCT:
        runProduct();
        break;
    case STEP_END:
        End();
        break;
    case STEP_FAILED:
        ShowFailureBox(false);
        break;
    case STEP_FAILED_PROXY:
        ShowFailureBox(true);
        break;
    default:
        break;
    }
}

void CWorkflow::Finish()
{
    if (m_kind == WORKFLOW_JUST_UPDATE)
        finishUpdate();
    else
        runProduct();
}

void CWorkflow::OnCancel()
{
    stopWork();
    Arm(STEP_END, kEndMs);
}

void CWorkflow::OnDestroy()
{
    m_ended = true;
    WriteLog(LOG_TRACE, L"OnDestroy");
    stopWork();
    if (m_upgrade.IsConnected())
    {
        Sleep(100);
        m_upgrade.Disconnect();
    }
    if (m_directory.IsConnected())
    {
        // Only the updater's dialog pauses before closing its directory connection.
        if (m_kind == WORKFLOW_UPDATE)
            Sleep(100);
        m_directory.Disconnect();
    }
    m_downloader.SetProgressCallback(nullptr, this);
    m_downloader.SetCompleteCallback(nullptr, this);
    m_downloader.SetErrorCallback(nullptr, this);
    m_patcher.SetCallback(nullptr, this);
}

void CWorkflow::stopWork()
{
    m_stop = 1;
    WriteLog(LOG_TRACE, L"SetDownStop");
    m_downloader.SetDownStop();
    if (IsSetup())
        return; // the setup dialogs have nothing to unpack
    WriteLog(LOG_TRACE, L"SetPatchStop");
    m_patcher.SetPatchStop();
}

void CWorkflow::setStatusText(UINT id)
{
    bool done = id == IDS_FINISHED || (IsSetup() && id == IDS_SETUP_FINISHED);
    bool inRange = (id >= IDS_CHECK_INSTALLED && id <= IDS_FINISHED) || done;
    if (!inRange)
    {
        m_view->FitFullHeight();
        return;
    }
    bool first = id == IDS_DOWNLOAD_SETUP || id == IDS_RUN_SETUP || id == IDS_DOWNLOAD_UPDATE ||
                 id == IDS_UPDATING_FILES || id == IDS_APPLY_UPDATE;
    bool second = id == IDS_DOWNLOAD_UPDATE || id == IDS_UPDATING_FILES || id == IDS_APPLY_UPDATE;
    m_view->ShowBars(first, second);
    m_view->SetStatus(done ? CStringTable::Format(id, m_param->GetTitle()) : CStringTable::Load(id));
}

void CWorkflow::initInfo()
{
    WriteLog(LOG_INFO, L"%s::initInfo", m_className.c_str());
    if (!m_directory.IsConnected())
        m_directory.ConnectServer();
    Sleep(100);
    if (!m_directory.IsConnected())
    {
        WriteLog(LOG_TRACE, L"DNS 서버 연결 실패");
        return Fail(L" (2)", STEP_FAILED_PROXY);
    }
    if (!m_directory.GetCompanyServerInfo())
    {
        WriteLog(LOG_TRACE, IsSetup() ? L"DNS Server IP 획득 실패" : L"DNS 서버 연결 실패");
        return Fail(L" (1)", STEP_FAILED_PROXY);
    }
    m_directory.Disconnect();
    Arm(STEP_UPGRADE_INFO, kStepMs);
}

bool CWorkflow::ClientInstalled() const
{
    std::wstring client = m_param->GetFilePath();
    if (client.empty() || !::PathFileExistsW(client.c_str()))
        return false;
    std::wstring config = m_param->GetConfigFolder();
    if (config.empty())
        return false;
    std::wstring master = config + L"\\" + MasterName(*m_param) + L".xml";
    std::wstring product = config + L"\\" + m_param->GetProductID() + L".xml";
    return FileExists(master.c_str()) && FileExists(product.c_str());
}

bool CWorkflow::ConnectUpgradeServer(bool* exist)
{
    WriteLog(LOG_INFO, L"%s::getUpgradeInfo", m_className.c_str());
    *exist = ClientInstalled();
    if (!m_upgrade.IsConnected())
        m_upgrade.ConnectServer();
    Sleep(100);
    std::wstring client = m_param->GetFilePath();
    WriteLog(LOG_INFO, L"%s::getUpgradeInfo : bExist=%d GetFilePath()=%s", m_className.c_str(),
             *exist ? 1 : 0, client.c_str());
    return m_upgrade.IsConnected();
}

void CWorkflow::getUpgradeInfo()
{
    bool exist = false;
    if (ConnectUpgradeServer(&exist))
    {
        m_param->SetInstallType(exist ? 1 : 0);
        if (!exist && m_installerRan)
        {
            // The installer reported success but left no client: running it again would
            // only repeat that for ever.
            WriteLog(LOG_INFO, L"%s::getUpgradeInfo : not installed after the installer",
                     m_className.c_str());
            m_view->ShowBox(CStringTable::Load(IDS_CLIENT_NOT_STARTED), m_param->GetCaptionText(), MB_OK);
            End();
            return;
        }
        if (!exist)
        {
            setStatusText(IDS_CHECK_INSTALLED);
            if (!m_upgrade.GetSetupURL())
                return Fail(L" (4)");
            WriteLog(LOG_INFO, L"%s::getUpgradeInfo : GetSetupURL", m_className.c_str());
        }
        else
        {
            setStatusText(IDS_CHECK_NEW_UPDATE);
            if (!m_upgrade.GetUpdateURL())
                return Fail(L" (3)");
            WriteLog(LOG_INFO, L"%s::getUpgradeInfo : GetUpdateURL", m_className.c_str());
        }
        Arm(STEP_START_DOWNLOAD, kStepMs);
        return;
    }
    if (!exist)
    {
        WriteLog(LOG_TRACE, L"업그레이드 서버 연결 실패");
        return Fail(L" (5)");
    }
    std::wstring text = CStringTable::Load(IDS_NO_UPGRADE_RESPONSE) + ErrorSuffix();
    int answer = m_view->ShowBox(text, m_param->GetCaptionText(), MB_CANCELTRYCONTINUE);
    if (!m_view->Alive() || m_ended)
        return;
    if (answer == IDCANCEL)
        End();
    else if (answer == IDTRYAGAIN)
        Arm(STEP_UPGRADE_INFO, kStepMs);
    else
        Finish();
}

void CWorkflow::getSetupInfo()
{
    bool exist = false;
    if (!ConnectUpgradeServer(&exist))
        return Arm(STEP_RUN_PRODUCT, kStepMs); // start what is there, without any setup
    m_param->SetInstallType(0);
    if (m_kind == WORKFLOW_SETUP && exist)
        return Arm(STEP_RUN_PRODUCT, kStepMs);
    setStatusText(IDS_CHECK_INSTALLED);
    int found = m_kind == WORKFLOW_SETUP ? m_upgrade.GetSetupURL() : m_upgrade.GetSetupExURL();
    if (!found)
        return Fail(L" (4)");
    WriteLog(LOG_INFO, L"%s::getUpgradeInfo : GetSetupURL", m_className.c_str());
    Arm(STEP_START_DOWNLOAD, kStepMs);
}

void CWorkflow::startDownload()
{
    WORD type = m_param->GetInstallType();
    WriteLog(LOG_TRACE, L"startDownload GetInstallType()=%d", static_cast<int>(type));
    std::wstring url;
    if (IsSetup())
        url = m_param->GetSetupURL();
    else if (type == 1)
        url = m_param->GetPatchURL();
    else if (type == 0)
        url = m_param->GetSetupURL();
    else
        return; // nothing to fetch for an unknown type; Cancel ends the dialog
    if (url.empty())
    {
        Arm(IsSetup() ? STEP_RUN_PRODUCT : STEP_CHECK_VERSION, kStepMs);
        return;
    }
    setStatusText(type == 1 && !IsSetup() ? IDS_DOWNLOAD_UPDATE : IDS_DOWNLOAD_SETUP);
    m_downloader.SetHost(m_param->GetConnectedUpgradeHost());
    m_downloader.SetPort(m_param->GetWSPort());
    std::wstring folder = m_param->GetUpgradeFolder();
    m_downloader.Download(url.c_str(), folder.c_str());
}

void CWorkflow::completeDownload()
{
    WriteLog(LOG_TRACE, L"%s::completeDownload", m_className.c_str());
    WORD type = m_param->GetInstallType();
    std::wstring downloaded = m_param->GetDownPath();
    if (type == 0 || IsSetup())
    {
        setStatusText(IDS_RUN_SETUP);
        bool ok = m_processes->RunInstaller(downloaded.c_str());
        if (Stopped() || !m_view->Alive() || m_ended)
            return; // cancelled while the installer ran
        if (ok)
        {
            // Now installed: the update dialogs go on to the update path, the setup
            // dialogs start the client.
            m_installerRan = true;
            Arm(IsSetup() ? STEP_RUN_PRODUCT : STEP_UPGRADE_INFO, kStepMs);
        }
        else
        {
            // Nothing to start and nothing the user could do about it here: end quietly
            // instead of waiting for a Cancel.
            stopWork();
            Arm(STEP_END, kEndMs);
        }
    }
    else if (type == 1)
    {
        setStatusText(IDS_APPLY_UPDATE);
        int entries = m_patcher.Patch(downloaded.c_str());
        m_view->SetBarRange(IDC_PROGRESS_FIRST, entries);
        m_view->SetBarPos(IDC_PROGRESS_FIRST, 0);
        // An archive that cannot be opened (or holds nothing) starts no unpack and so
        // never reports: it fails here instead of leaving the dialog waiting.
        if (entries <= 0)
            Fail(L" (9)");
    }
}

std::wstring CWorkflow::CopyFileParameters() const
{
    std::wstring line = L"/CopyFile";
    line += L" /DNP \"";
    line += m_param->GetDownPath();
    line += L"\" /MML \"";
    line += MasterName(*m_param);
    line += L"\" /PML \"";
    line += m_param->GetProductID();
    line += L"\"  /SEP \"";
    line += m_param->GetInstallFolder();
    line += L"\" ";
    return line;
}

void CWorkflow::startPatch()
{
    std::wstring params = CopyFileParameters();
    WriteLog(LOG_TRACE, L"%s::startPatch() param.c_str()=%s", m_className.c_str(), params.c_str());
    int result = m_processes->RunSelf(m_view->Window(), params.c_str());
    if (Stopped() || !m_view->Alive() || m_ended)
        return; // cancelled while the copy ran
    if (result < 0)
    {
        WriteLog(LOG_TRACE, L"%s::RunEx failed", m_className.c_str());
        return Fail(L" (6)");
    }
    Arm(STEP_CHECK_VERSION, kStepMs);
}

void CWorkflow::runProduct()
{
    setStatusText(IsSetup() ? IDS_SETUP_FINISHED : IDS_FINISHED);
    if (HasExeExtension(m_param->GetFileName()))
    {
        if (m_param->GetUseModuleFolder())
            m_param->LoadConfigFile(m_param);
        std::wstring commandLine;
        m_param->BuildCommandLine(commandLine);
        std::wstring client = m_param->GetFilePath();
        WriteLog(LOG_TRACE, L"ExecuteAsync lpFilePath=%s lpParam=%s", client.c_str(), commandLine.c_str());
        // A reloaded record may name another file: it must still be a program.
        if (HasExeExtension(m_param->GetFileName()) && !client.empty())
            m_processes->StartClient(m_view->Window(), client.c_str(), commandLine.c_str());
    }
    End();
}

void CWorkflow::finishUpdate()
{
    setStatusText(IDS_FINISHED);
    End();
}

void CWorkflow::End()
{
    if (m_ended)
        return;
    m_ended = true;
    m_view->EndWorkflow();
}

void CWorkflow::Fail(const wchar_t* suffix, Step step)
{
    SetErrorSuffix(suffix);
    Arm(step, kStepMs);
}

std::wstring CWorkflow::ErrorSuffix() const
{
    CriticalSectionLock lock(m_suffixLock);
    return m_errorSuffix;
}

void CWorkflow::SetErrorSuffix(const std::wstring& suffix)
{
    CriticalSectionLock lock(m_suffixLock);
    // The suffix field holds 1000 characters; a longer error text is cut.
    m_errorSuffix = suffix.substr(0, 999);
}

void CWorkflow::ShowFailureBox(bool withProxy)
{
    if (IsSetup() && !withProxy)
        WriteLog(LOG_TRACE, L">>>>>> RunEx : error_timer1=%d", m_stop.load());
    if (Stopped())
        return; // the user gave up: a late failure shows nothing
    // The setup dialogs' plain box puts the code right after the text.
    const wchar_t* lineBreak = IsSetup() && !withProxy ? L"" : L"\n";
    std::wstring text = CStringTable::Load(IDS_FAILED) + lineBreak + ErrorSuffix();
    std::wstring caption = m_param->GetCaptionText();
    if (withProxy)
        m_view->ShowProxyBox(text, caption);
    else
        m_view->ShowBox(text, caption, MB_OK);
    End();
}

void CWorkflow::callbackDownProgress(unsigned long long total, unsigned long long received, void* user)
{
    auto* self = static_cast<CWorkflow*>(user);
    self->m_view->SetBarPos(IDC_PROGRESS_FIRST,
                            Percent(static_cast<double>(received), static_cast<double>(total)));
}

void CWorkflow::callbackDownComplete(const wchar_t* path, void* user)
{
    auto* self = static_cast<CWorkflow*>(user);
    WriteLog(LOG_TRACE, L"callbackDownComplete : lpDownPath=%s pParam=%x", path ? path : L"", user);
    self->m_param->SetDownPath(path ? path : L"");
    self->Arm(STEP_COMPLETE_DOWNLOAD, kStepMs);
}

void CWorkflow::callballDownError(const wchar_t* message, int retry, void* user)
{
    auto* self = static_cast<CWorkflow*>(user);
    const wchar_t* text = message ? message : L"";
    WriteLog(LOG_TRACE, L"callballDownError : error=%s pParam=%x", text, user);
    if (retry)
    {
        self->Arm(STEP_UPGRADE_INFO, kStepMs);
        return;
    }
    if (!*text)
        return; // a stop, not a failure
    self->Fail((std::wstring(L" ") + text + L" (8)").c_str());
}

void CWorkflow::callbackPatchProgress(int kind, int a, int b, const char*, void* user)
{
    auto* self = static_cast<CWorkflow*>(user);
    switch (kind)
    {
    case UNZIP_ENTRY_DONE:
        self->m_view->SetBarPos(IDC_PROGRESS_FIRST, b);
        break;
    case UNZIP_ENTRY_BYTES:
        self->m_view->SetBarPos(IDC_PROGRESS_SECOND,
                                Percent(static_cast<unsigned>(b), static_cast<unsigned>(a)));
        break;
    case UNZIP_ALL_DONE:
        self->Arm(STEP_START_PATCH, kStepMs);
        break;
    case UNZIP_FAILED:
        self->Fail(L" (9)");
        break;
    default:
        break;
    }
}
