#include "ui/WebPopupBrowser.h"

#include <oleauto.h>

#include <cwchar>
#include <string>

#include "common/BstrVariant.h"
#include "common/ComPtr.h"
#include "common/Log.h"

namespace
{
bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix)
{
    for (; *prefix; ++text, ++prefix)
    {
        wchar_t c = *text;
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != *prefix)
            return false; // also at the end of text
    }
    return true;
}

bool IsControl(wchar_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// A web address the browser can only fetch: a scheme that starts no program and reads
// no local file, and a host right after the slashes ("http:///c:/x" and "http://\\x"
// fall back to local paths in some browsers). Control characters are refused as well:
// browsers drop some of them silently, so what is checked would not be what is opened.
bool IsWebAddress(const wchar_t* url)
{
    if (!url)
        return false;
    size_t hostAt = 0;
    if (StartsWithNoCase(url, L"http://"))
        hostAt = 7;
    else if (StartsWithNoCase(url, L"https://"))
        hostAt = 8;
    else
        return false;
    wchar_t first = url[hostAt];
    if (first == L'\0' || first == L'/' || first == L'\\' || first == L'?' || first == L'#')
        return false;
    for (const wchar_t* p = url; *p; ++p)
    {
        if (IsControl(*p))
            return false;
    }
    return true;
}

// The refused text for the log: a line break or escape in it must not forge log lines.
std::wstring Printable(const wchar_t* url)
{
    std::wstring text = url ? url : L"";
    for (wchar_t& c : text)
    {
        if (IsControl(c))
            c = L'?';
    }
    return text;
}

// A VARIANT holding a copy of text; false when the system has no memory for it.
bool SetString(UniqueVariant& value, const wchar_t* text)
{
    BSTR copy = ::SysAllocString(text);
    if (!copy)
        return false;
    value.reset();
    value->vt = VT_BSTR;
    value->bstrVal = copy;
    return true;
}
} // namespace

HRESULT CWebPopupBrowser::CreateBrowser(IWebBrowser2** browser)
{
    return ::CoCreateInstance(CLSID_InternetExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IWebBrowser2,
                              reinterpret_cast<void**>(browser));
}

HRESULT CWebPopupBrowser::Open(const wchar_t* url, LONG width, LONG height)
{
    if (!IsWebAddress(url))
    {
        WriteLog(LOG_INFO, L"CWebPopupBrowser::Open : refused %s", Printable(url).c_str());
        return E_INVALIDARG;
    }

    ComPtr<IWebBrowser2> browser;
    HRESULT hr = CreateBrowser(browser.put());
    if (FAILED(hr))
        return hr;
    if (!browser)
        return E_POINTER;

    UniqueVariant address, flags, target, postData, headers;
    if (!SetString(address, url) || !SetString(target, L"_self"))
        return E_OUTOFMEMORY;

    // Bars and size are wishes: a browser that does not know one still opens the page.
    if (width != 0)
        browser->put_Width(width);
    if (height != 0)
        browser->put_Height(height);
    browser->put_AddressBar(VARIANT_TRUE);
    browser->put_MenuBar(VARIANT_FALSE);
    browser->put_StatusBar(VARIANT_FALSE);
    browser->put_ToolBar(FALSE);

    hr = browser->Navigate2(address.get(), flags.get(), target.get(), postData.get(), headers.get());
    if (FAILED(hr))
        return hr; // the invisible browser goes with the last reference

    browser->put_Visible(VARIANT_TRUE);
    SHANDLE_PTR window = 0;
    if (SUCCEEDED(browser->get_HWND(&window)) && window)
        ::SetWindowPos(reinterpret_cast<HWND>(window), nullptr, 0, 0, 0, 0,
                       SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE);
    return S_OK;
}
