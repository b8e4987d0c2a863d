// Reading Config\nvpclient.nvp: key order, log lines, empty and absent keys, limits,
// and the file beside the running program (in a child process in its own folder).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "params/Param.h"
#include "support/TestSupport.h"
#include "ui/StringTable.h"

namespace
{
const wchar_t* const kLogOrder[] = {
    L"SetLangID()=",    L"SetProductType()=", L"SetTitle()=",     L"SetGroup()=",       L"SetCompanyCode()=",
    L"SetProductID()=", L"SetFileName()=",    L"SetRegistURL()=", L"SetUpgradeHost()=", L"SetDNSHost()=",
    L"SetDNSCode()=",   L"SetMSPort()=",      L"SetFSPort()=",    L"SetWSPort()=",      L"SetUpPort()=",
    L"SetUserID()=",    L"SetAlias()=",       L"SetMeeterID()=",  L"SetRoomName()=",    L"SetMaxUser()=",
    L"SetUserType()=",  L"SetOption()=",      L"SetTimeOut()=",   L"SetRunType()=",     L"SetQueryType()=",
};

// All 25 keys, written in an order unlike the reading order.
const wchar_t kFullFile[] = L"[PRODUCT]\r\n"
                            L"QTP=2\r\nRTP=3\r\nQTO=4500\r\nOPT=/X:1 /Y:\"a b\"\r\nUTP=1\r\nMAX=12\r\n"
                            L"RNM=\uD68C\uC758\uC2E4 A\r\nMID=meet-7\r\nALS=Kim\r\nUID=user01\r\nUPP=7090\r\n"
                            L"WSP=8080\r\nFSP=7089\r\nMSP=7088\r\nDID=dns-code\r\nDIP=dir1 \"dir 2\"\r\n"
                            L"UIP=up1 up2\r\nURL=http://reg.example/x?a=1\r\nFNM=client.exe\r\nPID=NVPC\r\n"
                            L"CID=ACME\r\nGRP=Calderix\r\nCAP=Norvane Meeting\r\nPTP=5\r\nLID=9\r\n";

std::wstring Dump(const CParam& p)
{
    wchar_t buf[4096];
    _snwprintf(
        buf, ARRAYSIZE(buf) - 1,
        L"LID=%u PTP=%u CAP=%s GRP=%s CID=%s PID=%s FNM=%s URL=%s UIP=%u:%s DIP=%u:%s DID=%s "
        L"MSP=%u FSP=%u WSP=%u UPP=%u UID=%s ALS=%s MID=%s RNM=%s MAX=%u UTP=%u OPT=%s QTO=%lu RTP=%lu "
        L"QTP=%lu",
        p.GetLangID(), p.GetProductType(), p.GetTitle(), p.GetGroup(), p.GetCompanyCode(), p.GetProductID(),
        p.GetFileName(), p.GetRegistURL(), (unsigned)p.GetUpgradeHostCount(),
        p.GetUpgradeHost(1) ? p.GetUpgradeHost(1) : L"-", (unsigned)p.GetDNSHostCount(),
        p.GetDNSHost(1) ? p.GetDNSHost(1) : L"-", p.GetDNSCode(), p.GetMSPort(), p.GetFSPort(), p.GetWSPort(),
        p.GetUpPort(), p.GetUserID(), p.GetAlias(), p.GetMeeterID(), p.GetRoomName(), p.GetMaxUser(),
        p.GetUserType(), p.GetOption(), p.GetTimeOut(), p.GetRunType(), p.GetQueryType());
    buf[ARRAYSIZE(buf) - 1] = 0;
    return buf;
}

const std::wstring kFullDump =
    L"LID=1033 PTP=5 CAP=Norvane Meeting GRP=Calderix CID=ACME PID=NVPC FNM=client.exe "
    L"URL=http://reg.example/x?a=1 UIP=2:up2 DIP=2:dir 2 DID=dns-code MSP=7088 FSP=7089 WSP=8080 UPP=7090 "
    L"UID=user01 ALS=Kim MID=meet-7 RNM=\uD68C\uC758\uC2E4 A MAX=12 UTP=1 OPT=/X:1 /Y:\"a b\" QTO=4500 RTP=3 "
    L"QTP=2";

// "config-dump OUT": loads the file beside this program into a second record and
// writes both records' dumps to OUT (UTF-8, two lines).
int ChildScenario(int argc, char** argv)
{
    if (argc < 2 || strcmp(argv[0], "config-dump") != 0)
        return 2;
    CStringTable::SetThreadLanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    CParam caller, target;
    caller.LoadConfigFile(&target);
    std::string out = WideToUtf8(Dump(caller)) + "\n" + WideToUtf8(Dump(target)) + "\n";
    return WriteBytes(Utf8ToWideString(argv[1]), out) ? 0 : 3;
}
ChildScenarioRegistrar g_registrar(ChildScenario);

class ConfigFileTest : public testing::Test
{
  protected:
    void SetUp() override { CStringTable::SetThreadLanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)); }
    void TearDown() override { CStringTable::ResetThreadLanguage(); }
    std::wstring Write(const std::wstring& text)
    {
        std::wstring path = dir / L"nvpclient.nvp";
        EXPECT_TRUE(WriteUtf16File(path, text));
        return path;
    }
    TempDir dir;
};
} // namespace

