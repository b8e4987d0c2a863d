// The parameter record: defaults, setters, bounded fields, number parsing, host lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "params/Param.h"
#include "support/TestSupport.h"
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

namespace
{
// What a setter checks in a value beyond its length.
enum ValueRule
{
    kPlainName = 1, // becomes part of a path
    kQuoted = 2,    // enclosed in double quotes on the client's command line
    kBare = 4,      // on the client's command line without quotes
};

struct CheckedField
{
    const wchar_t* setterName;
    bool (CParam::*set)(const wchar_t*);
    const wchar_t* (CParam::*get)() const;
    unsigned rules;
};

const CheckedField kCheckedFields[] = {
    {L"SetProductID", &CParam::SetProductID, &CParam::GetProductID, kPlainName | kQuoted},
    {L"SetGroup", &CParam::SetGroup, &CParam::GetGroup, kPlainName | kQuoted},
    {L"SetFileName", &CParam::SetFileName, &CParam::GetFileName, kPlainName},
    {L"SetCompanyCode", &CParam::SetCompanyCode, &CParam::GetCompanyCode, kQuoted},
    {L"SetTitle", &CParam::SetTitle, &CParam::GetTitle, kQuoted},
    {L"SetRegistURL", &CParam::SetRegistURL, &CParam::GetRegistURL, kQuoted},
    {L"SetUserID", &CParam::SetUserID, &CParam::GetUserID, kQuoted},
    {L"SetAlias", &CParam::SetAlias, &CParam::GetAlias, kQuoted},
    {L"SetMeeterID", &CParam::SetMeeterID, &CParam::GetMeeterID, kQuoted},
    {L"SetRoomName", &CParam::SetRoomName, &CParam::GetRoomName, kQuoted},
    {L"SetServerIP", &CParam::SetServerIP, &CParam::GetServerIP, kBare},
    // Not on the command line and no path: any text that fits.
    {L"SetDNSCode", &CParam::SetDNSCode, &CParam::GetDNSCode, 0},
};

struct CheckedValue
{
    const wchar_t* value;
    unsigned refusedBy; // the rules that refuse it
};

const CheckedValue kCheckedValues[] = {
    {L"..\\..\\windows\\system32\\cmd.exe", kPlainName},
    {L"..\\..\\..\\secret", kPlainName},
    {L"a/b", kPlainName},
    {L"\\\\host\\share", kPlainName},
    {L"c:x", kPlainName},
    {L"client.exe:stream", kPlainName},
    {L"..", kPlainName},
    {L". .", kPlainName | kBare},
    {L"...", kPlainName},
    {L"NUL", kPlainName},
    {L"aux.txt", kPlainName},
    {L"nul .txt", kPlainName | kBare},
    {L"com1", kPlainName},
    {L"LPT9.log", kPlainName},
    {L"COM\u00B9", kPlainName},
    {L"CONOUT$", kPlainName},
    {L"a*b?", kPlainName},
    {L"a<b>|c", kPlainName},
    {L"a\x01z", kPlainName | kBare},
    {L"line\r\nbreak", kPlainName | kBare},
    {L"tab\there", kPlainName | kBare},
    {L"x\" & echo pwned> C:\\x\\pwned.txt & rem \"", kPlainName | kQuoted | kBare},
    {L"\"", kPlainName | kQuoted | kBare},
    {L"ends in a backslash\\", kPlainName | kQuoted | kBare},
    {L"ends\\", kPlainName | kQuoted},
    {L"two words", kBare},
    {L"http://reg.example/x?a=1", kPlainName},
    // Names that only look like the ones above.
    {L"client.exe", 0},
    {L"a.b", 0},
    {L"a..b", 0},
    {L".hidden", 0},
    {L"NULL", 0},
    {L"COM10", 0},
    {L"con1.txt", 0},
    {L"auxiliary", 0},
    {L"\uD68C\uC758\uC2E4", 0},
    {L"Caf\u00e9 \u65e5\u672c", kBare},
    {L"10.20.30.40", 0},
    {L"", 0},
};
} // namespace

// Every way in (configuration file, link, script, server reply) uses these setters: a value
// that could name a path or break the client's command line is refused like an overlong
// one, with a log line, and counted; every other value is stored.
TEST_F(ParamTest, SettersRefuseValuesThatCouldChooseAPathOrBreakTheCommandLine)
{
    LogCapture log;
    std::vector<std::wstring> expectedLog;
    unsigned expectedRefusals = 0;
    for (const CheckedField& f : kCheckedFields)
    {
        for (const CheckedValue& v : kCheckedValues)
        {
            const bool refused = (v.refusedBy & f.rules) != 0;
            ASSERT_TRUE((p.*f.set)(L"kept"));
            EXPECT_EQ((p.*f.set)(v.value), !refused)
                << f.setterName << " " << testing::PrintToString(v.value);
            EXPECT_EQ(std::wstring((p.*f.get)()), refused ? L"kept" : v.value)
                << f.setterName << " " << testing::PrintToString(v.value);
            if (refused)
            {
                ++expectedRefusals;
                std::wstring shown = v.value; // control characters are logged as "?"
                for (wchar_t& c : shown)
                    c = c < 32 ? L'?' : c;
                expectedLog.push_back(std::wstring(L"CParam::") + f.setterName + L" : refused " + shown);
            }
            EXPECT_EQ(p.GetRefusedValueCount(), expectedRefusals) << f.setterName;
        }
    }
    std::vector<std::wstring> texts = log.Texts();
    ASSERT_EQ(texts.size(), expectedLog.size());
    for (size_t i = 0; i < texts.size(); ++i)
    {
        // "CParam::SetX : refused VALUE (why)"
        EXPECT_EQ(texts[i].compare(0, expectedLog[i].size(), expectedLog[i]), 0)
            << testing::PrintToString(texts[i]);
        EXPECT_EQ(texts[i].back(), L')') << testing::PrintToString(texts[i]);
    }
    EXPECT_EQ(log.Lines().front().level, 1);
}

TEST_F(ParamTest, RefusedTitleKeepsTitleAndCaption)
{
    p.SetTitle(L"Norvane");
    EXPECT_FALSE(p.SetTitle((std::wstring(120, L'T') + L"\"").c_str())) << "refused, not shortened";
    EXPECT_STREQ(p.GetTitle(), L"Norvane");
    EXPECT_STREQ(p.GetCaptionText(), L"Norvane Updater");
    CParam copy(p);
    EXPECT_EQ(copy.GetRefusedValueCount(), 1u) << "a copy carries the count on";
}
