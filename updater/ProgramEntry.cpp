#include "updater/ProgramEntry.h"

#include <objbase.h>

#include <cwchar>
#include <string>

#include "common/Log.h"
#include "install/FileReplace.h"
#include "install/Elevation.h"
#include "install/UnzipMove.h"
#include "net/MngrSocket.h"
#include "params/UriParser.h"
#include "ui/NVPCSetupDlg.h"
#include "ui/NVPCUpdaterDlg.h"
#include "ui/ProductRunner.h"
#include "ui/SkinSet.h"
#include "ui/StringTable.h"
#include "ui/WebPopupBrowser.h"
#include "updater/ProxyMode.h"

namespace
{
HINSTANCE g_instance = nullptr;

bool StartsWithSwitch(const wchar_t* commandLine, const wchar_t* name)
{
    return _wcsnicmp(commandLine, name, wcslen(name)) == 0;
}

// The workflow dialogs run modal, owned by the active window.
template <typename Dialog> void RunDialog(CParam& param)
{
    Dialog dialog(&param, ProgramInstance());
    if (dialog.RunModal(GetActiveWindow()) == -1)
        WriteLog(LOG_INFO, L"RunDialog : the dialog could not be created, error=%d", (int)GetLastError());
}

// Directory lookup, then the client; any failure ends the run silently.
void RunDirectStart(CParam& param)
{
    CProductRunner runner(&param);
    runner.Run(nullptr);
}

// The page offering the newer launcher, at the browser's own size.
void ShowUpdatePage(const wchar_t* url)
{
    CWebPopupBrowser().Open(url, 0, 0);
}
} // namespace

void SetProgramInstance(HINSTANCE instance)
{
    g_instance = instance;
}

HINSTANCE ProgramInstance()
{
    return g_instance ? g_instance : GetModuleHandleW(nullptr);
}

ProgramModeChoice ChooseMode(const ProgramTraits& traits, const wchar_t* commandLine)
{
    if (!commandLine)
        commandLine = L"";
    if (!*commandLine && !traits.emptyLineIsLink)
        return {ProgramMode::None, commandLine};
    if (StartsWithSwitch(commandLine, L"/Loader"))
        return {ProgramMode::Loader, commandLine};
    if (StartsWithSwitch(commandLine, L"/Proxy"))
        return {ProgramMode::Proxy, commandLine};
    if (StartsWithSwitch(commandLine, L"/CopyFile"))
        return {ProgramMode::CopyFile, commandLine + wcslen(L"/CopyFile")};
    if (traits.testsLinkPrefix && wcsstr(commandLine, L"norvane:"))
        return {ProgramMode::Link, commandLine};
    if (wcsstr(commandLine, L".nvpc"))
        return {ProgramMode::LinkFile, commandLine};
    return {traits.comServer ? ProgramMode::ComServer : ProgramMode::Link, commandLine};
}

void RunWorkflow(CParam& param)
{
    switch (param.GetRunType())
    {
    case 0:
        RunDialog<CNVPCUpdaterDlg>(param);
        break;
    case 1:
        RunDialog<CNVPCSetupDlg>(param);
        break;
    case 2:
        RunDirectStart(param);
        break;
    case 3:
        RunDialog<CNVPCSetupExDlg>(param);
        break;
    default:
        break; // unknown run type: nothing runs
    }
}

int RunLoaderMode()
{
    if (CheckElevation(L"/Loader"))
        return 0; // the elevated copy does the work
    CParam param;
    param.LoadConfigFile(&param);
    param.SetUseModuleFolder(1);
    param.SetModalDialog(1);
    RunWorkflow(param);
    return 0;
}

int AskForNewLauncher(const CParam& param)
{
    std::wstring text = CStringTable::Load(IDS_LAUNCHER_UPGRADED); // at most 999 characters
    int answer = MessageBoxW(nullptr, text.c_str(), param.GetCaptionText(), MB_ICONQUESTION | MB_YESNO);
    if (answer == IDYES)
        ShowUpdatePage(param.GetUpdateURL());
    return answer;
}

