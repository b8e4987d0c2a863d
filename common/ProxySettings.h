#pragma once
// Access to the proxy settings component: an outside COM component that holds the
// proxy the servers and downloads are reached through, and shows its own settings UI.
// We only rely on its class and interface identifiers and on its two methods, in the
// order declared below (the vtable order is the contract).
#include <objbase.h>
#include <oaidl.h>

#include <string>

// {670EAF1F-C353-4CC6-927F-E435F84B0EF3}
inline const CLSID CLSID_NvpcProxySettings = {
    0x670EAF1F, 0xC353, 0x4CC6, {0x92, 0x7F, 0xE4, 0x35, 0xF8, 0x4B, 0x0E, 0xF3}};
// {A650AA60-81C4-420A-9AF0-F1CEE3A22F1E}
inline const IID IID_INvpcProxySettings = {
    0xA650AA60, 0x81C4, 0x420A, {0x9A, 0xF0, 0xF1, 0xCE, 0xE3, 0xA2, 0x2F, 0x1E}};

// Dual interface: the seven IUnknown/IDispatch slots, then these two.
struct INvpcProxySettings : public IDispatch
{
    // Shows the component's settings UI; returns when the user is done.
    virtual HRESULT STDMETHODCALLTYPE ShowSettings() = 0;
    // Proxy type (0 direct, 1 HTTP CONNECT, 4 SOCKS4, 5 SOCKS5), host, port, user, password.
    // The caller frees the three strings with SysFreeString.
    virtual HRESULT STDMETHODCALLTYPE GetSettings(short* type, BSTR* host, short* port, BSTR* user,
                                                  BSTR* password) = 0;
};
// For __uuidof, which the COM toolkit's interface tables use; the same value as above.
__CRT_UUID_DECL(INvpcProxySettings, 0xA650AA60, 0x81C4, 0x420A, 0x9A, 0xF0, 0xF1, 0xCE, 0xE3, 0xA2, 0x2F,
                0x1E)

// What GetSettings returned, with null strings read as empty.
struct ProxySettingsValues
{
    short type = 0;
    std::wstring host;
    short port = 0;
    std::wstring user;
    std::wstring password;
};

// CoCreateInstance in every class context, no aggregation. Returns the creation result;
// *out may still be null on success (a component that gives no interface), in which
// case the caller treats it as present but unusable. Needs COM initialised on the thread.
HRESULT CreateProxySettings(INvpcProxySettings** out);

// Create, GetSettings, release. Returns the creation error, E_NOINTERFACE when no
// interface came back, or GetSettings' result. values are filled only when the result is
// not negative; on every failure the caller's values (the record's) stay as they were.
HRESULT ReadProxySettings(ProxySettingsValues& values);
