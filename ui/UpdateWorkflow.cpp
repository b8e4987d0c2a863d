#include "ui/UpdateWorkflow.h"

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
const UINT kFirstStepMs = 500;
const UINT kEndMs = 500;
const UINT kFirstTimer = TIMER_INIT_INFO;
const UINT kLastTimer = TIMER_FAILED_PROXY;

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

CUpdateWorkflow::CUpdateWorkflow(CParam* param, IWorkflowView* view, const wchar_t* className, Finish finish,
                                 IWorkflowProcesses* processes)
    : m_param(param), m_upgrade(CServerHandler::MODE_UPGRADE, param),
      m_directory(CServerHandler::MODE_DIRECTORY, param), m_downloader(param), m_stop(0),
      m_versions(param, className), m_view(view), m_processes(processes ? processes : &SystemProcesses()),
      m_className(className), m_finish(finish), m_armed(0)
{
}

CUpdateWorkflow::~CUpdateWorkflow()
{
    // The workers may still report while they are torn down: nothing may reach the view.
    m_downloader.SetProgressCallback(nullptr, nullptr);
    m_downloader.SetCompleteCallback(nullptr, nullptr);
    m_downloader.SetErrorCallback(nullptr, nullptr);
    m_patcher.SetCallback(nullptr, nullptr);
}

void CUpdateWorkflow::Start()
{
    m_stop = 0;
    SetErrorSuffix(std::wstring());
    m_versions.Reset();
    m_ended = false;
    m_downloader.SetProgressCallback(&CUpdateWorkflow::callbackDownProgress, this);
    m_downloader.SetCompleteCallback(&CUpdateWorkflow::callbackDownComplete, this);
    m_downloader.SetErrorCallback(&CUpdateWorkflow::callballDownError, this);
    m_downloader.SetOwner(m_view->Window());
    m_patcher.SetCallback(&CUpdateWorkflow::callbackPatchProgress, this);
    Arm(TIMER_INIT_INFO, kFirstStepMs);
}

void CUpdateWorkflow::Arm(UINT id, UINT ms)
{
    m_armed.fetch_or(1u << (id - kFirstTimer));
    m_view->ArmTimer(id, ms);
}

void CUpdateWorkflow::OnTimer(UINT id)
{
    m_view->KillWorkflowTimer(id);
    if (id < kFirstTimer || id > kLastTimer)
        return;
    unsigned bit = 1u << (id - kFirstTimer);
    if (!(m_armed.fetch_and(~bit) & bit))
        return; // a tick of a timer already served (or never armed)
    if (m_ended)
        return;
    // After Cancel no step runs any more, also one that a worker armed meanwhile; the
    // end and the (silent) failure timers still do.
    if (Stopped() && id < TIMER_END)
        return;
    if (m_inStep && id != TIMER_END)
    {
        // A step is waiting for a program or a box; this one runs after it.
        Arm(id, kStepMs);
        return;
    }
    bool outer = m_inStep;
    m_inStep = true;
    RunStep(id);
    m_inStep = outer;
}

void CUpdateWorkflow::RunStep(UINT id)
{
    switch (id)
    {
    case TIMER_INIT_INFO:
        ::SetForegroundWindow(m_view->Window());
        initInfo();
        break;
    case TIMER_UPGRADE_INFO:
        getUpgradeInfo();
        break;
    case TIMER_START_DOWNLOAD:
        startDownload();
        break;
    case TIMER_COMPLETE_DOWNLOAD:
        completeDownload();
        break;
    case TIMER_START_PATCH:
        m_versions.readUpdateVersions();
        startPatch();
        break;
    case TIMER_CHECK_VERSION:
    {
        std::wstring suffix = ErrorSuffix();
        if (m_versions.checkCompleteVersion(suffix))
        {
            if (m_finish == FINISH_RUN_PRODUCT)
                runProduct();
            else
                finishUpdate();
        }
        else
        {
            SetErrorSuffix(suffix);
            Arm(TIMER_FAILED, kStepMs);
        }
        break;
    }
    case TIMER_END:
        End();
        break;
    case TIMER_FAILED:
        ShowFailureBox(false);
        break;
    case TIMER_FAILED_PROXY:
        ShowFailureBox(true);
        break;
    default:
        break;
    }
}

