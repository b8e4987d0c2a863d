// The update workflow's steps against a recording view and recorded process starts, with
// real servers where a step asks one (a refused port, a missing archive); and the real
// dialog made, laid out and cancelled.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "params/Param.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"
#include "ui/NVPCUpdaterDlg.h"
#include "ui/Workflow.h"
#include "ui/SkinSet.h"
#include "ui/StringTable.h"

namespace
{
struct Box
{
    std::wstring text, caption;
    UINT type;
    bool proxy;
};

class RecordingView : public IWorkflowView
{
  public:
    HWND Window() const override { return nullptr; }
    bool Alive() const override { return !ended; }
    void ShowBars(bool a, bool b) override { bars = {a, b}; }
    void FitFullHeight() override { bars = {true, true}; }
    void SetStatus(const std::wstring& text) override { status.push_back(text); }
    void EndWorkflow() override { ++ends, ended = true; }
    int ShowBox(const std::wstring& text, const std::wstring& caption, UINT type) override
    {
        boxes.push_back({text, caption, type, false});
        return answer;
    }
    int ShowProxyBox(const std::wstring& text, const std::wstring& caption) override
    {
        boxes.push_back({text, caption, MB_OK, true});
        return IDOK;
    }
    void SetBarRange(int bar, int maximum) override
    {
        Locked([&] { range[bar] = maximum; });
    }
    void SetBarPos(int bar, int position) override
    {
        Locked([&] { pos[bar] = position; });
    }
    void ArmTimer(UINT id, UINT ms) override
    {
        Locked([&] { armed[id] = ms; });
    }
    void KillWorkflowTimer(UINT id) override
    {
        Locked([&] { armed.erase(id); });
    }

    template <typename F> void Locked(F f)
    {
        std::lock_guard<std::mutex> hold(lock);
        f();
    }
    void Clear()
    {
        armed.clear(), range.clear(), pos.clear(), status.clear(), boxes.clear();
        bars = {false, false};
        ends = 0, ended = false;
    }
    bool Armed(UINT id, UINT ms)
    {
        std::lock_guard<std::mutex> hold(lock);
        auto it = armed.find(id);
        return it != armed.end() && it->second == ms;
    }
    size_t ArmedCount()
    {
        std::lock_guard<std::mutex> hold(lock);
        return armed.size();
    }

    std::mutex lock;
    std::map<UINT, UINT> armed;
    std::map<int, int> range, pos;
    std::pair<bool, bool> bars{false, false};
    std::vector<std::wstring> status;
    std::vector<Box> boxes;
    int answer = IDOK;
    int ends = 0;
    bool ended = false;
};

class RecordingProcesses : public IWorkflowProcesses
{
  public:
    bool RunInstaller(const wchar_t* path) override
    {
        starts.push_back(L"installer " + std::wstring(path));
        if (during)
            during();
        return installerOk;
    }
    int RunSelf(HWND, const wchar_t* params) override
    {
        starts.push_back(L"self " + std::wstring(params));
        if (during)
            during();
        return selfResult;
    }
    bool StartClient(HWND, const wchar_t* path, const wchar_t* params) override
    {
        starts.push_back(L"client " + std::wstring(path) + L" " + params);
        return true;
    }
    std::vector<std::wstring> starts;
    std::function<void()> during;
    bool installerOk = true;
    int selfResult = 0;
};

std::wstring Failed(const std::wstring& suffix)
{
    return CStringTable::Load(IDS_FAILED) + L"\n" + suffix;
}

// A product installed beside the test program (UseModuleFolder with a group of its own),
// its servers on a port that refuses connections.
struct Fixture : ::testing::Test
{
    Fixture() : install(ModuleFolder() + L"\\wflow"), flow(&param, &view, WORKFLOW_UPDATE, &processes)
    {
        std::wstring port = std::to_wstring(UnusedLoopbackPort());
        param.SetProductType(L"3");
        param.SetProductID(L"P1");
        param.SetFileName(L"client.exe");
        param.SetTitle(L"Meet");
        param.SetUseModuleFolder(1);
        param.SetGroup(L"wflow");
        param.SetDNSHost(L"127.0.0.1");
        param.SetUpgradeHost(L"127.0.0.1");
        param.SetMSPort(port.c_str());
        param.SetUpPort(port.c_str());
        param.SetTimeOut(L"1000");
        CreateDirectoryW(install.c_str(), nullptr);
        flow.Start();
    }
    ~Fixture() override { RemoveTree(install); }
    void Install()
    {
        CreateDirectoryW((install + L"\\config").c_str(), nullptr);
        for (const wchar_t* name : {L"\\client.exe", L"\\config\\master_3.xml", L"\\config\\P1.xml"})
            ASSERT_TRUE(WriteBytes(install + name, "<files_info ver=\"1\"/>"));
    }
    // Serves the timer, as the window would once it is due.
    void Fire(UINT id) { flow.OnTimer(id); }

