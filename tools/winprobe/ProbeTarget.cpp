// A stand-in window for the probe's own test: first a message box, then a borderless
// dialog with owner-drawn controls. What it receives goes, one line each, to the file named
// on its command line; it ends after the dialog's button is clicked (or, at the latest,
// after a minute, so a failed test leaves no window behind).
//
//   ProbeTarget.exe RECORD_FILE
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "ProbeTargetRes.h"

namespace
{
const DWORD kLifetimeMs = 60000;
std::wstring g_record;

void Record(const std::string& line)
{
    HANDLE h = CreateFileW(g_record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(h);
}

DWORD WINAPI Watchdog(void*)
{
    Sleep(kLifetimeMs);
    Record("timeout");
    ExitProcess(4);
}

// Draws an owner-drawn control as a filled box with its window text, as the skinned
// dialogs do: the text a probe reads is the window text, not anything in the pixels.
void DrawItem(const DRAWITEMSTRUCT* item)
{
    bool button = item->CtlType == ODT_BUTTON;
    HBRUSH fill = CreateSolidBrush(button ? RGB(0x20, 0x60, 0xC0) : RGB(0xF0, 0xE0, 0x80));
    FillRect(item->hDC, &item->rcItem, fill);
    DeleteObject(fill);
    wchar_t text[128] = L"";
    GetWindowTextW(item->hwndItem, text, 128);
    RECT r = item->rcItem;
    SetBkMode(item->hDC, TRANSPARENT);
    SetTextColor(item->hDC, button ? RGB(0xFF, 0xFF, 0xFF) : RGB(0, 0, 0));
    DrawTextW(item->hDC, text, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG:
        // The resource compiler adds a caption bar with the caption; the skinned dialogs have
        // none, only their window text.
        SetWindowLongPtrW(dialog, GWL_STYLE,
                          GetWindowLongPtrW(dialog, GWL_STYLE) & ~static_cast<LONG_PTR>(WS_DLGFRAME));
        SetWindowPos(dialog, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
        SendDlgItemMessageW(dialog, IDC_PROBE_PROGRESS, PBM_SETRANGE32, 0, 100);
        SendDlgItemMessageW(dialog, IDC_PROBE_PROGRESS, PBM_SETPOS, 40, 0);
        SetForegroundWindow(dialog);
        return TRUE;
    case WM_DRAWITEM:
        DrawItem(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_PROBE_GO && HIWORD(wParam) == BN_CLICKED)
        {
            Record("clicked " + std::to_string(IDC_PROBE_GO));
            EndDialog(dialog, IDC_PROBE_GO);
        }
        else if (LOWORD(wParam) == IDCANCEL)
        {
            Record("cancelled");
            EndDialog(dialog, IDCANCEL);
        }
        return TRUE;
    }
    return FALSE;
}
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    if (__argc < 2)
        return 2;
    g_record = __wargv[1];
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));

    Record("started");
    int answer = MessageBoxW(nullptr, L"Go on to the dialog?", L"Probe Question", MB_YESNO | MB_ICONQUESTION);
    Record("msgbox " + std::to_string(answer));
    INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_PROBE_TARGET), nullptr, DialogProc, 0);
    Record("dialog " + std::to_string(static_cast<long long>(result)));
    return 0;
}
