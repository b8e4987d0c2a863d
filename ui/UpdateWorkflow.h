#pragma once
// CUpdateWorkflow: the steps of the two update dialogs (the updater's dialog and the
// update-only dialog of the loader control): directory lookup, installed check, upgrade
// query, download of the installer or the update archive, installer run or unpack and
// "/CopyFile" placement, version check, and at the end the client start (or, for the
// update-only dialog, just the closing message).
//
// Every step runs on the dialog's thread and hands over to the next one by a one-shot
// timer of its view. The download and unpack workers report through the callbacks below,
// which only move bars, write the one field they name and arm a timer.
//
// A timer runs its step only when it was armed and not yet served: KillTimer cannot take
// back a WM_TIMER already queued, and boxes and the waits for the installer and the
// elevated copy pump messages, so a late or repeated tick must not run a step twice. A
// step timer that comes due while another step is still on the stack (inside such a
// wait) is put off until that step has returned.
#include <windows.h>

#include <atomic>
#include <string>

#include "common/Handles.h"
#include "install/Downloader.h"
#include "install/Patcher.h"
#include "net/ServerHandler.h"
#include "ui/VersionCheck.h"
#include "ui/WorkflowView.h"

class CParam;

// The dialogs' timers.
enum WorkflowTimer
{
    TIMER_INIT_INFO = 100,         // directory lookup
    TIMER_UPGRADE_INFO = 101,      // installed check and upgrade query
    TIMER_START_DOWNLOAD = 102,    // download of the installer or the update archive
    TIMER_COMPLETE_DOWNLOAD = 103, // installer run or unpack
    TIMER_START_PATCH = 104,       // update versions, then the "/CopyFile" run
    TIMER_CHECK_VERSION = 105,     // version check, then the client
    TIMER_END = 106,               // end without a message
    TIMER_FAILED = 107,            // plain failure box, then end
    TIMER_FAILED_PROXY = 108,      // failure box with the proxy settings, then end
};

class CUpdateWorkflow
{
  public:
    enum Finish
    {
        FINISH_RUN_PRODUCT, // the updater's dialog: start the client
        FINISH_UPDATE_ONLY, // the update-only dialog: show string 209 and close
    };

    // className starts the step log lines ("CNVPCUpdaterDlg", "CNVPCJustUpdaterDlg").
    // param, view and processes outlive the workflow.
    CUpdateWorkflow(CParam* param, IWorkflowView* view, const wchar_t* className, Finish finish,
                    IWorkflowProcesses* processes = nullptr);
    virtual ~CUpdateWorkflow();
    CUpdateWorkflow(const CUpdateWorkflow&) = delete;
    CUpdateWorkflow& operator=(const CUpdateWorkflow&) = delete;

    // The end of the dialog's initialisation: stop flag, suffix and versions cleared,
    // callbacks registered, timer 100 armed with 500 ms.
    void Start();
    // WM_TIMER with id.
    void OnTimer(UINT id);
    // The Cancel button: stopWork, then the end in 500 ms.
    void OnCancel();
    // WM_DESTROY: stops the workers, closes the connections, clears the callbacks.
    void OnDestroy();

    // The steps, each the action of one timer.
    void initInfo();
    void getUpgradeInfo();
    void startDownload();
    void completeDownload();
    void startPatch();
    void runProduct();
    void finishUpdate();
    void stopWork();

    // Bars and status text by string id, with the height rule (ids 202..209).
    void setStatusText(UINT id);

    std::wstring ErrorSuffix() const;
    bool Stopped() const { return m_stop.load() != 0; }
    CDownloaderEx& Downloader() { return m_downloader; }
    CPatcher& Patcher() { return m_patcher; }
    CVersionCheck& Versions() { return m_versions; }
    // The parameter line of the "/CopyFile" run.
    std::wstring CopyFileParameters() const;

    // The worker callbacks (download thread, unpack thread); user is the workflow.
    static void callbackDownProgress(unsigned long long total, unsigned long long received, void* user);
    static void callbackDownComplete(const wchar_t* path, void* user);
    static void callballDownError(const wchar_t* message, int retry, void* user);
    static void callbackPatchProgress(int kind, int a, int b, const char* name, void* user);

  private:
    // Any thread: remembers that id is due and arms it.
    void Arm(UINT id, UINT ms);
    void Fail(const wchar_t* suffix, UINT timer = TIMER_FAILED);
    void SetErrorSuffix(const std::wstring& suffix);
    void ShowFailureBox(bool withProxy);
    void End();
    void RunStep(UINT id);
    // Whether the client and both installed manifests exist.
    bool ClientInstalled() const;

    // In the order the dialogs hold them; torn down the other way round.
    CParam* m_param;
    CServerHandler m_upgrade;   // kind 0: GetSetupURL, GetUpdateURL
    CServerHandler m_directory; // kind 1: GetCompanyServerInfo
    CDownloaderEx m_downloader;
    CPatcher m_patcher;
    mutable CriticalSection m_suffixLock; // the workers write the suffix
    std::wstring m_errorSuffix;
    std::atomic<int> m_stop;
    CVersionCheck m_versions;

    IWorkflowView* m_view;
    IWorkflowProcesses* m_processes;
    std::wstring m_className;
    Finish m_finish;
    std::atomic<unsigned> m_armed; // bit (id - 100) for every timer armed and not yet served
    bool m_inStep = false;
    bool m_ended = false;
};
