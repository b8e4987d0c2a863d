// NVPCUpdater: entry point of the updater program. The run itself is the shared entry
// of both programs; the updater's differences are its traits.
#include <windows.h>

#include "updater/ProgramEntry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand)
{
    return RunProgram(kUpdaterTraits, instance, commandLine, showCommand);
}
