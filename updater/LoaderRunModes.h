#pragma once
// CLoaderRunModes: what the loader control's RunEx does once a page has set the launch
// parameters: take the page's option string, fill the proxy part of the record from the
// proxy settings component, check that the client is not running, and start the workflow
// of RunType: one of the four workflow dialogs, modeless on the caller's message loop, or
// the direct query-and-start. The control owns one object of this class and, through it,
// one object of each dialog class for its whole life. Runs on the control's apartment
// thread only.
#include <windows.h>

#include <memory>
#include <string>

class CParam;
class CNVPCUpdaterDlg;
class CNVPCSetupDlg;
class CNVPCSetupExDlg;
class CNVPCJustUpdaterDlg;

class CLoaderRunModes
{
  public:
    // param is the control's record and outlives this object; module holds the dialog
    // template, the skin's icon and the texts.
    CLoaderRunModes(CParam* param, HINSTANCE module);
    virtual ~CLoaderRunModes();
    CLoaderRunModes(const CLoaderRunModes&) = delete;
    CLoaderRunModes& operator=(const CLoaderRunModes&) = delete;

    // The owner of the message boxes: the control's window, else its site's window, else
    // none (null).
    void SetOwner(HWND owner) { m_owner = owner; }

    // The page's RunEx(option): S_OK when the workflow was started, S_FALSE when it was
    // refused with a message; for a run type outside 0..4 the proxy step's status.
    HRESULT RunEx(const wchar_t* option);

    // Destroys the dialog windows that are still open (the control is going away).
    void CloseDialogs();

  protected:
    // The refusal boxes (strings 211, 213, 215): stop icon, OK, captioned CaptionText.
    // Virtual so that tests can answer them without a window.
    virtual void ShowMessage(const std::wstring& text);
    // The proxy settings component's GetSettings into the record; its status (a failure
    // code when the component cannot be created). Virtual for the same reason.
    virtual HRESULT ReadProxySettings();

  private:
    // The first step of every run mode: S_FALSE after message 213 when the client runs.
    bool ClientRunning();
    HRESULT OpenDialog(const wchar_t* logLine, int kind);
    HRESULT OnlyRun();

    CParam* m_param;
    HINSTANCE m_module;
    HWND m_owner = nullptr;
    std::unique_ptr<CNVPCUpdaterDlg> m_updater;
    std::unique_ptr<CNVPCSetupDlg> m_setup;
    std::unique_ptr<CNVPCSetupExDlg> m_setupEx;
    std::unique_ptr<CNVPCJustUpdaterDlg> m_justUpdater;
};
