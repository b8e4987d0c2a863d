#include "install/Elevation.h"

#include "common/Handles.h"
#include "install/Process.h"
#include "install/SystemQueries.h"

namespace
{
// Reads one DWORD-sized token property of this process.
bool QueryTokenDword(TOKEN_INFORMATION_CLASS cls, DWORD* value)
{
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return false;
    DWORD answer = 0, returned = 0;
    if (!CurrentSystemQueries().getTokenInformation(token.get(), cls, &answer, sizeof answer, &returned))
        return false;
    *value = answer;
    return true;
}
} // namespace

bool IsNt6OrLater()
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return CurrentSystemQueries().getVersionEx(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           info.dwMajorVersion > 5;
}

HRESULT IsElevated(BOOL* elevated)
{
    if (!elevated)
        return E_POINTER;
    DWORD value = 0;
    if (!QueryTokenDword(TokenElevation, &value))
        return E_FAIL;
    *elevated = value ? 1 : 0;
    return value ? S_OK : S_FALSE;
}

HRESULT QueryElevationType(TOKEN_ELEVATION_TYPE* type)
{
    if (!type)
        return E_POINTER;
    DWORD value = 0;
    if (!QueryTokenDword(TokenElevationType, &value))
        return E_FAIL;
    *type = static_cast<TOKEN_ELEVATION_TYPE>(value);
    return S_OK;
}

bool NeedsElevatedRelaunch()
{
    if (!IsNt6OrLater())
        return false;
    TOKEN_ELEVATION_TYPE type;
    if (FAILED(QueryElevationType(&type)))
        return false;
    BOOL elevated = FALSE;
    return IsElevated(&elevated) == S_FALSE;
}

bool CheckElevation(const wchar_t* params)
{
    return NeedsElevatedRelaunch() && proc::RelaunchElevated(nullptr, params);
}
