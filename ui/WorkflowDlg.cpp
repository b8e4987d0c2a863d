#include "ui/WorkflowDlg.h"

#include <commctrl.h>

#include "params/Param.h"
#include "ui/ComeExeWareUtil.h"
#include "ui/SkinSet.h"
#include "ui/StringTable.h"

namespace
{
int g_openDialogs = 0; // the dialogs' thread only

// One control of the layout: the anchor of each edge and its offset (see AnchoredRect).
struct LayoutEntry
{
    int id;
    int anchors[4];
    RECT offsets;
};

const LayoutEntry kLayout[] = {
    {IDC_STATUS_TEXT, {ANCHOR_LEFT, ANCHOR_TOP, ANCHOR_RIGHT, ANCHOR_TOP}, {20, 45, 20, 80}},
    {IDC_LAYOUT_FIRST_BAR, {ANCHOR_LEFT, ANCHOR_TOP, ANCHOR_RIGHT, ANCHOR_TOP}, {20, 85, 20, 105}},
    {IDC_LAYOUT_SECOND_BAR, {ANCHOR_LEFT, ANCHOR_TOP, ANCHOR_RIGHT, ANCHOR_TOP}, {20, 115, 20, 135}},
    // The corner only; the size comes from the button's faces.
    {IDC_CANCEL_BUTTON, {ANCHOR_RIGHT, ANCHOR_BOTTOM, 0, 0}, {115, 40, 0, 0}},
};

const COLORREF kTextColor = RGB(51, 51, 51);
const COLORREF kStatusBackground = RGB(247, 247, 247);
const COLORREF kButtonText = RGB(255, 255, 255);
const int kFaceWidth = 94;
const int kFaceHeight = 26;

void InitProgressClass()
{
    static bool done = false;
    if (done)
        return;
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
    done = ::InitCommonControlsEx(&icc) != FALSE;
}

int BarLayoutId(int bar)
{
    return bar == IDC_PROGRESS_FIRST ? IDC_LAYOUT_FIRST_BAR : IDC_LAYOUT_SECOND_BAR;
}
} // namespace

int OpenWorkflowDialogs()
{
    return g_openDialogs;
}

void ResetOpenWorkflowDialogs()
{
    g_openDialogs = 0;
}

CWorkflowDlg::CWorkflowDlg(CParam* param, HINSTANCE module, WorkflowKind kind, IWorkflowProcesses* processes)
    : m_param(param), m_workflow(param, this, kind, processes), m_module(module)
{
}

INT_PTR CWorkflowDlg::RunModal(HWND owner)
{
    InitProgressClass();
    return DoModal(m_module, MAKEINTRESOURCEW(IDD_SKIN_DIALOG), owner);
}

HWND CWorkflowDlg::CreateModeless(HWND owner)
{
    InitProgressClass();
    HWND window = Create(m_module, MAKEINTRESOURCEW(IDD_SKIN_DIALOG), owner);
    if (window)
        ::ShowWindow(window, SW_SHOW);
    return window;
}

RECT CWorkflowDlg::LayoutRect(int id, int width, int height)
{
    RECT parent = {0, 0, width, height};
    for (const LayoutEntry& entry : kLayout)
    {
        if (entry.id != id)
            continue;
        RECT r = AnchoredRect(entry.anchors[0], entry.anchors[1], entry.anchors[2], entry.anchors[3], parent,
                              entry.offsets);
        if (id == IDC_CANCEL_BUTTON)
        {
            r.right = r.left + kFaceWidth;
            r.bottom = r.top + kFaceHeight;
        }
        return r;
    }
    return RECT{0, 0, 0, 0};
}

int CWorkflowDlg::HeightFor(bool first, bool second)
{
    if (!first && !second)
        return kFullHeight - 2 * kBarStep;
    if (first && !second)
        return kFullHeight - kBarStep;
    return kFullHeight;
}