    std::wstring install;
    CParam param;
    RecordingView view;
    RecordingProcesses processes;
    CWorkflow flow;
};
} // namespace

TEST_F(Fixture, WorkerReportsMoveBarsOrArmTheNextStep)
{
    EXPECT_TRUE(view.Armed(TIMER_INIT_INFO, 500)) << "the start";
    typedef std::function<void(void*)> Report;
    struct Case
    {
        const char* what;
        Report report;
        int bar, position; // bar 0: none moved
        UINT timer;        // 0: none armed
        const wchar_t* suffix;
    } cases[] = {
        {"download 1/3", [](void* u) { CWorkflow::callbackDownProgress(3, 1, u); }, 202, 33, 0, L""},
        {"download of nothing", [](void* u) { CWorkflow::callbackDownProgress(0, 0, u); }, 202, 0, 0, L""},
        {"5 GB of 6 GB", [](void* u) { CWorkflow::callbackDownProgress(6000000000ull, 5000000000ull, u); },
         202, 83, 0, L""},
        {"entry 7 unpacked", [](void* u) { CWorkflow::callbackPatchProgress(0, 9, 7, "a", u); }, 202, 7, 0,
         L""},
        {"3 GB entry, 2 GB written",
         [](void* u) { CWorkflow::callbackPatchProgress(1, (int)3000000000u, (int)2000000000u, nullptr, u); },
         203, 66, 0, L""},
        {"stop without text", [](void* u) { CWorkflow::callballDownError(L"", 0, u); }, 0, 0, 0, L""},
        {"credentials retry", [](void* u) { CWorkflow::callballDownError(L"x", 1, u); }, 0, 0, 101, L""},
        {"unknown report", [](void* u) { CWorkflow::callbackPatchProgress(9, 1, 1, nullptr, u); }, 0, 0, 0,
         L""},
        {"all unpacked", [](void* u) { CWorkflow::callbackPatchProgress(2, 0, 0, nullptr, u); }, 0, 0, 104,
         L""},
        {"downloaded", [](void* u) { CWorkflow::callbackDownComplete(L"C:\\up\\u.zip", u); }, 0, 0, 103, L""},
        {"download failed", [](void* u) { CWorkflow::callballDownError(L"HTTP 404", 0, u); }, 0, 0, 107,
         L" HTTP 404 (8)"},
        {"unpack failed", [](void* u) { CWorkflow::callbackPatchProgress(3, 0, 0, nullptr, u); }, 0, 0, 107,
         L" (9)"},
    };
    for (Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        view.armed.clear();
        view.pos.clear();
        c.report(&flow);
        EXPECT_EQ(view.pos.size(), c.bar ? 1u : 0u);
        if (c.bar)
        {
            EXPECT_EQ(view.pos[c.bar], c.position);
        }
        EXPECT_EQ(view.ArmedCount(), c.timer ? 1u : 0u);
        if (c.timer)
        {
            EXPECT_TRUE(view.Armed(c.timer, 200));
        }
        if (*c.suffix)
        {
            EXPECT_EQ(flow.ErrorSuffix(), c.suffix);
        }
    }
    EXPECT_STREQ(param.GetDownPath(), L"C:\\up\\u.zip");
    Fire(TIMER_FAILED);
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, Failed(L" (9)"));
    EXPECT_EQ(view.boxes[0].caption, param.GetCaptionText());
    EXPECT_EQ(view.boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(view.ends, 1);
    EXPECT_EQ(processes.starts.size(), 0u);
}

