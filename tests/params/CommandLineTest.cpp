// The client's command line: order, quoting, presence rules and the switch buffer limit.
#include <gtest/gtest.h>

#include <string>

#include "params/Param.h"
#include "ui/StringTable.h"

namespace
{
class CommandLineTest : public testing::Test
{
  protected:
    void SetUp() override { CStringTable::SetThreadLanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)); }
    void TearDown() override { CStringTable::ResetThreadLanguage(); }
    std::wstring Line() const
    {
        std::wstring line = L"left over from an earlier call";
        p.BuildCommandLine(line);
        return line;
    }
    CParam p;
};

// The record's defaults alone: LangID 1042, ProductType 0, both ports and MaxUser 2.
const std::wstring kDefaults = L"/LID:1042 /PTP:0 /MSP:7084 /FSP:7085 /MAX:2 ";
} // namespace

TEST_F(CommandLineTest, DefaultsOnly)
{
    EXPECT_EQ(Line(), kDefaults);
}

TEST_F(CommandLineTest, EverySwitchInOrder)
{
    p.SetLangID(L"17");
    p.SetProductID(L"P1");
    p.SetCompanyCode(L"ACME");
    p.SetProductType(L"3");
    p.SetTitle(L"Norvane Meeting");
    p.SetGroup(L"Norvane");
    p.SetRegistURL(L"http://reg.example/r?a=1");
    p.SetMSPort(L"9001");
    p.SetFSPort(L"9002");
    p.SetUserID(L"u1");
    p.SetAlias(L"Kim \u00e9\u65e5");
    p.SetMeeterID(L"m-7");
    p.SetRoomName(L"Room 5");
    p.SetMaxUser(L"12");
    p.SetUserType(L"4");
    p.SetServerIP(L"10.1.2.3");
    p.SetOption(L"/XYZ:5 /OPT:a b");
    // Not passed to the client.
    p.SetWSPort(L"8080");
    p.SetUpPort(L"7777");
    p.SetDNSHost(L"d1 d2");
    p.SetDNSCode(L"DC");
    p.SetFileName(L"client.exe");
    p.SetTimeOut(L"5000");
    p.SetRunType(L"1");
    p.SetQueryType(L"2");
    p.SetProxyHost(L"proxy");
    EXPECT_EQ(Line(),
              L"/LID:1041 /PID:\"P1\" /CID:\"ACME\" /PTP:3 /CAP:\"Norvane Meeting\" /GRP:\"Norvane\" "
              L"/URL:\"http://reg.example/r?a=1\" /MSP:9001 /FSP:9002 /UID:\"u1\" /ALS:\"Kim \u00e9\u65e5\" "
              L"/MID:\"m-7\" /RNM:\"Room 5\" /MAX:12 /UTP:4 /SIP:10.1.2.3 /XYZ:5 /OPT:a b ");
}

TEST_F(CommandLineTest, ZeroNumbersAreLeftOutExceptTheProductType)
{
    p.SetMSPort(L"0");
    p.SetFSPort(L"65536"); // truncated to 16 bits: 0
    p.SetMaxUser(L"0");
    p.SetProductType(L"0");
    EXPECT_EQ(Line(), L"/LID:1042 /PTP:0 ");
}

TEST_F(CommandLineTest, ValuesGoInAsTheyAre)
{
    // Nothing is escaped: a value that could end or escape its quotes never gets into the
    // record, so the quotes of every switch hold.
    p.SetTitle(L"say 'hi' C:\\x");
    EXPECT_FALSE(p.SetTitle(L"say \"hi\""));
    EXPECT_FALSE(p.SetUserID(L"ends\\"));
    p.SetServerIP(L"srv.example");
    EXPECT_FALSE(p.SetServerIP(L"srv.example /URL:x"));
    EXPECT_EQ(Line(),
              L"/LID:1042 /PTP:0 /CAP:\"say 'hi' C:\\x\" /MSP:7084 /FSP:7085 /MAX:2 /SIP:srv.example ");
}

TEST_F(CommandLineTest, PercentSignsInValuesAreNotFormatDirectives)
{
    p.SetRoomName(L"100%s %d");
    p.SetOption(L"/A:%s");
    EXPECT_EQ(Line(), L"/LID:1042 /PTP:0 /MSP:7084 /FSP:7085 /RNM:\"100%s %d\" /MAX:2 /A:%s ");
}

TEST_F(CommandLineTest, ASwitchLongerThanItsBufferIsLeftOut)
{
    // "%s " with 998 characters makes 999: it fits the 1000-character buffer.
    std::wstring option(998, L'o');
    p.SetOption(option.c_str());
    EXPECT_EQ(Line(), kDefaults + option + L" ");
    option.push_back(L'o');
    p.SetOption(option.c_str());
    EXPECT_EQ(Line(), kDefaults);

    // "/URL:\"%s\" " adds 8 characters.
    std::wstring url(991, L'u');
    p.SetRegistURL(url.c_str());
    p.SetOption(L"/K:1");
    EXPECT_EQ(Line(), L"/LID:1042 /PTP:0 /URL:\"" + url + L"\" /MSP:7084 /FSP:7085 /MAX:2 /K:1 ");
    url.push_back(L'u');
    p.SetRegistURL(url.c_str());
    EXPECT_EQ(Line(), kDefaults + L"/K:1 ");
    std::wstring huge(100000, L'h');
    p.SetRegistURL(huge.c_str());
    p.SetOption(huge.c_str());
    EXPECT_EQ(Line(), kDefaults);
}