TEST_F(ConfigFileTest, ReadsEveryKeyAndLogsTheValuesInOrder)
{
    std::wstring path = Write(kFullFile);
    LogCapture log;
    CParam p;
    CParam::LoadConfigFileFrom(path.c_str(), &p);
    EXPECT_EQ(Dump(p), kFullDump);
    EXPECT_STREQ(p.GetCaptionText(), L"Norvane Meeting Updater");

    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 25u);
    const wchar_t* values[] = {L"9",
                               L"5",
                               L"Norvane Meeting",
                               L"Calderix",
                               L"ACME",
                               L"NVPC",
                               L"client.exe",
                               L"http://reg.example/x?a=1",
                               L"up1 up2",
                               L"dir1 \"dir 2\"",
                               L"dns-code",
                               L"7088",
                               L"7089",
                               L"8080",
                               L"7090",
                               L"user01",
                               L"Kim",
                               L"meet-7",
                               L"\uD68C\uC758\uC2E4 A",
                               L"12",
                               L"1",
                               L"/X:1 /Y:\"a b\"",
                               L"4500",
                               L"3",
                               L"2"};
    for (size_t i = 0; i < 25; ++i)
    {
        EXPECT_EQ(lines[i].text, std::wstring(kLogOrder[i]) + values[i]) << i;
        EXPECT_EQ(lines[i].level, 0);
    }
}

TEST_F(ConfigFileTest, EmptyAndAbsentKeysLeaveFieldsUnchanged)
{
    std::wstring path =
        Write(L"[PRODUCT]\r\nLID=\r\nPID=\r\nQTO=0\r\nMSP=\r\nFNM=client.exe\r\n[OTHER]\r\nCID=x\r\n");
    CParam p;
    p.SetProductID(L"kept");
    p.SetCompanyCode(L"kept too");
    p.SetDNSHost(L"h1 h2");
    LogCapture log;
    CParam::LoadConfigFileFrom(path.c_str(), &p);
    EXPECT_EQ(p.GetLangID(), 0x0412) << "an empty LID keeps the default";
    EXPECT_STREQ(p.GetProductID(), L"kept");
    EXPECT_STREQ(p.GetCompanyCode(), L"kept too") << "keys of another section do not count";
    EXPECT_EQ(p.GetTimeOut(), 30000u) << "QTO=0 keeps 30000";
    EXPECT_EQ(p.GetMSPort(), 7084);
    EXPECT_EQ(p.GetDNSHostCount(), 2u);
    EXPECT_STREQ(p.GetFileName(), L"client.exe");
    auto texts = log.Texts();
    ASSERT_EQ(texts.size(), 25u);
    EXPECT_EQ(texts[0], L"SetLangID()=");
    EXPECT_EQ(texts[5], L"SetProductID()=");
    EXPECT_EQ(texts[6], L"SetFileName()=client.exe");
    EXPECT_EQ(texts[22], L"SetTimeOut()=0");
}

TEST_F(ConfigFileTest, MissingFileChangesNothingAndLogsEmptyValues)
{
    CParam p, before;
    LogCapture log;
    CParam::LoadConfigFileFrom((dir / L"absent.nvp").c_str(), &p);
    EXPECT_EQ(Dump(p), Dump(before));
    auto texts = log.Texts();
    ASSERT_EQ(texts.size(), 25u);
    for (size_t i = 0; i < 25; ++i)
        EXPECT_EQ(texts[i], kLogOrder[i]);
}

TEST_F(ConfigFileTest, ValuesAreCutAt499CharactersAndOverlongFieldsRefused)
{
    std::wstring longOption(600, L'o');
    std::wstring longPid(150, L'p');
    std::wstring path = Write(L"[PRODUCT]\r\nOPT=" + longOption + L"\r\nPID=" + longPid + L"\r\nCID=ok\r\n");
    CParam p;
    CParam::LoadConfigFileFrom(path.c_str(), &p);
    EXPECT_EQ(std::wstring(p.GetOption()), longOption.substr(0, 499));
    EXPECT_STREQ(p.GetProductID(), L"") << "a value longer than the field is refused, not cut";
    EXPECT_STREQ(p.GetCompanyCode(), L"ok");
}