TEST_F(Fixture, ATimerRunsItsStepOnceAndNeverInsideAnotherStep)
{
    param.SetInstallType(0);
    param.SetDownPath(L"C:\\up\\setup.exe");
    Fire(TIMER_COMPLETE_DOWNLOAD); // never armed: a stray tick
    EXPECT_TRUE(processes.starts.empty());

    // The installer's wait pumps messages: a step that comes due meanwhile is put off.
    CWorkflow::callbackDownComplete(L"C:\\up\\setup.exe", &flow);
    processes.during = [&]
    {
        CWorkflow::callbackPatchProgress(2, 0, 0, nullptr, &flow);
        view.armed.clear();
        Fire(TIMER_START_PATCH);
        Fire(TIMER_COMPLETE_DOWNLOAD); // the same step again, queued before its KillTimer
    };
    Fire(TIMER_COMPLETE_DOWNLOAD);
    EXPECT_EQ(processes.starts, std::vector<std::wstring>{L"installer C:\\up\\setup.exe"});
    EXPECT_TRUE(view.Armed(TIMER_START_PATCH, 200)) << "put off, not lost";
    EXPECT_TRUE(view.Armed(TIMER_UPGRADE_INFO, 200)) << "installer succeeded: on to the update path";
    EXPECT_EQ(view.status.back(), CStringTable::Load(IDS_RUN_SETUP));
    EXPECT_EQ(view.bars, std::make_pair(true, false));

    // A failed installer ends the dialog silently 500 ms later; nothing runs after the stop.
    processes.during = nullptr;
    processes.installerOk = false;
    CWorkflow::callbackDownComplete(L"C:\\up\\setup.exe", &flow);
    Fire(TIMER_COMPLETE_DOWNLOAD);
    EXPECT_TRUE(flow.Stopped());
    EXPECT_TRUE(view.Armed(TIMER_END, 500));
    CWorkflow::callballDownError(L"late", 0, &flow);
    Fire(TIMER_START_PATCH);
    Fire(TIMER_UPGRADE_INFO);
    Fire(TIMER_FAILED);
    EXPECT_EQ(processes.starts.size(), 2u) << "no copy run after the stop";
    EXPECT_TRUE(view.boxes.empty()) << "no box after the stop";
    Fire(TIMER_END);
    Fire(TIMER_END);
    EXPECT_EQ(view.ends, 1);
}

TEST_F(Fixture, UpdateArchiveThatCannotBeOpenedFailsWithCode9)
{
    param.SetInstallType(1);
    std::wstring archive = install + L"\\notazip.zip";
    ASSERT_TRUE(WriteBytes(archive, "this is not an archive"));
    CWorkflow::callbackDownComplete(archive.c_str(), &flow);
    Fire(TIMER_COMPLETE_DOWNLOAD);
    EXPECT_EQ(view.status.back(), CStringTable::Load(IDS_APPLY_UPDATE));
    EXPECT_EQ(view.bars, std::make_pair(true, true));
    EXPECT_EQ(flow.ErrorSuffix(), L" (9)");
    Fire(TIMER_FAILED);
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, Failed(L" (9)"));
}

TEST_F(Fixture, ServersUnreachable)
{
    // No directory server: the box with the proxy settings, code 2.
    Fire(TIMER_INIT_INFO);
    EXPECT_EQ(flow.ErrorSuffix(), L" (2)");
    Fire(TIMER_FAILED_PROXY);
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_TRUE(view.boxes[0].proxy);
    EXPECT_EQ(view.boxes[0].text, Failed(L" (2)"));

    // No upgrade server and nothing installed: code 5.
    view.boxes.clear();
    flow.Start();
    view.ended = false;
    CWorkflow::callballDownError(L"x", 1, &flow); // arms the upgrade query
    Fire(TIMER_UPGRADE_INFO);
    EXPECT_EQ(flow.ErrorSuffix(), L" (5)");

    // Installed: the retry box, whose answers cancel, ask again or start the client.
    Install();
    struct Case
    {
        int answer;
        bool ends, asksAgain, starts;
    } cases[] = {
        {IDCANCEL, true, false, false}, {IDTRYAGAIN, false, true, false}, {IDCONTINUE, true, false, true}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.answer);
        flow.Start();
        view.Clear();
        view.answer = c.answer;
        processes.starts.clear();
        CWorkflow::callballDownError(L"x", 1, &flow);
        Fire(TIMER_UPGRADE_INFO);
        ASSERT_EQ(view.boxes.size(), 1u);
        EXPECT_EQ(view.boxes[0].text, CStringTable::Load(IDS_NO_UPGRADE_RESPONSE));
        EXPECT_EQ(view.boxes[0].type, static_cast<UINT>(MB_CANCELTRYCONTINUE));
        EXPECT_EQ(view.ends, c.ends ? 1 : 0);
        EXPECT_EQ(view.Armed(TIMER_UPGRADE_INFO, 200), c.asksAgain);
        ASSERT_EQ(processes.starts.size(), c.starts ? 1u : 0u);
        if (c.starts)
        {
            EXPECT_EQ(processes.starts[0].rfind(L"client " + install + L"\\client.exe /", 0), 0u)
                << processes.starts[0];
            EXPECT_EQ(view.status.back(), CStringTable::Format(IDS_FINISHED, L"Meet"));
            EXPECT_EQ(view.bars, std::make_pair(false, false));
        }
    }
}

