#include "updater/ComServerMode.h"

#include <shlwapi.h>

#include "updater/NVPCLoader.h"
#include "updater/NVPCUpdaterModule.h"
#include "updater/ProgramEntry.h"

int RunComServerMode(int /*showCommand*/)
{
    CNVPCUpdaterModule module({{&CLSID_NVPCLoader, &MakeNVPCLoaderFactory}});
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
