#include "updater/UpdaterModes.h"

#include <cwchar>
#include <string>

#include "install/Process.h"
#include "install/UnzipMove.h"
#include "net/ServerHandler.h"
#include "ui/ProductRunner.h"
#include "params/UriParser.h"
#include "ui/StringTable.h"

namespace
{
HINSTANCE g_instance = nullptr;

bool StartsWithSwitch(const wchar_t* commandLine, const wchar_t* name)
{
    return _wcsnicmp(commandLine, name, wcslen(name)) == 0;
}

// The workflow dialogs (update, setup, extended setup; modal, owned by the active window)
// are not built yet: a run that selects one ends here with its record complete.
void RunUpdateDialog(CParam& /*param*/) {}
void RunSetupDialog(CParam& /*param*/) {}
void RunSetupExDialog(CParam& /*param*/) {}

// Directory lookup, then the client; any failure ends the run silently.
void RunDirectStart(CParam& param)
{
    CProductRunner runner(&param);
    runner.Run(nullptr);
}

// The web popup browser is not built yet: the answer only ends the run.
void ShowUpdatePage(const wchar_t* /*url*/) {}
} // namespace

void SetUpdaterInstance(HINSTANCE instance)
{
    g_instance = instance;
}

HINSTANCE UpdaterInstance()
{
    return g_instance ? g_instance : GetModuleHandleW(nullptr);
}

UpdaterModeChoice ChooseUpdaterMode(const wchar_t* commandLine)
{
    if (!commandLine || !*commandLine)
        return {UpdaterMode::None, commandLine};
    if (StartsWithSwitch(commandLine, L"/Loader"))
        return {UpdaterMode::Loader, commandLine};
    if (StartsWithSwitch(commandLine, L"/Proxy"))
        return {UpdaterMode::Proxy, commandLine};
    if (StartsWithSwitch(commandLine, L"/CopyFile"))
        return {UpdaterMode::CopyFile, commandLine + wcslen(L"/CopyFile")};
    if (wcsstr(commandLine, L"norvane:"))
        return {UpdaterMode::Link, commandLine};
    if (wcsstr(commandLine, L".nvpc"))
        return {UpdaterMode::LinkFile, commandLine};
    return {UpdaterMode::ComServer, commandLine};
}

void RunWorkflow(CParam& param)
{
    switch (param.GetRunType())
    {
    case 0:
        RunUpdateDialog(param);
        break;
    case 1:
        RunSetupDialog(param);
        break;
    case 2:
        RunDirectStart(param);
        break;
    case 3:
        RunSetupExDialog(param);
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

int RunLinkMode(const wchar_t* link, const wchar_t* linkFilePath)
{
    // The elevated copy gets the link text itself, so it runs without the link file.
    if (CheckElevation(link))
        return 0;
    CParam param;
    CUriParser parser(link);
    parser.Parse(&param);
    param.SetModalDialog(1);
    if (!CUriParser::CheckLinkFileTime(linkFilePath, param))
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

int RunLinkFileMode(const wchar_t* commandLine)
{
    // A file association passes the path in quotes; the quotes are no part of the name.
    std::wstring path = UnquotePath(commandLine);
    std::wstring link = CUriParser::ReadLinkFile(path.c_str());
    if (link.empty())
        return 0;
    return RunLinkMode(link.c_str(), path.c_str());
}

int RunCopyFileMode(const wchar_t* arguments)
{
    return RunFilePlacement(arguments);
}

int RunComServerMode(int /*showCommand*/)
{
    // The COM server (serving the loader control) is not built yet: nothing is served.
    return 0;
}
