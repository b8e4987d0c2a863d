#pragma once
// Opens a web page in a window of its own of the system's browser, through the browser's
// application object. Used by both programs when a link asks for another launcher version
// and the user agrees to fetch it; the launcher always passes 0 and 0 for the size.
#include <windows.h>
#include <exdisp.h>

class CWebPopupBrowser
{
  public:
    CWebPopupBrowser() = default;
    virtual ~CWebPopupBrowser() = default;
    CWebPopupBrowser(const CWebPopupBrowser&) = delete;
    CWebPopupBrowser& operator=(const CWebPopupBrowser&) = delete;

    // Navigates a new browser window to url; width and height 0 keep the browser's own
    // size. The address comes from a link, so only an absolute http:// or https:// URL is
    // opened: anything else is refused with E_INVALIDARG before any browser exists. The
    // window is shown only once the navigation has started; the result is the failure of
    // creation or navigation, or S_OK.
    HRESULT Open(const wchar_t* url, LONG width, LONG height);

  protected:
    // Creates the browser application object (a local server). A seam for tests.
    virtual HRESULT CreateBrowser(IWebBrowser2** browser);
};
