// The parameter record: defaults, setters, bounded fields, number parsing, host lists.
#include <gtest/gtest.h>

#include <string>

#include "params/Param.h"
#include "ui/StringTable.h"

namespace
{
// Every text field, with its width (terminating zero included).
struct TextField
{
    const char* name;
    bool (CParam::*set)(const wchar_t*);
    const wchar_t* (CParam::*get)() const;
    size_t width;
};

const TextField kTextFields[] = {
    {"ProductID", &CParam::SetProductID, &CParam::GetProductID, 100},
    {"CompanyCode", &CParam::SetCompanyCode, &CParam::GetCompanyCode, 100},
    {"FileName", &CParam::SetFileName, &CParam::GetFileName, 100},
    {"Group", &CParam::SetGroup, &CParam::GetGroup, 100},
    {"DNSCode", &CParam::SetDNSCode, &CParam::GetDNSCode, 100},
    {"UserID", &CParam::SetUserID, &CParam::GetUserID, 100},
    {"Alias", &CParam::SetAlias, &CParam::GetAlias, 100},
    {"MeeterID", &CParam::SetMeeterID, &CParam::GetMeeterID, 100},
    {"RoomName", &CParam::SetRoomName, &CParam::GetRoomName, 200},
    {"Version", &CParam::SetVersion, &CParam::GetVersion, 200},
    {"UpdateURL", &CParam::SetUpdateURL, &CParam::GetUpdateURL, 2048},
    {"ServerIP", &CParam::SetServerIP, &CParam::GetServerIP, 50},
    {"ConnectedUpgradeHost", &CParam::SetConnectedUpgradeHost, &CParam::GetConnectedUpgradeHost, 100},
    {"ProxyHost", &CParam::SetProxyHost, &CParam::GetProxyHost, 256},
    {"ProxyUser", &CParam::SetProxyUser, &CParam::GetProxyUser, 256},
    {"ProxyPassword", &CParam::SetProxyPassword, &CParam::GetProxyPassword, 256},
};

class ParamTest : public testing::Test
{
  protected:
    // Captions are built from string 200 in the thread's language: pin English.
    void SetUp() override { CStringTable::SetThreadLanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)); }
    void TearDown() override { CStringTable::ResetThreadLanguage(); }
    CParam p;
};
} // namespace

TEST_F(ParamTest, ConstructionGivesTheDefaults)
{
    EXPECT_EQ(p.GetLangID(), 0x0412);
    EXPECT_EQ(p.GetProductType(), 0);
    EXPECT_EQ(p.GetMSPort(), 7084);
    EXPECT_EQ(p.GetFSPort(), 7085);
    EXPECT_EQ(p.GetWSPort(), 80);
    EXPECT_EQ(p.GetUpPort(), 7085);
    EXPECT_EQ(p.GetMaxUser(), 2);
    EXPECT_EQ(p.GetUserType(), 0);
    EXPECT_EQ(p.GetTimeOut(), 30000u);
    EXPECT_EQ(p.GetRunType(), 0u);
    EXPECT_EQ(p.GetQueryType(), 0u);
    EXPECT_EQ(p.GetProxyType(), 0);
    EXPECT_EQ(p.GetProxyPort(), 0);
    EXPECT_EQ(p.GetUseModuleFolder(), 0);
    EXPECT_EQ(p.GetModalDialog(), 0);
    EXPECT_EQ(p.GetLocalAuthTime(), 0);
    EXPECT_EQ(p.GetServerAuthTime(), 0);
    EXPECT_EQ(p.GetExpireAuthTime(), 0);
    EXPECT_EQ(p.GetDNSHostCount(), 0u);
    EXPECT_EQ(p.GetUpgradeHostCount(), 0u);
    for (const TextField& f : kTextFields)
        EXPECT_STREQ((p.*f.get)(), L"") << f.name;
    EXPECT_STREQ(p.GetTitle(), L"");
    EXPECT_STREQ(p.GetCaptionText(), L"");
    EXPECT_STREQ(p.GetRegistURL(), L"");
    EXPECT_STREQ(p.GetOption(), L"");
    EXPECT_STREQ(p.GetPatchURL(), L"");
    EXPECT_STREQ(p.GetSetupURL(), L"");
    EXPECT_STREQ(p.GetDownPath(), L"");
}

TEST_F(ParamTest, TextFieldsTakeWidthLessOneAndRefuseLonger)
{
    for (const TextField& f : kTextFields)
    {
        std::wstring fits(f.width - 1, L'a');
        fits.back() = L'\u00e9';
        EXPECT_TRUE((p.*f.set)(fits.c_str())) << f.name;
        EXPECT_EQ(std::wstring((p.*f.get)()), fits) << f.name;

        std::wstring tooLong(f.width, L'b');
        EXPECT_FALSE((p.*f.set)(tooLong.c_str())) << f.name;
        EXPECT_EQ(std::wstring((p.*f.get)()), fits)
            << f.name << ": a refused value leaves the field as it was";

        EXPECT_TRUE((p.*f.set)(nullptr)) << f.name;
        EXPECT_STREQ((p.*f.get)(), L"") << f.name;
    }
}

