// "/Proxy": the proxy settings dialog with the component registered, nothing without it;
// in-process and through the real program.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include "install/ProxyComponentGuard.h"
#include "support/TestSupport.h"
#include "updater/ProxyMode.h"

namespace
{
class ProxyMode : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
    ProxyComponentGuard registration;
    ProxySettingsFileGuard settingsFile;
};

// Starts the updater with "/Proxy"; when a settings window of it shows up, cancels it.
// Returns the exit code (-1 when it did not end in time); *shown tells whether the
// dialog appeared.
int RunUpdaterProxy(bool* shown)
{
    std::wstring exe = ModuleFolder() + L"\\NVPCUpdater.exe";
    std::wstring cmd = L"\"" + exe + L"\" /Proxy";
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -2;
    CloseHandle(pi.hThread);
    *shown = false;
    DWORD code = static_cast<DWORD>(-1);
    for (int i = 0; i < 500; ++i)
    {
        if (WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0)
        {
            GetExitCodeProcess(pi.hProcess, &code);
            break;
        }
        if (HWND settings = FindProcessWindow(pi.dwProcessId, nullptr, kProxySettingsCaption))
        {
            *shown = true;
            ClickButton(settings, IDCANCEL);
        }
    }
    if (code == static_cast<DWORD>(-1))
        TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}
} // namespace

TEST_F(ProxyMode, ShowsTheSettingsWhenTheComponentIsThere)
{
    ASSERT_TRUE(registration.Register());
    bool shown = false;
    UiScript script;
    script.Add(L"settings shown",
               ClickWhenShown(kProxySettingsCaption, IDCANCEL, [&](HWND) { shown = true; }));
    EXPECT_EQ(RunProxyMode(), 0);
    EXPECT_FALSE(script.failed()) << WideToUtf8(script.failedStep());
    EXPECT_TRUE(shown);
}

TEST_F(ProxyMode, DoesNothingWithoutTheComponent)
{
    ASSERT_TRUE(registration.Unregister());
    bool shown = false;
    UiScript script;
    script.Add(L"watch for settings", ClickWheneverShown(kProxySettingsCaption, IDCANCEL, &shown));
    EXPECT_EQ(RunProxyMode(), 0);
    EXPECT_FALSE(shown);
}

TEST_F(ProxyMode, UpdaterProgramShowsTheSettingsOnlyWithTheComponent)
{
    ASSERT_TRUE(registration.Register());
    bool shown = false;
    EXPECT_EQ(RunUpdaterProxy(&shown), 0);
    EXPECT_TRUE(shown) << "the settings dialog of the updater process did not appear";

    ASSERT_TRUE(registration.Unregister());
    EXPECT_EQ(RunUpdaterProxy(&shown), 0);
    EXPECT_FALSE(shown);
}