INT_PTR CWorkflowDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg)
    {
    case WM_INITDIALOG:
        InitDialog();
        return TRUE;
    case WM_TIMER:
        m_workflow.OnTimer(static_cast<UINT>(wParam));
        SetMsgResult(1);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_CANCEL_BUTTON && HIWORD(wParam) == BN_CLICKED)
        {
            m_workflow.OnCancel();
            SetMsgResult(0);
            return TRUE;
        }
        break;
    case WM_DESTROY:
    {
        if (m_counted)
        {
            --g_openDialogs;
            m_counted = false;
        }
        m_workflow.OnDestroy();
        if (m_status.hwnd())
        {
            HWND status = m_status.hwnd();
            m_status.Detach();
            ::DestroyWindow(status);
        }
        m_cancel.Detach();
        ::SendMessageW(hwnd(), WM_SETICON, ICON_BIG, 0);
        if (m_icon)
        {
            ::DestroyIcon(m_icon);
            m_icon = nullptr;
        }
        CAtlGdipDlg::OnMessage(msg, wParam, lParam);
        return TRUE;
    }
    default:
        break;
    }
    return CAtlGdipDlg::OnMessage(msg, wParam, lParam);
}

void CWorkflowDlg::InitDialog()
{
    // Sized before the base centres the window, so that it is centred at its real size.
    ::SetWindowPos(hwnd(), nullptr, 0, 0, kWidth, kFullHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    CAtlGdipDlg::OnMessage(WM_INITDIALOG, 0, 0);
    ++g_openDialogs;
    m_counted = true;

    m_icon =
        static_cast<HICON>(::LoadImageW(m_module, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                        ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0));
    if (m_icon)
        ::SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    SetCaptionRect(RECT{22, 8, 600, 28});
    SetCaptionColor(kTextColor);
    SetCaptionAlign(DT_LEFT);
    SetCornerEllipse(6, 6);
    ::SendMessageW(hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(GetSkinFont(SKIN_FONT_BOLD).font), FALSE);

    bool setup = m_workflow.Kind() == WORKFLOW_SETUP || m_workflow.Kind() == WORKFLOW_SETUP_EX;
    std::wstring title =
        CStringTable::Format(setup ? IDS_SETUP_CAPTION : IDS_UPDATER_CAPTION, m_param->GetTitle());
    ::SetWindowTextW(hwnd(), title.c_str());
    HFONT normal = GetSkinFont(SKIN_FONT_NORMAL).font;

    RECT r = LayoutRect(IDC_STATUS_TEXT, kWidth, kFullHeight);
    std::wstring first = CStringTable::Load(setup ? IDS_CHECK_INSTALLED : IDS_CHECK_UPDATE);
    HWND status =
        ::CreateWindowExW(0, L"Static", first.c_str(), WS_CHILD | WS_VISIBLE | SS_OWNERDRAW, r.left, r.top,
                          r.right - r.left, r.bottom - r.top, hwnd(),
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS_TEXT)), m_module, nullptr);
    if (status && m_status.Attach(status))
    {
        m_status.SetFlags(m_status.flags() & ~(DT_CENTER | DT_RIGHT | DT_SINGLELINE));
        m_status.SetTextColor(kTextColor);
        m_status.SetBackgroundColor(kStatusBackground);
        ::SendMessageW(status, WM_SETFONT, reinterpret_cast<WPARAM>(normal), FALSE);
    }

    for (int bar : {IDC_PROGRESS_FIRST, IDC_PROGRESS_SECOND})
    {
        HWND control = ::GetDlgItem(hwnd(), bar);
        if (!control)
            continue;
        RECT b = LayoutRect(BarLayoutId(bar), kWidth, kFullHeight);
        ::MoveWindow(control, b.left, b.top, b.right - b.left, b.bottom - b.top, FALSE);
        ::ShowWindow(control, SW_HIDE);
        ::SendMessageW(control, PBM_SETRANGE32, 0, 100);
    }
    FitHeight(HeightFor(false, false));

    int height = HeightFor(false, false);
    RECT c = LayoutRect(IDC_CANCEL_BUTTON, kWidth, height);
    std::wstring cancelText = CStringTable::Load(IDS_CANCEL);
    HWND cancel = ::CreateWindowExW(0, L"Button", cancelText.c_str(), WS_CHILD | WS_VISIBLE | BS_OWNERDRAW,
                                    c.left, c.top, c.right - c.left, c.bottom - c.top, hwnd(),
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_CANCEL_BUTTON)),
                                    m_module, nullptr);
    if (cancel && m_cancel.Attach(cancel))
    {
        if (const SkinImage* faces = FindSkinImage(IDB_SKIN_BUTTONS))
            m_cancel.SetFaces(faces->bitmap, faces->count);
        m_cancel.SetTextColor(kButtonText);
        m_cancel.SetMargins(0, 5, 0, 5);
        ::SendMessageW(cancel, WM_SETFONT, reinterpret_cast<WPARAM>(normal), FALSE);
    }
    m_workflow.Start();
}

