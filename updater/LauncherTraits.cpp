#include "updater/ProgramEntry.h"

// The launcher: no COM server, every command line that is no switch is a link, and a
// link's validity window is not applied.
const ProgramTraits kLauncherTraits = {
    /*emptyLineIsLink*/ true,
    /*testsLinkPrefix*/ false,
    /*checksLinkTime*/ false,
    /*logsCommandLine*/ true,
    /*comServer*/ nullptr,
};
