#pragma once
// Bringing a window in front of the user, even when the system would rather flash it.
#include <windows.h>

// Brings the window to the foreground, borrowing the foreground thread's input when
// the plain request is refused. Nothing happens for a window already in front.
void ForceForeground(HWND window);