// The file passes through the same setters as a link: a value that could name a path or
// break the client's command line is refused, the field keeps what it had, and the other
// keys are read as usual.
TEST_F(ConfigFileTest, RefusedValuesKeepTheFieldsPreviousValues)
{
    std::wstring path = Write(L"[PRODUCT]\r\nGRP=..\r\nCID=x\" & echo pwned> C:\\x\\pwned.txt & rem \"\r\n"
                              L"PID=..\\..\\..\\secret\r\nFNM=..\\..\\windows\\system32\\cmd.exe\r\n"
                              L"UID=user01\r\nRTP=2\r\n");
    CParam p;
    p.SetGroup(L"Calderix");
    p.SetProductID(L"NVPC");
    p.SetFileName(L"client.exe");
    LogCapture log;
    CParam::LoadConfigFileFrom(path.c_str(), &p);
    EXPECT_STREQ(p.GetGroup(), L"Calderix");
    EXPECT_STREQ(p.GetCompanyCode(), L"");
    EXPECT_STREQ(p.GetProductID(), L"NVPC");
    EXPECT_STREQ(p.GetFileName(), L"client.exe");
    EXPECT_STREQ(p.GetUserID(), L"user01");
    EXPECT_EQ(p.GetRunType(), 2u);
    EXPECT_EQ(p.GetRefusedValueCount(), 4u);
    auto texts = log.Texts();
    ASSERT_EQ(texts.size(), 29u) << "25 key lines and 4 refusals";
    EXPECT_EQ(texts[3], L"CParam::SetGroup : refused .. (not a plain name)");
    EXPECT_EQ(texts[4], L"SetGroup()=..");
}

TEST_F(ConfigFileTest, AnsiFileIsReadToo)
{
    std::wstring path = dir / L"nvpclient.nvp";
    ASSERT_TRUE(WriteBytes(path, "[PRODUCT]\r\nLID=17\r\nDIP=one two three\r\nDIP=ignored\r\nMAX=8\r\n"));
    CParam p;
    CParam::LoadConfigFileFrom(path.c_str(), &p);
    EXPECT_EQ(p.GetLangID(), 0x0411) << "the default is 0x0412: only a read value gives 0x0411";
    ASSERT_EQ(p.GetDNSHostCount(), 3u) << "the first of two equal keys is the one read";
    EXPECT_STREQ(p.GetDNSHost(2), L"three");
    EXPECT_EQ(p.GetMaxUser(), 8);
}

// The real lookup: Config\nvpclient.nvp beside the running program, in a fresh process,
// with and without the Logger library beside it.
TEST_F(ConfigFileTest, ReadsTheFileBesideTheProgramWithOrWithoutLogger)
{
    std::wstring exe = dir / L"host.exe";
    ASSERT_TRUE(CopyFileW(ModulePath().c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(CreateDirectoryW((dir / L"Config").c_str(), nullptr));
    ASSERT_TRUE(WriteUtf16File(dir / L"Config\\nvpclient.nvp", kFullFile));
    std::wstring out = dir / L"dump.txt";
    std::string outUtf8 = WideToUtf8(out);
    CParam defaults;
    std::string expected = WideToUtf8(Dump(defaults)) + "\n" + WideToUtf8(kFullDump) + "\n";

    LogCapture log;
    ASSERT_EQ(RunProcess(exe, L"--child config-dump \"" + out + L"\""), 0);
    EXPECT_EQ(ReadBytes(out), expected) << "the caller's own record is not changed";
    EXPECT_TRUE(log.Lines().empty()) << "no Logger.dll beside the copy: no lines";

    ASSERT_TRUE(CopyFileW((ModuleFolder() + L"\\Logger.dll").c_str(), (dir / L"Logger.dll").c_str(), FALSE));
    DeleteFileW(out.c_str());
    ASSERT_EQ(RunProcess(exe, L"--child config-dump \"" + out + L"\""), 0);
    EXPECT_EQ(ReadBytes(out), expected) << "logging changes nothing else";
    auto texts = log.Texts();
    ASSERT_EQ(texts.size(), 25u);
    EXPECT_EQ(texts[0], L"SetLangID()=9");
    EXPECT_EQ(texts[24], L"SetQueryType()=2");
}
