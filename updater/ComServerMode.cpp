#include "updater/ComServerMode.h"

#include "updater/ProgramEntry.h"

int RunComServerMode(int /*showCommand*/)
{
    // The COM server (serving the loader control) is not built yet: nothing is served.
    return 0;
}

// The updater's differences live beside its COM server, so that only the updater links it.
const ProgramTraits kUpdaterTraits = {
    /*emptyLineIsLink*/ false,
    /*testsLinkPrefix*/ true,
    /*checksLinkTime*/ true,
    /*logsCommandLine*/ false,
    /*comServer*/ RunComServerMode,
};