void CUpdateWorkflow::OnCancel()
{
    stopWork();
    Arm(TIMER_END, kEndMs);
}

void CUpdateWorkflow::OnDestroy()
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
        // The update-only dialog closes its directory connection without the pause.
        if (m_finish == FINISH_RUN_PRODUCT)
            Sleep(100);
        m_directory.Disconnect();
    }
    m_downloader.SetProgressCallback(nullptr, this);
    m_downloader.SetCompleteCallback(nullptr, this);
    m_downloader.SetErrorCallback(nullptr, this);
    m_patcher.SetCallback(nullptr, this);
}

void CUpdateWorkflow::stopWork()
{
    m_stop = 1;
    WriteLog(LOG_TRACE, L"SetDownStop");
    m_downloader.SetDownStop();
    WriteLog(LOG_TRACE, L"SetPatchStop");
    m_patcher.SetPatchStop();
}

void CUpdateWorkflow::setStatusText(UINT id)
{
    bool inRange = id >= IDS_CHECK_INSTALLED && id <= IDS_FINISHED;
    if (!inRange)
    {
        m_view->FitFullHeight();
        return;
    }
    bool first = id == IDS_DOWNLOAD_SETUP || id == IDS_RUN_SETUP || id == IDS_DOWNLOAD_UPDATE ||
                 id == IDS_UPDATING_FILES || id == IDS_APPLY_UPDATE;
    bool second = id == IDS_DOWNLOAD_UPDATE || id == IDS_UPDATING_FILES || id == IDS_APPLY_UPDATE;
    m_view->ShowBars(first, second);
    m_view->SetStatus(id == IDS_FINISHED ? CStringTable::Format(id, m_param->GetTitle())
                                         : CStringTable::Load(id));
}

void CUpdateWorkflow::initInfo()
{
    WriteLog(LOG_INFO, L"%s::initInfo", m_className.c_str());
    if (!m_directory.IsConnected())
        m_directory.ConnectServer();
    Sleep(100);
    if (!m_directory.IsConnected())
    {
        WriteLog(LOG_TRACE, L"DNS 서버 연결 실패");
        Fail(L" (2)", TIMER_FAILED_PROXY);
        return;
    }
    if (!m_directory.GetCompanyServerInfo())
    {
        WriteLog(LOG_TRACE, L"DNS 서버 연결 실패");
        Fail(L" (1)", TIMER_FAILED_PROXY);
        return;
    }
    m_directory.Disconnect();
    Arm(TIMER_UPGRADE_INFO, kStepMs);
}

bool CUpdateWorkflow::ClientInstalled() const
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

