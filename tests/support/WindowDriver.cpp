#include "support/WindowDriver.h"

#include <cwchar>

namespace
{
UiScript* g_script = nullptr;

struct FindData
{
    DWORD processId; // 0: the windows of this thread
    const wchar_t* className;
    const wchar_t* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM lParam)
{
    FindData* data = reinterpret_cast<FindData*>(lParam);
    if (!IsWindowVisible(window))
        return TRUE;
    if (data->processId)
    {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid != data->processId)
            return TRUE;
    }
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, ARRAYSIZE(cls));
    if (data->className && wcscmp(cls, data->className) != 0)
        return TRUE;
    if (data->caption && WindowText(window) != data->caption)
        return TRUE;
    data->found.push_back(window);
    return TRUE;
}

std::vector<HWND> Collect(DWORD processId, const wchar_t* className, const wchar_t* caption)
{
    FindData data = {processId, className, caption, {}};
    if (processId)
        EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&data));
    else
        EnumThreadWindows(GetCurrentThreadId(), CollectWindow, reinterpret_cast<LPARAM>(&data));
    return data.found;
}

BOOL CALLBACK CollectButton(HWND child, LPARAM lParam)
{
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, ARRAYSIZE(cls));
    if (_wcsicmp(cls, L"Button") == 0 && IsWindowVisible(child))
        reinterpret_cast<std::vector<int>*>(lParam)->push_back(GetDlgCtrlID(child));
    return TRUE;
}
} // namespace

UiScript::UiScript(DWORD deadlineMs) : m_deadline(GetTickCount() + deadlineMs)
{
    g_script = this;
    m_timer = SetTimer(nullptr, 0, 15, &UiScript::OnTimer);
}

UiScript::~UiScript()
{
    if (m_timer)
        KillTimer(nullptr, m_timer);
    if (g_script == this)
        g_script = nullptr;
}

void UiScript::Add(const std::wstring& name, Step step)
{
    m_steps.emplace_back(name, std::move(step));
}

void CALLBACK UiScript::OnTimer(HWND, UINT, UINT_PTR, DWORD)
{
    if (g_script)
        g_script->Tick();
}

void UiScript::Tick()
{
    // A step may itself pump messages (a message box of the subject): no re-entry.
    if (m_inTick)
        return;
    m_inTick = true;
    if (!m_failed && m_next < m_steps.size())
    {
        if (m_steps[m_next].second())
            ++m_next;
        else if ((LONG)(GetTickCount() - m_deadline) > 0)
        {
            m_failed = true;
            m_failedStep = m_steps[m_next].first;
        }
    }
    if (m_failed)
    {
        for (HWND dialog : ThreadDialogs())
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        for (HWND dialog : ThreadDialogs())
            PostMessageW(dialog, WM_CLOSE, 0, 0);
    }
    m_inTick = false;
}

UiScript::Step ClickWhenShown(const std::wstring& caption, int buttonId, std::function<void(HWND)> inspect)
{
    return [caption, buttonId, inspect]
    {
        HWND dialog = FindThreadWindow(L"#32770", caption.c_str());
        if (!dialog)
            return false;
        if (inspect)
            inspect(dialog);
        ClickButton(dialog, buttonId);
        return true;
    };
}

UiScript::Step ClickWheneverShown(const std::wstring& caption, int buttonId, bool* seen)
{
    return [caption, buttonId, seen]
    {
        if (HWND dialog = FindThreadWindow(L"#32770", caption.c_str()))
        {
            *seen = true;
            ClickButton(dialog, buttonId);
        }
        return false;
    };
}

HWND FindThreadWindow(const wchar_t* className, const wchar_t* caption)
{
    std::vector<HWND> found = Collect(0, className, caption);
    return found.empty() ? nullptr : found.front();
}

HWND FindProcessWindow(DWORD processId, const wchar_t* className, const wchar_t* caption)
{
    if (!processId)
        return nullptr;
    std::vector<HWND> found = Collect(processId, className, caption);
    return found.empty() ? nullptr : found.front();
}

std::vector<HWND> ThreadDialogs()
{
    return Collect(0, L"#32770", nullptr);
}

std::wstring WindowText(HWND window)
{
    wchar_t buf[2048] = {};
    int n = GetWindowTextW(window, buf, ARRAYSIZE(buf));
    return std::wstring(buf, n > 0 ? n : 0);
}

RECT ChildRect(HWND child)
{
    RECT r = {};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::vector<int> VisibleButtonIds(HWND dialog)
{
    std::vector<int> ids;
    EnumChildWindows(dialog, CollectButton, reinterpret_cast<LPARAM>(&ids));
    return ids;
}

void ClickButton(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}
