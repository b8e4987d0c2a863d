#include "install/SystemState.h"

#include <wininet.h>

#include "common/Handles.h"

const wchar_t kClientMutexName[] = L"_Calderix_Norvane_No_1";

bool FileExists(const wchar_t* pathOrPattern)
{
    if (!pathOrPattern || !*pathOrPattern)
        return false;
    WIN32_FIND_DATAW data;
    UniqueFind find(::FindFirstFileW(pathOrPattern, &data));
    return find.valid();
}

bool IsClientRunning()
{
    UniqueHandle mutex(::CreateMutexW(nullptr, TRUE, kClientMutexName));
    DWORD error = ::GetLastError();
    // A client started with other rights may own a mutex we may not open: it exists all
    // the same, so that counts as running too.
    return error == ERROR_ALREADY_EXISTS || (!mutex && error == ERROR_ACCESS_DENIED);
}

int IsSystemProxyEnabled()
{
    INTERNET_PER_CONN_OPTIONW option = {};
    option.dwOption = INTERNET_PER_CONN_FLAGS;
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.pszConnection = nullptr; // the LAN settings
    list.dwOptionCount = 1;
    list.pOptions = &option;
    DWORD size = sizeof list;
    if (!::InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size))
        return 0;
    return (option.Value.dwValue & PROXY_TYPE_PROXY) ? 1 : 0;
}
