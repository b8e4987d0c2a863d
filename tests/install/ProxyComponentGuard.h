#pragma once
// Test helpers around the proxy settings component (tools/proxysettings): register or
// unregister it in the prefix and put back what was there before; keep its settings in
// a private file; stand in for it inside the test program; drive its settings dialog.
#include <windows.h>

#include <string>

#include "common/ComPtr.h"
#include "common/ProxySettings.h"
#include "support/TestSupport.h"
#include "support/WindowDriver.h"
#include "tools/proxysettings/ProxySettingsRes.h" // the settings dialog's controls

// The caption of the component's settings dialog.
extern const wchar_t kProxySettingsCaption[];

// Registers/unregisters NvpcProxySettings.dll (beside the test program) per machine and
// restores the registration found at construction when destroyed.
class ProxyComponentGuard
{
  public:
    ProxyComponentGuard();
    ~ProxyComponentGuard();
    ProxyComponentGuard(const ProxyComponentGuard&) = delete;
    ProxyComponentGuard& operator=(const ProxyComponentGuard&) = delete;

    bool Register();
    bool Unregister();
    // The in-process server path registered now, or "" when none.
    static std::wstring RegisteredPath();

  private:
    HRESULT Call(HMODULE module, const char* name);
    std::wstring m_previousPath; // "" when nothing was registered
    HMODULE m_module = nullptr;
};

// Points the component at a settings file of its own for the guard's lifetime.
class ProxySettingsFileGuard
{
  public:
    ProxySettingsFileGuard();
    const std::wstring& file() const { return m_file; }

  private:
    TempDir m_dir;
    std::wstring m_file;
    EnvGuard m_env;
};

// Stands in for the component on this thread while it lives (COM must be initialised):
// a class object registered in the process wins over the registry, so it can give the
// answers the real component never gives (no interface, null strings, failures).
class FakeProxyComponent
{
  public:
    struct Answers
    {
        bool noInterface = false; // creation succeeds without an interface
        HRESULT show = S_OK;      // ShowSettings
        HRESULT get = S_OK;       // GetSettings; the values below are handed out whatever it is
        short type = 0;
        const wchar_t* host = nullptr; // null: a null string
        short port = 0;
        const wchar_t* user = nullptr;
        const wchar_t* password = nullptr;
    };
    struct Counts
    {
        int creations = 0;
        int shows = 0;
        int gets = 0;
        LONG live = 0; // objects not released yet
    };

    explicit FakeProxyComponent(const Answers& answers);
    ~FakeProxyComponent();
    FakeProxyComponent(const FakeProxyComponent&) = delete;
    FakeProxyComponent& operator=(const FakeProxyComponent&) = delete;
    bool registered() const { return m_cookie != 0; }
    const Counts& counts() const;

  private:
    ComPtr<IClassFactory> m_factory;
    DWORD m_cookie = 0;
};

// Selects the settings dialog's proxy type entry whose data is type.
void SelectProxyType(HWND settings, int type);
