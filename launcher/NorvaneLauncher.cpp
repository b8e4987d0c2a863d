// NorvaneLauncher: entry point of the launcher program. It runs the same entry as the
// updater; what the launcher does differently (no COM server, every other command line
// is a link, no link validity window) is all in its traits.
#include <windows.h>

#include "updater/ProgramEntry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand)
{
    return RunProgram(kLauncherTraits, instance, commandLine, showCommand);
}
