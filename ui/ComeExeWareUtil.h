#pragma once
// Calls around the proxy settings component: showing its settings, reading them, and
// the failure message box that offers the settings when the component is present.
// Stateless: callers create one on the stack around the call.
#include <windows.h>

#include "common/ProxySettings.h"

class CComeExeWareUtil
{
  public:
    CComeExeWareUtil() = default;
    virtual ~CComeExeWareUtil();

    // Creates the component and calls ShowSettings. Returns its result, 1 when the
    // component gave no interface, or the creation error.
    HRESULT ShowProxySettings();

    // The component's settings (see ReadProxySettings for the result and which values
    // are filled).
    HRESULT GetProxySettings(ProxySettingsValues& values);

    // Without the component: a plain MB_OK box. With it: MB_RETRYCANCEL, the Retry button
    // relabelled with string 218 and widened 20 pixels to the left; choosing it shows
    // the settings. Returns the message box's result. Runs on the UI thread.
    int ProxyMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption);
};
