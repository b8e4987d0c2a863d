#include "updater/ComServerMode.h"

#include <shlwapi.h>

#include "updater/NVPCUpdaterModule.h"
#include "updater/ProgramEntry.h"

int RunComServerMode(int /*showCommand*/)
{
    // The loader control's class object joins this list once the control is built; with
    // nothing to serve the server run ends at once.
    CNVPCUpdaterModule module({});
    return static_cast<int>(module.Run(::PathGetArgsW(::GetCommandLineW())));
}

// The updater's differences live beside its COM server, so that only the updater links it.
const ProgramTraits kUpdaterTraits = {
    /*emptyLineIsLink*/ false,
    /*testsLinkPrefix*/ true,
    /*checksLinkTime*/ true,
    /*logsCommandLine*/ false,
    /*comServer*/ RunComServerMode,
};