TEST_F(Fixture, PlacementAndVersionCheckDecideHowTheUpdateEnds)
{
    Install();
    std::wstring unpacked = install + L"\\u1";
    CreateDirectoryW(unpacked.c_str(), nullptr);
    param.SetDownPath((unpacked + L".zip").c_str());
    EXPECT_EQ(flow.CopyFileParameters(), L"/CopyFile /DNP \"" + unpacked +
                                             L".zip\" /MML \"master_3\" /PML \"P1\"  /SEP \"" + install +
                                             L"\" ");
    struct Case
    {
        const char* what;
        int selfResult;
        const char* updateMaster; // null: no manifest in the update
        const wchar_t* suffix;    // null: the client starts
    } cases[] = {
        {"placed, versions equal", 0, "1", nullptr},
        {"copy run did not start", -1, "1", L" (6)"},
        {"master differs", 0, "2", L" (7-1)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        flow.Start();
        view.Clear();
        processes.starts.clear();
        processes.selfResult = c.selfResult;
        ASSERT_TRUE(WriteBytes(unpacked + L"\\master_3.xml",
                               std::string("<files_info ver=\"") + c.updateMaster + "\"/>"));
        CWorkflow::callbackPatchProgress(2, 0, 0, nullptr, &flow);
        Fire(TIMER_START_PATCH);
        ASSERT_GE(processes.starts.size(), 1u);
        EXPECT_EQ(processes.starts[0], L"self " + flow.CopyFileParameters());
        if (c.selfResult == 0)
            Fire(TIMER_CHECK_VERSION);
        if (!c.suffix)
        {
            ASSERT_EQ(processes.starts.size(), 2u);
            EXPECT_EQ(processes.starts[1].rfind(L"client ", 0), 0u);
            EXPECT_EQ(view.ends, 1);
            continue;
        }
        EXPECT_EQ(processes.starts.size(), 1u);
        EXPECT_EQ(flow.ErrorSuffix(), c.suffix);
        Fire(TIMER_FAILED);
        ASSERT_EQ(view.boxes.size(), 1u);
        EXPECT_EQ(view.boxes[0].text, Failed(c.suffix));
    }

    // A client that is not a program is not started; the dialog still ends on string 209.
    flow.Start();
    view.Clear();
    processes.starts.clear();
    param.SetFileName(L"client.bat");
    param.SetPatchURL(L"");
    param.SetInstallType(1);
    CWorkflow::callballDownError(L"x", 1, &flow);
    flow.startDownload();
    EXPECT_TRUE(view.Armed(TIMER_CHECK_VERSION, 200)) << "no update: straight to the check";
    flow.runProduct();
    EXPECT_TRUE(processes.starts.empty());
    EXPECT_EQ(view.ends, 1);
}

TEST_F(Fixture, StatusTextsShowTheBarsTheirStateUses)
{
    struct Case
    {
        UINT id;
        bool first, second;
    } cases[] = {{202, false, false}, {203, false, false}, {204, true, false}, {205, true, true},
                 {206, true, false},  {207, true, true},   {208, true, true},  {209, false, false}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.id);
        flow.setStatusText(c.id);
        EXPECT_EQ(view.bars, std::make_pair(c.first, c.second));
        EXPECT_EQ(view.status.back(),
                  c.id == 209 ? CStringTable::Format(c.id, L"Meet") : CStringTable::Load(c.id));
    }
    size_t texts = view.status.size();
    flow.setStatusText(IDS_CANCEL);
    EXPECT_EQ(view.status.size(), texts) << "other ids set no text";
}