TEST_F(ParamTest, LangIdIsTheDecimalValueWithTheSublanguageBitSet)
{
    struct
    {
        const wchar_t* in;
        WORD out;
    } cases[] = {
        {L"9", 0x0409},    {L"1033", 0x0409},  {L"17", 0x0411}, {L"1041", 0x0411}, {L"18", 0x0412},
        {L"1042", 0x0412}, {L"  17x", 0x0411}, {L"+9", 0x0409}, {L"abc", 0x0400},  {L"", 0x0400},
    };
    for (const auto& c : cases)
    {
        p.SetLangID(c.in);
        EXPECT_EQ(p.GetLangID(), c.out) << c.in;
    }
}

TEST_F(ParamTest, LongTitleIsShortenedAndCaptionFollowsIt)
{
    std::wstring title(120, L'T');
    title.replace(0, 5, L"Norva");
    EXPECT_TRUE(p.SetTitle(title.c_str()));
    std::wstring expected = title.substr(0, 96) + L"...";
    EXPECT_EQ(std::wstring(p.GetTitle()), expected);
    EXPECT_EQ(wcslen(p.GetTitle()), 99u);
    EXPECT_EQ(std::wstring(p.GetCaptionText()), expected + L" Updater");

    std::wstring exact(99, L'x');
    p.SetTitle(exact.c_str());
    EXPECT_EQ(std::wstring(p.GetTitle()), exact) << "99 characters fit as they are";

    std::wstring hundred(100, L'y');
    p.SetTitle(hundred.c_str());
    EXPECT_EQ(std::wstring(p.GetTitle()), std::wstring(96, L'y') + L"...");

    p.SetTitle(L"Meeting %d %s");
    EXPECT_STREQ(p.GetCaptionText(), L"Meeting %d %s Updater") << "the title is text, not a format";
}

