#include "ui/Foreground.h"

void ForceForeground(HWND window)
{
    if (!window)
        return;
    if (::GetForegroundWindow() == window)
        return;
    if (!::SetForegroundWindow(window))
    {
        HWND foreground = ::GetForegroundWindow();
        if (!foreground)
            foreground = ::FindWindowW(L"Shell_TrayWnd", nullptr);
        DWORD from = foreground ? ::GetWindowThreadProcessId(foreground, nullptr) : 0;
        DWORD to = ::GetWindowThreadProcessId(window, nullptr);
        // Sharing the foreground thread's input state lets the request through.
        bool attached = from && to && from != to && ::AttachThreadInput(from, to, TRUE);
        ::SetForegroundWindow(window);
        if (attached)
            ::AttachThreadInput(from, to, FALSE);
    }
    ::BringWindowToTop(window);
}
