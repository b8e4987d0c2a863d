// NVPCUpdater: entry point of the updater program. Starts the shared services, runs
// the one mode the command line selects, and shuts the services down again.
#include <windows.h>
#include <objbase.h>

#include "common/Log.h"
#include "net/MngrSocket.h"
#include "updater/ProxyMode.h"
#include "updater/UpdaterModes.h"

namespace
{
// The shared services around one run, started and ended in a fixed order.
class UpdaterServices
{
  public:
    explicit UpdaterServices(HINSTANCE instance)
    {
        InitLog(); // before COM, so that everything after it can log
        SetUpdaterInstance(instance);
        m_com = SUCCEEDED(CoInitialize(nullptr));
        CMngrSocket::InitNetwork();
    }
    ~UpdaterServices()
    {
        CMngrSocket::ReleaseNetwork();
        if (m_com)
            CoUninitialize();
    }
    UpdaterServices(const UpdaterServices&) = delete;
    UpdaterServices& operator=(const UpdaterServices&) = delete;

  private:
    bool m_com = false;
};

int RunMode(const wchar_t* commandLine, int showCommand)
{
    UpdaterModeChoice choice = ChooseUpdaterMode(commandLine);
    switch (choice.mode)
    {
    case UpdaterMode::None:
        return 0;
    case UpdaterMode::Loader:
        return RunLoaderMode();
    case UpdaterMode::Proxy:
        return RunProxyMode();
    case UpdaterMode::CopyFile:
        return RunCopyFileMode(choice.argument);
    case UpdaterMode::Link:
        return RunLinkMode(choice.argument, nullptr);
    case UpdaterMode::LinkFile:
        return RunLinkFileMode(choice.argument);
    case UpdaterMode::ComServer:
        return RunComServerMode(showCommand);
    }
    return 0;
}
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand)
{
    int exitCode = 0;
    UpdaterServices services(instance);
    try
    {
        exitCode = RunMode(commandLine, showCommand);
    }
    catch (...)
    {
        // Nothing escapes the entry point; the command-line modes end with 0 anyway.
        exitCode = 0;
    }
    return exitCode;
}