// An installer that exits with 0 but installs nothing is not downloaded and run again and
// again: the second look finds no client and says so.
TEST_F(Fixture, AnInstallerThatInstallsNothingIsNotRunAgain)
{
    LoopbackServer upgrade(
        [](SOCKET, LoopbackServer& server)
        {
            while (!server.stopping())
                Sleep(10);
        });
    std::wstring port = std::to_wstring(upgrade.port());
    param.SetUpPort(port.c_str());
    param.SetInstallType(0);
    CWorkflow::callbackDownComplete(L"C:\\up\\setup.exe", &flow);
    Fire(TIMER_COMPLETE_DOWNLOAD);
    ASSERT_TRUE(view.Armed(TIMER_UPGRADE_INFO, 200));
    Fire(TIMER_UPGRADE_INFO);
    EXPECT_EQ(upgrade.accepted(), 1);
    EXPECT_EQ(upgrade.received(), "") << "no second setup query";
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, CStringTable::Load(IDS_CLIENT_NOT_STARTED));
    EXPECT_EQ(view.ends, 1);
    EXPECT_EQ(processes.starts.size(), 1u) << "the installer ran once";
    flow.OnDestroy();
}

// The setup dialogs and the update-only dialog: their own timers, texts and endings.
TEST_F(Fixture, SetupAndUpdateOnlyDialogsEndTheirOwnWay)
{
    for (WorkflowKind kind : {WORKFLOW_SETUP, WORKFLOW_SETUP_EX})
    {
        SCOPED_TRACE(CWorkflow::ClassName(kind));
        view.Clear();
        processes.starts.clear();
        CWorkflow setup(&param, &view, kind, &processes);
        setup.Start();
        EXPECT_TRUE(view.Armed(SETUP_TIMER_INIT_INFO, 300));
        // No upgrade server: the client is started (string 216) instead of a failure.
        CWorkflow::callballDownError(L"x", 1, &setup);
        setup.OnTimer(SETUP_TIMER_UPGRADE_INFO);
        EXPECT_TRUE(view.Armed(SETUP_TIMER_RUN_PRODUCT, 200));
        setup.OnTimer(SETUP_TIMER_RUN_PRODUCT);
        EXPECT_EQ(view.status.back(), CStringTable::Format(IDS_SETUP_FINISHED, L"Meet"));
        EXPECT_EQ(view.bars, std::make_pair(false, false));
        ASSERT_EQ(processes.starts.size(), 1u);
        EXPECT_EQ(processes.starts[0].rfind(L"client ", 0), 0u);
        EXPECT_EQ(view.ends, 1);

        // A download failure: string 210 and the code on one line, in the box of timer 106.
        view.Clear();
        setup.Start();
        CWorkflow::callballDownError(L"HTTP 500", 0, &setup);
        EXPECT_TRUE(view.Armed(SETUP_TIMER_FAILED, 200));
        setup.OnTimer(SETUP_TIMER_FAILED);
        ASSERT_EQ(view.boxes.size(), 1u);
        EXPECT_EQ(view.boxes[0].text, CStringTable::Load(IDS_FAILED) + L" HTTP 500 (8)");

        // The installer: success starts the client; failure ends quietly after 500 ms.
        for (bool ok : {true, false})
        {
            view.Clear();
            setup.Start();
            processes.installerOk = ok;
            CWorkflow::callbackDownComplete(L"C:\\up\\setup.exe", &setup);
            setup.OnTimer(SETUP_TIMER_COMPLETE_DOWNLOAD);
            EXPECT_EQ(view.status.back(), CStringTable::Load(IDS_RUN_SETUP));
            EXPECT_EQ(view.Armed(SETUP_TIMER_RUN_PRODUCT, 200), ok);
            EXPECT_EQ(view.Armed(SETUP_TIMER_END, 500), !ok);
            EXPECT_EQ(setup.Stopped(), !ok);
        }
        processes.installerOk = true;
        view.Clear();
        setup.Start();
        setup.OnCancel();
        EXPECT_TRUE(view.Armed(SETUP_TIMER_END, 500));
        setup.OnTimer(TIMER_FAILED_PROXY + 1); // not a timer of these dialogs
        setup.OnTimer(SETUP_TIMER_END);
        EXPECT_EQ(view.ends, 1);
    }

    // The update-only dialog: Continue in the retry box closes on string 209, starting nothing.
    Install();
    view.Clear();
    processes.starts.clear();
    CWorkflow justUpdate(&param, &view, WORKFLOW_JUST_UPDATE, &processes);
    justUpdate.Start();
    view.answer = IDCONTINUE;
    CWorkflow::callballDownError(L"x", 1, &justUpdate);
    justUpdate.OnTimer(TIMER_UPGRADE_INFO);
    EXPECT_EQ(view.status.back(), CStringTable::Format(IDS_FINISHED, L"Meet"));
    EXPECT_TRUE(processes.starts.empty());
    EXPECT_EQ(view.ends, 1);
}

