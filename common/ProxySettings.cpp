#include "common/ProxySettings.h"

namespace
{
// Owns a BSTR out-argument until it has been copied.
class BstrHolder
{
  public:
    BstrHolder() = default;
    ~BstrHolder() { ::SysFreeString(m_s); }
    BstrHolder(const BstrHolder&) = delete;
    BstrHolder& operator=(const BstrHolder&) = delete;
    BSTR* put()
    {
        ::SysFreeString(m_s);
        m_s = nullptr;
        return &m_s;
    }
    std::wstring str() const { return m_s ? std::wstring(m_s, ::SysStringLen(m_s)) : std::wstring(); }

  private:
    BSTR m_s = nullptr;
};
} // namespace

HRESULT CreateProxySettings(INvpcProxySettings** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return ::CoCreateInstance(CLSID_NvpcProxySettings, nullptr, CLSCTX_ALL, IID_INvpcProxySettings,
                              reinterpret_cast<void**>(out));
}

HRESULT ReadProxySettings(ProxySettingsValues& values)
{
    INvpcProxySettings* component = nullptr;
    HRESULT hr = CreateProxySettings(&component);
    if (FAILED(hr))
        return hr;
    // A component that gives no interface has no settings to tell: the caller keeps its
    // own, exactly as when there is no component at all.
    if (!component)
        return E_NOINTERFACE;
    short type = 0, port = 0;
    BstrHolder host, user, password;
    hr = component->GetSettings(&type, host.put(), &port, user.put(), password.put());
    component->Release();
    if (hr >= 0)
    {
        values.type = type;
        values.host = host.str();
        values.port = port;
        values.user = user.str();
        values.password = password.str();
    }
    return hr;
}