TEST_F(ParamTest, CaptionUsesTheThreadLanguage)
{
    CStringTable::SetThreadLanguage(MAKELANGID(LANG_KOREAN, SUBLANG_KOREAN));
    p.SetTitle(L"Norvane");
    EXPECT_EQ(std::wstring(p.GetCaptionText()), L"Norvane \uc5c5\ub370\uc774\ud130");
    CStringTable::SetThreadLanguage(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    p.SetTitle(L"Norvane");
    EXPECT_EQ(std::wstring(p.GetCaptionText()), L"Norvane \u30a2\u30c3\u30d7\u30c7\u30fc\u30c8");
}

TEST_F(ParamTest, HostListsFollowCommandLineWordRules)
{
    p.SetDNSHost(L"dir1.example.com \"dir 2\" ");
    ASSERT_EQ(p.GetDNSHostCount(), 2u);
    EXPECT_STREQ(p.GetDNSHost(0), L"dir1.example.com");
    EXPECT_STREQ(p.GetDNSHost(1), L"dir 2");
    EXPECT_EQ(p.GetDNSHost(2), nullptr);

    p.SetDNSHost(L"a \"b c\"");
    ASSERT_EQ(p.GetDNSHostCount(), 2u) << "a later value replaces the whole list";
    EXPECT_STREQ(p.GetDNSHost(0), L"a");
    EXPECT_STREQ(p.GetDNSHost(1), L"b c");

    p.SetUpgradeHost(L"\t10.0.0.1\t  10.0.0.2  up\\host");
    ASSERT_EQ(p.GetUpgradeHostCount(), 3u);
    EXPECT_STREQ(p.GetUpgradeHost(0), L"10.0.0.1");
    EXPECT_STREQ(p.GetUpgradeHost(1), L"10.0.0.2");
    EXPECT_STREQ(p.GetUpgradeHost(2), L"up\\host") << "backslashes not before a quote stay";
    EXPECT_EQ(p.GetDNSHostCount(), 2u) << "the lists are separate";

    p.SetUpgradeHost(L"   ");
    EXPECT_EQ(p.GetUpgradeHostCount(), 0u);
    p.SetUpgradeHost(L"first");
    EXPECT_STREQ(p.GetUpgradeHost(0), L"first") << "the first word is a host, not a program path";
}

TEST_F(ParamTest, SixteenBitNumbersAreTruncatedAndJunkParsesAsZero)
{
    p.SetMSPort(L"65536");
    EXPECT_EQ(p.GetMSPort(), 0);
    p.SetFSPort(L"70000");
    EXPECT_EQ(p.GetFSPort(), 70000 & 0xFFFF);
    p.SetWSPort(L"-1");
    EXPECT_EQ(p.GetWSPort(), 0xFFFF);
    p.SetUpPort(L" 8080 tail");
    EXPECT_EQ(p.GetUpPort(), 8080);
    p.SetMaxUser(L"x12");
    EXPECT_EQ(p.GetMaxUser(), 0);
    p.SetUserType(L"3");
    EXPECT_EQ(p.GetUserType(), 3);
    p.SetProductType(L"7");
    EXPECT_EQ(p.GetProductType(), 7);
    p.SetRunType(L"2");
    EXPECT_EQ(p.GetRunType(), 2u);
    p.SetQueryType(L"1");
    EXPECT_EQ(p.GetQueryType(), 1u);
    p.SetExpireAuthTime(L"-1");
    EXPECT_EQ(p.GetExpireAuthTime(), -1);
}

TEST_F(ParamTest, TimeOutIgnoresZeroAndNegativeValues)
{
    EXPECT_FALSE(p.SetTimeOut(L"0"));
    EXPECT_EQ(p.GetTimeOut(), 30000u);
    EXPECT_FALSE(p.SetTimeOut(L"none"));
    EXPECT_EQ(p.GetTimeOut(), 30000u);
    EXPECT_TRUE(p.SetTimeOut(L"5000"));
    EXPECT_EQ(p.GetTimeOut(), 5000u);
    EXPECT_FALSE(p.SetTimeOut(L"-1"));
    EXPECT_EQ(p.GetTimeOut(), 5000u) << "-1 would be an endless wait for a reply";
    EXPECT_FALSE(p.SetTimeOut(L"-30000"));
    EXPECT_EQ(p.GetTimeOut(), 5000u);
    EXPECT_TRUE(p.SetTimeOut(L"99999999999"));
    EXPECT_EQ(p.GetTimeOut(), 2147483647u) << "wcstol saturates";
}

TEST_F(ParamTest, AuthTimesAreMillisecondsStoredAsSeconds)
{
    p.SetLocalAuthTime(L"5999");
    EXPECT_EQ(p.GetLocalAuthTime(), 5);
    p.SetLocalAuthTime(L"1733650000999");
    EXPECT_EQ(p.GetLocalAuthTime(), 1733650000LL) << "values beyond 32 bits";
    p.SetServerAuthTime(L"-5999");
    EXPECT_EQ(p.GetServerAuthTime(), -5) << "integer division truncates toward zero";
    p.SetServerAuthTime(L"  +2000x");
    EXPECT_EQ(p.GetServerAuthTime(), 2);
    p.SetServerAuthTime(L"99999999999999999999999");
    EXPECT_EQ(p.GetServerAuthTime(), LLONG_MAX / 1000) << "saturates like wcstol";
    p.SetServerAuthTime(L"-99999999999999999999999");
    EXPECT_EQ(p.GetServerAuthTime(), LLONG_MIN / 1000);
}

TEST(ParseDecimal64, FollowsWcstolRules)
{
    EXPECT_EQ(ParseDecimal64(L"9223372036854775807"), LLONG_MAX);
    EXPECT_EQ(ParseDecimal64(L"-9223372036854775808"), LLONG_MIN);
    EXPECT_EQ(ParseDecimal64(L"9223372036854775808"), LLONG_MAX);
    EXPECT_EQ(ParseDecimal64(L"-"), 0);
    EXPECT_EQ(ParseDecimal64(L" \t-12ab"), -12);
    EXPECT_EQ(ParseDecimal64(nullptr), 0);
    EXPECT_EQ(ParseDecimal(L"- 5"), 0) << "no blank between sign and digits";
}

TEST_F(ParamTest, WideStringsAndCopiesOwnTheirText)
{
    std::wstring longUrl(5000, L'u');
    p.SetRegistURL(longUrl.c_str());
    p.SetOption(L"/A:1 /B:\"x y\"");
    p.SetPatchURL(L"http://h/p.zip");
    p.SetSetupURL(L"http://h/s.exe");
    p.SetDownPath(L"C:\\d\\s.exe");
    p.SetDNSHost(L"h1 h2");
    CParam copy(p);
    p.SetDNSHost(L"other");
    p.SetOption(L"");
    EXPECT_EQ(std::wstring(copy.GetRegistURL()), longUrl);
    EXPECT_STREQ(copy.GetOption(), L"/A:1 /B:\"x y\"");
    EXPECT_STREQ(copy.GetPatchURL(), L"http://h/p.zip");
    EXPECT_STREQ(copy.GetSetupURL(), L"http://h/s.exe");
    EXPECT_STREQ(copy.GetDownPath(), L"C:\\d\\s.exe");
    ASSERT_EQ(copy.GetDNSHostCount(), 2u);
    EXPECT_STREQ(copy.GetDNSHost(1), L"h2");
}