// The real window: layout, title, texts, and Cancel ending it half a second later
// without a box and without anything started.
TEST(UpdaterDialog, LaysOutItsControlsAndEndsOnCancel)
{
    LoadSkinSet(ModuleOfAddress(reinterpret_cast<void*>(&OpenWorkflowDialogs)));
    CParam param;
    param.SetTitle(L"Meet");
    std::wstring port = std::to_wstring(UnusedLoopbackPort());
    param.SetDNSHost(L"127.0.0.1");
    param.SetMSPort(port.c_str());
    RecordingProcesses processes;
    {
        CNVPCUpdaterDlg dialog(&param, GetModuleHandleW(nullptr), &processes);
        HWND window = dialog.CreateModeless(nullptr);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(OpenWorkflowDialogs(), 1);
        wchar_t text[256] = {};
        GetWindowTextW(window, text, 256);
        EXPECT_EQ(std::wstring(text), CStringTable::Format(IDS_UPDATER_CAPTION, L"Meet"));
        RECT client = {};
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, 400);
        EXPECT_EQ(client.bottom, 125) << "no bar shown";
        struct Case
        {
            int id;
            RECT rect;
            bool visible;
        } cases[] = {{4242, {20, 45, 380, 80}, true},
                     {202, {20, 85, 380, 105}, false},
                     {203, {20, 115, 380, 135}, false},
                     {4245, {285, 85, 379, 111}, true}};
        for (const Case& c : cases)
        {
            SCOPED_TRACE(c.id);
            HWND control = GetDlgItem(window, c.id);
            ASSERT_NE(control, nullptr);
            RECT r = {};
            GetWindowRect(control, &r);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
            EXPECT_TRUE(EqualRect(&r, &c.rect))
                << r.left << "," << r.top << "," << r.right << "," << r.bottom;
            EXPECT_EQ(IsWindowVisible(control) != FALSE, c.visible);
        }
        GetDlgItemTextW(window, 4242, text, 256);
        EXPECT_EQ(std::wstring(text), CStringTable::Load(IDS_CHECK_UPDATE));
        GetDlgItemTextW(window, 4245, text, 256);
        EXPECT_EQ(std::wstring(text), CStringTable::Load(IDS_CANCEL));

        dialog.Workflow().setStatusText(IDS_DOWNLOAD_UPDATE);
        GetClientRect(window, &client);
        EXPECT_EQ(client.bottom, 185) << "both bars shown";
        RECT r = {};
        GetWindowRect(GetDlgItem(window, 4245), &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.top, 145) << "the button follows the bottom edge";

        DWORD clicked = GetTickCount();
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(4245, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, 4245)));
        MSG msg;
        while (IsWindow(window) && GetTickCount() - clicked < 10000 && GetMessageW(&msg, nullptr, 0, 0))
        {
            if (!IsDialogMessageW(window, &msg))
                DispatchMessageW(&msg);
        }
        DWORD took = GetTickCount() - clicked;
        EXPECT_FALSE(IsWindow(window));
        EXPECT_GE(took, 450u);
        EXPECT_LT(took, 5000u);
        EXPECT_EQ(OpenWorkflowDialogs(), 0);
        EXPECT_TRUE(processes.starts.empty());
    }
    ReleaseSkinSet();
}