void CUpdateWorkflow::getUpgradeInfo()
{
    WriteLog(LOG_INFO, L"%s::getUpgradeInfo", m_className.c_str());
    bool exist = ClientInstalled();
    if (!m_upgrade.IsConnected())
        m_upgrade.ConnectServer();
    Sleep(100);
    std::wstring client = m_param->GetFilePath();
    WriteLog(LOG_INFO, L"%s::getUpgradeInfo : bExist=%d GetFilePath()=%s", m_className.c_str(), exist ? 1 : 0,
             client.c_str());
    if (m_upgrade.IsConnected())
    {
        m_param->SetInstallType(exist ? 1 : 0);
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
        Arm(TIMER_START_DOWNLOAD, kStepMs);
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
        Arm(TIMER_UPGRADE_INFO, kStepMs);
    else if (m_finish == FINISH_RUN_PRODUCT)
        runProduct();
    else
        finishUpdate();
}

void CUpdateWorkflow::startDownload()
{
    WORD type = m_param->GetInstallType();
    WriteLog(LOG_TRACE, L"startDownload GetInstallType()=%d", static_cast<int>(type));
    std::wstring url;
    if (type == 1)
        url = m_param->GetPatchURL();
    else if (type == 0)
        url = m_param->GetSetupURL();
    else
        return; // nothing to fetch for an unknown type; Cancel ends the dialog
    if (url.empty())
    {
        Arm(TIMER_CHECK_VERSION, kStepMs);
        return;
    }
    setStatusText(type == 1 ? IDS_DOWNLOAD_UPDATE : IDS_DOWNLOAD_SETUP);
    m_downloader.SetHost(m_param->GetConnectedUpgradeHost());
    m_downloader.SetPort(m_param->GetWSPort());
    std::wstring folder = m_param->GetUpgradeFolder();
    m_downloader.Download(url.c_str(), folder.c_str());
}

void CUpdateWorkflow::completeDownload()
{
    WriteLog(LOG_TRACE, L"%s::completeDownload", m_className.c_str());
    WORD type = m_param->GetInstallType();
    std::wstring downloaded = m_param->GetDownPath();
    if (type == 0)
    {
        setStatusText(IDS_RUN_SETUP);
        bool ok = m_processes->RunInstaller(downloaded.c_str());
        if (Stopped() || !m_view->Alive() || m_ended)
            return; // cancelled while the installer ran
        if (ok)
        {
            Arm(TIMER_UPGRADE_INFO, kStepMs); // now installed: on to the update path
        }
        else
        {
            stopWork();
            Arm(TIMER_END, kEndMs);
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

std::wstring CUpdateWorkflow::CopyFileParameters() const
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

void CUpdateWorkflow::startPatch()
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
    Arm(TIMER_CHECK_VERSION, kStepMs);
}

void CUpdateWorkflow::runProduct()
{
    setStatusText(IDS_FINISHED);
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

void CUpdateWorkflow::finishUpdate()
{
    setStatusText(IDS_FINISHED);
    End();
}

void CUpdateWorkflow::End()
{
    if (m_ended)
        return;
    m_ended = true;
    m_view->EndWorkflow();
}

void CUpdateWorkflow::Fail(const wchar_t* suffix, UINT timer)
{
    SetErrorSuffix(suffix);
    Arm(timer, kStepMs);
}

std::wstring CUpdateWorkflow::ErrorSuffix() const
{
    CriticalSectionLock lock(m_suffixLock);
    return m_errorSuffix;
}

void CUpdateWorkflow::SetErrorSuffix(const std::wstring& suffix)
{
    CriticalSectionLock lock(m_suffixLock);
    // The suffix field holds 1000 characters; a longer error text is cut.
    m_errorSuffix = suffix.substr(0, 999);
}

void CUpdateWorkflow::ShowFailureBox(bool withProxy)
{
    if (Stopped())
        return; // the user gave up: a late failure shows nothing
    std::wstring text = CStringTable::Load(IDS_FAILED) + L"\n" + ErrorSuffix();
    std::wstring caption = m_param->GetCaptionText();
    if (withProxy)
        m_view->ShowProxyBox(text, caption);
    else
        m_view->ShowBox(text, caption, MB_OK);
    End();
}

void CUpdateWorkflow::callbackDownProgress(unsigned long long total, unsigned long long received, void* user)
{
    auto* self = static_cast<CUpdateWorkflow*>(user);
    self->m_view->SetBarPos(IDC_PROGRESS_FIRST,
                            Percent(static_cast<double>(received), static_cast<double>(total)));
}

void CUpdateWorkflow::callbackDownComplete(const wchar_t* path, void* user)
{
    auto* self = static_cast<CUpdateWorkflow*>(user);
    WriteLog(LOG_TRACE, L"callbackDownComplete : lpDownPath=%s pParam=%x", path ? path : L"", user);
    self->m_param->SetDownPath(path ? path : L"");
    self->Arm(TIMER_COMPLETE_DOWNLOAD, kStepMs);
}

void CUpdateWorkflow::callballDownError(const wchar_t* message, int retry, void* user)
{
    auto* self = static_cast<CUpdateWorkflow*>(user);
    const wchar_t* text = message ? message : L"";
    WriteLog(LOG_TRACE, L"callballDownError : error=%s pParam=%x", text, user);
    if (retry)
    {
        self->Arm(TIMER_UPGRADE_INFO, kStepMs);
        return;
    }
    if (!*text)
        return; // a stop, not a failure
    self->Fail((std::wstring(L" ") + text + L" (8)").c_str());
}

void CUpdateWorkflow::callbackPatchProgress(int kind, int a, int b, const char*, void* user)
{
    auto* self = static_cast<CUpdateWorkflow*>(user);
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
        self->Arm(TIMER_START_PATCH, kStepMs);
        break;
    case UNZIP_FAILED:
        self->Fail(L" (9)");
        break;
    default:
        break;
    }
}
