// The loader control's run modes without COM around them: the proxy step (through a
// stand-in component), the client-running check, one workflow dialog at a time, the direct
// start, and the refusal messages, whose boxes are recorded instead of shown.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "install/ProxyComponentGuard.h"
#include "install/SystemState.h"
#include "params/Param.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"
#include "ui/SkinSet.h"
#include "ui/StringTable.h"
#include "ui/WorkflowDlg.h"
#include "updater/LoaderRunModes.h"

namespace
{
class RecordingRunModes : public CLoaderRunModes
{
  public:
    using CLoaderRunModes::CLoaderRunModes;
    std::vector<std::wstring> messages;

  protected:
    void ShowMessage(const std::wstring& text) override { messages.push_back(text); }
};

struct RunModes : ::testing::Test
{
    RunModes() : modes(&param, GetModuleHandleW(nullptr))
    {
        CoInitialize(nullptr);
        LoadSkinSet(GetModuleHandleW(nullptr));
        param.SetTitle(L"Meet");
        std::wstring port = std::to_wstring(UnusedLoopbackPort());
        param.SetDNSHost(L"127.0.0.1");
        param.SetMSPort(port.c_str());
        param.SetTimeOut(L"1000");
        param.SetFileName(L"client.exe");
    }
    ~RunModes() override
    {
        modes.CloseDialogs();
        ReleaseSkinSet();
        CoUninitialize();
    }
    HRESULT Run(int type, const wchar_t* option = L"/X:1")
    {
        param.SetRunType(std::to_wstring(type).c_str());
        return modes.RunEx(option);
    }
    CParam param;
    RecordingRunModes modes;
};
} // namespace

TEST_F(RunModes, TheProxyStepFillsTheRecordFromTheComponent)
{
    FakeProxyComponent::Answers answers;
    answers.type = 5;
    answers.host = L"proxy.example";
    answers.port = 1080;
    answers.user = L"alice";
    answers.password = L"secret";
    {
        FakeProxyComponent component(answers);
        ASSERT_TRUE(component.registered());
        EXPECT_EQ(Run(7, L"/A:1 /B:\"x\""), S_OK) << "an unknown run type gives the proxy step's status";
        EXPECT_EQ(component.counts().gets, 1);
        EXPECT_EQ(component.counts().live, 0) << "the component is released";
    }
    EXPECT_STREQ(param.GetOption(), L"/A:1 /B:\"x\"");
    EXPECT_EQ(param.GetProxyType(), 5);
    EXPECT_STREQ(param.GetProxyHost(), L"proxy.example");
    EXPECT_TRUE(modes.messages.empty());

    // A failing component leaves the fields alone and its code is the result; one that
    // gives no interface counts as "no proxy" with status 1.
    answers.get = E_ACCESSDENIED;
    answers.type = 1;
    {
        FakeProxyComponent component(answers);
        EXPECT_EQ(Run(7), E_ACCESSDENIED);
    }
    EXPECT_EQ(param.GetProxyType(), 5);
    answers.noInterface = true;
    {
        FakeProxyComponent component(answers);
        EXPECT_EQ(Run(7), S_FALSE);
    }
    EXPECT_EQ(param.GetProxyType(), 0);
    EXPECT_STREQ(param.GetProxyHost(), L"");
}

TEST_F(RunModes, OneWorkflowDialogAtATimeAndNoneWhileTheClientRuns)
{
    // The client runs: every run mode refuses with message 213 and opens nothing.
    HANDLE running = CreateMutexW(nullptr, TRUE, kClientMutexName);
    ASSERT_NE(running, nullptr);
    for (int type = 0; type <= 4; ++type)
    {
        SCOPED_TRACE(type);
        modes.messages.clear();
        EXPECT_EQ(Run(type, L"/kept"), S_FALSE);
        ASSERT_EQ(modes.messages.size(), 1u);
        EXPECT_EQ(modes.messages[0], CStringTable::Format(IDS_CLIENT_RUNNING, L"Meet"));
        EXPECT_EQ(OpenWorkflowDialogs(), 0);
        EXPECT_STREQ(param.GetOption(), L"/kept") << "stored although refused";
    }
    CloseHandle(running);

    // A dialog opens modeless; while it is open every other dialog mode is refused (211).
    modes.messages.clear();
    EXPECT_EQ(Run(0), S_OK);
    EXPECT_EQ(OpenWorkflowDialogs(), 1);
    for (int type : {0, 1, 3, 4})
    {
        SCOPED_TRACE(type);
        EXPECT_EQ(Run(type), S_FALSE);
    }
    EXPECT_EQ(modes.messages, std::vector<std::wstring>(4, CStringTable::Load(IDS_ALREADY_RUNNING)));
    EXPECT_EQ(OpenWorkflowDialogs(), 1);
    modes.CloseDialogs();
    EXPECT_EQ(OpenWorkflowDialogs(), 0);
    // The dialog object opens again once its window is gone.
    modes.messages.clear();
    EXPECT_EQ(Run(3), S_OK);
    EXPECT_TRUE(modes.messages.empty());
    modes.CloseDialogs();
}

TEST_F(RunModes, DirectStartThatFailsSaysSo)
{
    // No directory server: nothing is started, message 215, and still S_OK.
    EXPECT_EQ(Run(2), S_OK);
    ASSERT_EQ(modes.messages.size(), 1u);
    EXPECT_EQ(modes.messages[0], CStringTable::Load(IDS_CLIENT_NOT_STARTED));
}