void CWorkflowDlg::FitHeight(int height)
{
    RECT client = {};
    ::GetClientRect(hwnd(), &client);
    if (client.bottom != height || client.right != kWidth)
    {
        RECT window = {};
        ::GetWindowRect(hwnd(), &window);
        // The frame, if any, stays around the client area.
        int frameW = (window.right - window.left) - client.right;
        int frameH = (window.bottom - window.top) - client.bottom;
        ::SetWindowPos(hwnd(), nullptr, 0, 0, kWidth + frameW, height + frameH,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (HWND cancel = ::GetDlgItem(hwnd(), IDC_CANCEL_BUTTON))
        {
            RECT c = LayoutRect(IDC_CANCEL_BUTTON, kWidth, height);
            ::SetWindowPos(cancel, nullptr, c.left, c.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        ::RedrawWindow(hwnd(), nullptr, nullptr,
                       RDW_UPDATENOW | RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
    }
}

void CWorkflowDlg::ShowBars(bool first, bool second)
{
    ::ShowWindow(::GetDlgItem(hwnd(), IDC_PROGRESS_FIRST), first ? SW_SHOW : SW_HIDE);
    ::ShowWindow(::GetDlgItem(hwnd(), IDC_PROGRESS_SECOND), second ? SW_SHOW : SW_HIDE);
    FitHeight(HeightFor(first, second));
}

void CWorkflowDlg::FitFullHeight()
{
    FitHeight(kFullHeight);
}

void CWorkflowDlg::SetStatus(const std::wstring& text)
{
    if (HWND status = ::GetDlgItem(hwnd(), IDC_STATUS_TEXT))
    {
        ::SetWindowTextW(status, text.c_str());
        ::InvalidateRect(status, nullptr, TRUE);
    }
}

void CWorkflowDlg::EndWorkflow()
{
    if (Alive())
        End(2);
}

int CWorkflowDlg::ShowBox(const std::wstring& text, const std::wstring& caption, UINT type)
{
    return ::MessageBoxW(hwnd(), text.c_str(), caption.c_str(), type);
}

int CWorkflowDlg::ShowProxyBox(const std::wstring& text, const std::wstring& caption)
{
    CComeExeWareUtil util;
    return util.ProxyMessageBox(hwnd(), text.c_str(), caption.c_str());
}

// The workers call these two: posted, so that a worker never waits for this thread.
void CWorkflowDlg::SetBarRange(int bar, int maximum)
{
    if (HWND control = ::GetDlgItem(hwnd(), bar))
        ::PostMessageW(control, PBM_SETRANGE32, 0, maximum);
}

void CWorkflowDlg::SetBarPos(int bar, int position)
{
    if (HWND control = ::GetDlgItem(hwnd(), bar))
        ::PostMessageW(control, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void CWorkflowDlg::ArmTimer(UINT id, UINT ms)
{
    ::SetTimer(hwnd(), id, ms, nullptr);
}

void CWorkflowDlg::KillWorkflowTimer(UINT id)
{
    ::KillTimer(hwnd(), id);
}
