#pragma once
// CWorkflow: the steps of the four workflow dialogs. The two update dialogs (the updater's
// dialog and the loader control's update-only dialog) look up the directory server, check
// whether the client is installed, ask the upgrade server, download the installer or the
// update archive, run the installer or unpack and place the update ("/CopyFile"), check the
// versions and at the end start the client (or, update-only, just show that they are
// done). The two setup dialogs install a missing client (the extended one always runs the
// installer the server names) and start it; they have no unpack and no version check, and
// number their timers differently.
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

// The update dialogs' timers (the setup dialogs: SetupTimer).
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

// The setup dialogs' timers.
enum SetupTimer
{
    SETUP_TIMER_INIT_INFO = 100,
    SETUP_TIMER_UPGRADE_INFO = 101,
    SETUP_TIMER_START_DOWNLOAD = 102,
    SETUP_TIMER_COMPLETE_DOWNLOAD = 103,
    SETUP_TIMER_RUN_PRODUCT = 104,
    SETUP_TIMER_END = 105,
    SETUP_TIMER_FAILED = 106,       // plain failure box (text and suffix on one line), then end
    SETUP_TIMER_FAILED_PROXY = 107, // failure box with the proxy settings, then end
};

enum WorkflowKind
{
    WORKFLOW_UPDATE,      // CNVPCUpdaterDlg: update, then start the client
    WORKFLOW_JUST_UPDATE, // CNVPCJustUpdaterDlg: update, then show string 209 and close
    WORKFLOW_SETUP,       // CNVPCSetupDlg: install when missing, then start the client
    WORKFLOW_SETUP_EX,    // CNVPCSetupExDlg: always run the extended installer, then start
};

class CWorkflow
{
  public:
    // The workflow's steps; each dialog kind has its own timer for each (none: 0).
    enum Step
    {
        STEP_INIT_INFO,
        STEP_UPGRADE_INFO,
        STEP_START_DOWNLOAD,
        STEP_COMPLETE_DOWNLOAD,
        STEP_START_PATCH,
        STEP_CHECK_VERSION,
        STEP_RUN_PRODUCT,
        STEP_END,
        STEP_FAILED,
        STEP_FAILED_PROXY,
        STEP_COUNT
    };

    // The class name of kind's dialog ("CNVPCUpdaterDlg" ...), which starts its log lines.
    static const wchar_t* ClassName(WorkflowKind kind);
    // The timer kind's dialog uses for step; 0 when it has no such step.
    static UINT TimerOf(WorkflowKind kind, Step step);

    // param, view and processes outlive the workflow.
    CWorkflow(CParam* param, IWorkflowView* view, WorkflowKind kind, IWorkflowProcesses* processes = nullptr);
    virtual ~CWorkflow();
    CWorkflow(const CWorkflow&) = delete;
    CWorkflow& operator=(const CWorkflow&) = delete;

    // The end of the dialog's initialisation: stop flag, suffix and versions cleared,
    // callbacks registered, timer 100 armed (500 ms; the setup dialogs 300 ms).
    void Start();
    // WM_TIMER with id.
    void OnTimer(UINT id);
    // The Cancel button: stopWork, then the end timer with 500 ms.
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

    // Bars and status text by string id, with the height rule (ids 202..209, and 216 in
    // the setup dialogs).
    void setStatusText(UINT id);

    std::wstring ErrorSuffix() const;
    bool Stopped() const { return m_stop.load() != 0; }
    // A step is on the stack (waiting for a program or a box, pumping messages).
    bool InStep() const { return m_inStep; }
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

    WorkflowKind Kind() const { return m_kind; }

  private:
    bool IsSetup() const { return m_kind == WORKFLOW_SETUP || m_kind == WORKFLOW_SETUP_EX; }
    // Any thread: remembers that step is due and arms its timer.
    void Arm(Step step, UINT ms);
    void Fail(const wchar_t* suffix, Step step = STEP_FAILED);
    void SetErrorSuffix(const std::wstring& suffix);
    void ShowFailureBox(bool withProxy);
    void End();
    void RunStep(Step step);
    void getSetupInfo(); // getUpgradeInfo of the setup dialogs
    void Finish();       // runProduct, or finishUpdate for the update-only dialog
    // Whether the client and both installed manifests exist.
    bool ClientInstalled() const;
    // The first part of getUpgradeInfo in all dialogs: installed check, connection, log
    // lines. True when the upgrade server is connected.
    bool ConnectUpgradeServer(bool* exist);

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
    WorkflowKind m_kind;
    std::wstring m_className;
    std::atomic<unsigned> m_armed; // bit per step armed and not yet served
    bool m_inStep = false;
    bool m_ended = false;
    bool m_installerRan = false; // an installer ran and exited with 0 in this run
};