int RunLinkMode(const ProgramTraits& traits, const wchar_t* link, const wchar_t* linkFilePath)
{
    // The elevated copy gets the link text itself, so it runs without the link file.
    if (CheckElevation(link))
        return 0;
    CParam param;
    CUriParser parser(link);
    if (!parser.Parse(&param))
        return 0; // a refused link: silently, like an expired one
    param.SetModalDialog(1);
    if (traits.checksLinkTime && !CUriParser::CheckLinkFileTime(linkFilePath, param))
        return 0; // refused silently
    if (param.IsVersionDifferent())
    {
        AskForNewLauncher(param);
        return 0; // the workflow does not run, whatever the answer
    }
    RunWorkflow(param);
    return 0;
}

std::wstring UnquotePath(const wchar_t* commandLine)
{
    std::wstring path = commandLine ? commandLine : L"";
    size_t first = path.find_first_not_of(L" \t");
    size_t last = path.find_last_not_of(L" \t");
    if (first == std::wstring::npos)
        return std::wstring();
    path = path.substr(first, last - first + 1);
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"')
        path = path.substr(1, path.size() - 2);
    return path;
}

int RunLinkFileMode(const ProgramTraits& traits, const wchar_t* commandLine)
{
    // A file association passes the path in quotes; the quotes are no part of the name.
    std::wstring path = UnquotePath(commandLine);
    std::wstring link = CUriParser::ReadLinkFile(path.c_str());
    if (link.empty())
        return 0;
    return RunLinkMode(traits, link.c_str(), path.c_str());
}

int RunCopyFileMode(const wchar_t* arguments)
{
    return RunFilePlacement(arguments);
}

namespace
{
// The shared services around one run, started and ended in a fixed order.
class ProgramServices
{
  public:
    explicit ProgramServices(HINSTANCE instance)
    {
        InitLog(); // before COM, so that everything after it can log
        SetProgramInstance(instance);
        m_com = SUCCEEDED(CoInitialize(nullptr));
        LoadSkinSet(ProgramInstance()); // before any dialog exists
        CMngrSocket::InitNetwork();
    }
    ~ProgramServices()
    {
        CMngrSocket::ReleaseNetwork();
        ReleaseSkinSet();
        if (m_com)
            CoUninitialize();
    }
    ProgramServices(const ProgramServices&) = delete;
    ProgramServices& operator=(const ProgramServices&) = delete;

  private:
    bool m_com = false;
};

int RunMode(const ProgramTraits& traits, const wchar_t* commandLine, int showCommand)
{
    ProgramModeChoice choice = ChooseMode(traits, commandLine);
    switch (choice.mode)
    {
    case ProgramMode::None:
        return 0;
    case ProgramMode::Loader:
        return RunLoaderMode();
    case ProgramMode::Proxy:
        return RunProxyMode();
    case ProgramMode::CopyFile:
        return RunCopyFileMode(choice.argument);
    case ProgramMode::Link:
        return RunLinkMode(traits, choice.argument, nullptr);
    case ProgramMode::LinkFile:
        return RunLinkFileMode(traits, choice.argument);
    case ProgramMode::ComServer:
        return traits.comServer ? traits.comServer(showCommand) : 0;
    }
    return 0;
}
} // namespace

int RunProgram(const ProgramTraits& traits, HINSTANCE instance, const wchar_t* commandLine, int showCommand)
{
    int exitCode = 0;
    ProgramServices services(instance);
    if (traits.logsCommandLine)
        WriteLog(LOG_INFO, L"_tWinMain : param=%s", commandLine ? commandLine : L"");
    RemoveStaleAsideFilesBesideProgram(); // the program file an update replaced while it ran
    try
    {
        exitCode = RunMode(traits, commandLine, showCommand);
    }
    catch (...)
    {
        // Nothing escapes the entry point; the command-line modes end with 0 anyway.
        exitCode = 0;
    }
    return exitCode;
}
