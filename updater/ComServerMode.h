#pragma once
// Everything that is no switch of the updater's: the loader control's COM server module
// runs here once it exists; until then the mode is recognised and does nothing.
int RunComServerMode(int showCommand);
