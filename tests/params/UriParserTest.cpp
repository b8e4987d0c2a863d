// Launch link decoding: both passes, percent decoding, pass-through switches, the second
// link form, malformed queries and the length limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "params/Param.h"
#include "params/UriParser.h"
#include "support/TestSupport.h"
#include "ui/StringTable.h"
#include "LinkTestSupport.h"

namespace
{
class UriParserTest : public testing::Test
{
  protected:
    void SetUp() override { CStringTable::SetThreadLanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)); }
    void TearDown() override { CStringTable::ResetThreadLanguage(); }

    // Parses link into p and returns the log lines it wrote.
    std::vector<std::wstring> Parse(const std::wstring& link)
    {
        LogCapture log;
        CUriParser parser(link.c_str());
        applied = parser.Parse(&p);
        return log.Texts();
    }
    std::wstring CommandLine() const
    {
        std::wstring line;
        p.BuildCommandLine(line);
        return line;
    }
    CParam p;
    bool applied = false;
};

// Every field a link can reach, as one text.
std::wstring Snapshot(const CParam& r)
{
    std::wstring line;
    r.BuildCommandLine(line);
    wchar_t numbers[200];
    _snwprintf(numbers, ARRAYSIZE(numbers) - 1, L"|%u %u %u %lu %lu %lu %lld %lld %d|", r.GetWSPort(),
               r.GetUpPort(), r.GetProductType(), r.GetTimeOut(), r.GetRunType(), r.GetQueryType(),
               r.GetLocalAuthTime(), r.GetServerAuthTime(), r.GetExpireAuthTime());
    numbers[ARRAYSIZE(numbers) - 1] = 0;
    line += numbers;
    for (const wchar_t* text : {r.GetFileName(), r.GetDNSCode(), r.GetVersion(), r.GetUpdateURL(),
                                r.GetCaptionText(), r.GetDNSHost(0), r.GetUpgradeHost(0)})
        line += std::wstring(text ? text : L"-") + L"|";
    return line;
}

typedef std::vector<std::wstring> Lines;
const wchar_t kDefaultLine[] = L"/LID:1042 /PTP:0 /MSP:7084 /FSP:7085 /MAX:2 ";
} // namespace

TEST_F(UriParserTest, DecodesTheBase64Query)
{
    // LID=17&PID=P1&RTP=1&XYZ=5
    auto log = Parse(L"norvane:?TElEPTE3JlBJRD1QMSZSVFA9MSZYWVo9NQ==");
    EXPECT_EQ(p.GetLangID(), 0x0411);
    EXPECT_STREQ(p.GetProductID(), L"P1");
    EXPECT_EQ(p.GetRunType(), 1u);
    EXPECT_STREQ(p.GetOption(), L"/XYZ:5");
    EXPECT_EQ(log, (Lines{L"SetLangID : 17", L"SetProductID : P1", L"SetRunType : 1"}));
    EXPECT_EQ(CommandLine(), L"/LID:1041 /PID:\"P1\" /PTP:0 /MSP:7084 /FSP:7085 /MAX:2 /XYZ:5 ");
}

TEST_F(UriParserTest, EveryKeyReachesItsFieldAndIsLogged)
{
    std::wstring query = L"LID=1033&PID=P7&PTP=3&CID=ACME&CAP=My Title&GRP=Grp&URL=http://r/x&FNM=c.exe&"
                         L"UIP=u1 u2&DIP=d1 \"d 2\"&DID=DC&MSP=1&FSP=2&WSP=3&UPP=4&UID=me&ALS=Al&MID=m1&"
                         L"RNM=Room&MAX=9&UTP=5&QTO=1234&RTP=3&QTP=2&VER=1.0&UDU=http://u/&LAT=5999&"
                         L"SAT=7000&EAT=-1";
    auto log = Parse(MakeLink(query));
    EXPECT_EQ(log, (Lines{L"SetLangID : 1033",
                          L"SetProductID : P7",
                          L"SetProductType : 3",
                          L"SetCompanyCode : ACME",
                          L"SetTitle : My Title",
                          L"SetGroup : Grp",
                          L"SetRegistURL : http://r/x",
                          L"SetFileName : c.exe",
                          L"SetUpgradeHost : u1 u2",
                          L"SetDNSHost : d1 \"d 2\"",
                          L"SetDNSCode : DC",
                          L"SetMSPort : 1",
                          L"SetFSPort : 2",
                          L"SetWSPort : 3",
                          L"SetUpPort : 4",
                          L"SetUserID : me",
                          L"SetAlias : Al",
                          L"SetMeeterID : m1",
                          L"SetRoomName : Room",
                          L"SetMaxUser : 9",
                          L"SetUserType : 5",
                          L"SetTimeOut : 1234",
                          L"SetRunType : 3",
                          L"SetQueryType : 2",
                          L"SetVersion : 1.0",
                          L"SetUpdateURL : http://u/",
                          L"SetLocalAuthTime : 5999",
                          L"SetServerAuthTime : 7000",
                          L"SetExpireAuthTime : -1"}));
    EXPECT_EQ(p.GetLangID(), 0x0409);
    EXPECT_EQ(p.GetProductType(), 3);
    EXPECT_STREQ(p.GetCaptionText(), L"My Title Updater");
    ASSERT_EQ(p.GetUpgradeHostCount(), 2u);
    ASSERT_EQ(p.GetDNSHostCount(), 2u);
    EXPECT_STREQ(p.GetDNSHost(1), L"d 2");
    EXPECT_EQ(p.GetWSPort(), 3);
    EXPECT_EQ(p.GetUpPort(), 4);
    EXPECT_EQ(p.GetTimeOut(), 1234u);
    EXPECT_EQ(p.GetQueryType(), 2u);
    EXPECT_STREQ(p.GetVersion(), L"1.0");
    EXPECT_STREQ(p.GetUpdateURL(), L"http://u/");
    EXPECT_EQ(p.GetLocalAuthTime(), 5);
    EXPECT_EQ(p.GetServerAuthTime(), 7);
    EXPECT_EQ(p.GetExpireAuthTime(), -1);
    EXPECT_STREQ(p.GetOption(), L"");
    EXPECT_EQ(CommandLine(), L"/LID:1033 /PID:\"P7\" /CID:\"ACME\" /PTP:3 /CAP:\"My Title\" /GRP:\"Grp\" "
                             L"/URL:\"http://r/x\" /MSP:1 /FSP:2 /UID:\"me\" /ALS:\"Al\" /MID:\"m1\" "
                             L"/RNM:\"Room\" /MAX:9 /UTP:5 ");
}

TEST_F(UriParserTest, KeysIgnoreCase)
{
    Parse(MakeLink(L"lid=9&Pid=p&rTp=2"));
    EXPECT_EQ(p.GetLangID(), 0x0409);
    EXPECT_STREQ(p.GetProductID(), L"p");
    EXPECT_EQ(p.GetRunType(), 2u);
}

TEST_F(UriParserTest, PercentFlagDecodesLaterValues)
{
    // ENC=1&LID=17&PID=P1&RTP=1&XYZ=5&RNM=<percent-encoded UTF-8 of a Korean room name>
    auto log = Parse(L"norvane:?RU5DPTEmTElEPTE3JlBJRD1QMSZSVFA9MSZYWVo9NSZSTk09JUVEJTlBJThDJUVDJTlEJTk4JUVD"
                     L"JThCJUE0JTIwJTMx");
    EXPECT_STREQ(p.GetRoomName(), L"\ud68c\uc758\uc2e4 1");
    EXPECT_EQ(p.GetLangID(), 0x0411);
    EXPECT_STREQ(p.GetOption(), L"/XYZ:5");
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0], L"Encoded : 1");
    EXPECT_EQ(log[4], L"SetRoomName : \ud68c\uc758\uc2e4 1");
}

TEST_F(UriParserTest, EncZeroKeepsValuesAndAnEmptyEncTurnsDecodingOn)
{
    Parse(MakeLink(L"ENC=0&RNM=a%20b&XYZ=%41"));
    EXPECT_STREQ(p.GetRoomName(), L"a%20b");
    EXPECT_STREQ(p.GetOption(), L"/XYZ:%41");

    CParam fresh;
    p = fresh;
    auto log = Parse(MakeLink(L"ENC=&RNM=a%20b&XYZ=%41&ALS=50%&MID=%zz"));
    EXPECT_STREQ(p.GetRoomName(), L"a b");
    EXPECT_STREQ(p.GetOption(), L"/XYZ:A");
    EXPECT_STREQ(p.GetAlias(), L"50%") << "a % at the end stays";
    EXPECT_STREQ(p.GetMeeterID(), L"%zz");
    EXPECT_EQ(log.front(), L"Encoded : ");

    // The flag lasts until another ENC: decoding stops again after ENC=0.
    p = fresh;
    Parse(MakeLink(L"ENC=1&RNM=a%20b&ENC=0&ALS=c%20d"));
    EXPECT_STREQ(p.GetRoomName(), L"a b");
    EXPECT_STREQ(p.GetAlias(), L"c%20d");
}

TEST_F(UriParserTest, UnescapedCharactersSurvivePercentDecoding)
{
    // Escapes spell UTF-8; characters a link left unescaped must come through as they are,
    // whatever the system's code page holds.
    auto log = Parse(MakeLink(L"ENC=1&RNM=Caf\u00e9%20\ud68c\uc758&XYZ=\u65e5%41&ALS=\u00e9%C3%A9"));
    EXPECT_STREQ(p.GetRoomName(), L"Caf\u00e9 \ud68c\uc758");
    EXPECT_STREQ(p.GetOption(), L"/XYZ:\u65e5A");
    EXPECT_STREQ(p.GetAlias(), L"\u00e9\u00e9");
    EXPECT_EQ(log,
              (Lines{L"Encoded : 1", L"SetRoomName : Caf\u00e9 \ud68c\uc758", L"SetAlias : \u00e9\u00e9"}));
}

TEST_F(UriParserTest, UnknownKeysBecomeSwitchesInOrder)
{
    Parse(MakeLink(L"AAA=1&LID=18&OPT=/x y&Zz=&BBB=2"));
    EXPECT_STREQ(p.GetOption(), L"/AAA:1 /OPT:/x y /Zz: /BBB:2");
    EXPECT_EQ(CommandLine(), L"/LID:1042 /PTP:0 /MSP:7084 /FSP:7085 /MAX:2 /AAA:1 /OPT:/x y /Zz: /BBB:2 ");
}

TEST_F(UriParserTest, StraySeparatorsAndEmptyValues)
{
    p.SetProductID(L"before");
    p.SetLangID(L"9");
    Parse(MakeLink(L"&&=x&LID=&PID==P2=&=&ABC&DEF=1=2&"));
    // A link applies empty values; the text after a second "=" is ignored; bare text in
    // the decoded query is dropped.
    EXPECT_EQ(p.GetLangID(), 0x0400);
    EXPECT_STREQ(p.GetProductID(), L"");
    EXPECT_STREQ(p.GetOption(), L"/:x /: /DEF:1");
}

TEST_F(UriParserTest, SecondFormCarriesVersionAndUpdateUrlInPlainText)
{
    // The Base64 text ends in "==", which the first pass splits off like a value.
    std::wstring b64 = L"TElEPTkmUElEPVAyJkVBVD0xMA=="; // LID=9&PID=P2&EAT=10
    auto log = Parse(L"norvane:?VER=1.0.2.9&UDU=http://h/get&" + b64);
    EXPECT_STREQ(p.GetVersion(), L"1.0.2.9");
    EXPECT_STREQ(p.GetUpdateURL(), L"http://h/get");
    EXPECT_EQ(p.GetLangID(), 0x0409);
    EXPECT_STREQ(p.GetProductID(), L"P2");
    EXPECT_EQ(p.GetExpireAuthTime(), 10);
    EXPECT_STREQ(p.GetOption(), L"");
    EXPECT_EQ(log, (Lines{L"SetVersion : 1.0.2.9", L"SetUpdateURL : http://h/get", L"SetLangID : 9",
                          L"SetProductID : P2", L"SetExpireAuthTime : 10"}));

    // Without both plain keys the whole query is the payload: "VER=1.0.2&" puts the
    // Base64 text out of step with the groups, so it no longer decodes to the keys.
    CParam fresh;
    p = fresh;
    Parse(L"norvane:?VER=1.0.2&" + b64);
    EXPECT_STREQ(p.GetVersion(), L"1.0.2");
    EXPECT_STREQ(p.GetProductID(), L"");
    EXPECT_EQ(p.GetLangID(), 0x0412);
    // The same with UDU decodes the collected text, whatever its position.
    p = fresh;
    Parse(L"norvane:?VER=1.0.2&UDU=http://h/g&" + b64);
    EXPECT_STREQ(p.GetProductID(), L"P2");
}

TEST_F(UriParserTest, WithoutPrefixOrQueryNothingIsParsed)
{
    const wchar_t* links[] = {
        L"",
        L"NORVANE:?TElEPTkmUElEPVAy", // the prefix is case-sensitive
        L"norvane",
        L"norvane:",
        L"norvane:TElEPTkmUElEPVAy",        // no "?"
        L"\"norvane:x\" ?TElEPTkmUElEPVAy", // the last quote lies before the "?"
        L"x?TElEPTkmUElEPVAy norvane:",
    };
    for (const wchar_t* link : links)
    {
        CParam fresh;
        p = fresh;
        auto log = Parse(link);
        EXPECT_TRUE(log.empty()) << link;
        EXPECT_EQ(CommandLine(), kDefaultLine) << link;
        EXPECT_STREQ(p.GetOption(), L"") << link;
    }
    EXPECT_EQ(CUriParser(L"NORVANE:?x").IsValid(), 0);
    EXPECT_EQ(CUriParser(nullptr).IsValid(), 0);
    EXPECT_EQ(CUriParser(L"xx norvane:").IsValid(), 1);
}

TEST_F(UriParserTest, TheQueryEndsAtTheLastDoubleQuote)
{
    // As the shell passes it, or as a link file gives it, with text around it.
    Parse(L"\"C:\\x\\NVPCUpdater.exe\" \"norvane:?TElEPTkmUElEPVAy\"");
    EXPECT_EQ(p.GetLangID(), 0x0409);
    EXPECT_STREQ(p.GetProductID(), L"P2");
    CParam fresh;
    p = fresh;
    Parse(L"norvane:?TElEPTkmUElEPVAy\" text after the quote: PID=xx&LID=1");
    EXPECT_STREQ(p.GetProductID(), L"P2");
    EXPECT_EQ(p.GetLangID(), 0x0409);
    // Blanks and line ends inside the Base64 text are skipped by the decoder.
    p = fresh;
    Parse(L"\"norvane:?TElEPTkm UElE\r\nPVAy\r\"");
    EXPECT_STREQ(p.GetProductID(), L"P2");
}

TEST_F(UriParserTest, APayloadThatIsNotBase64DecodesToNoKnownKey)
{
    p.SetProductID(L"keep");
    Parse(L"norvane:?this is certainly not base64 !!! ###");
    EXPECT_STREQ(p.GetProductID(), L"keep");
    EXPECT_EQ(p.GetLangID(), 0x0412);
    // The first pass collected the bare text; the second pass found no segment with "="
    // in the decoded bytes and left an empty switch list.
    EXPECT_STREQ(p.GetOption(), L"");
}

TEST_F(UriParserTest, InvalidUtf8InTheDecodedQueryBecomesReplacementCharacters)
{
    std::string query = "PID=a\xFFz&XYZ=\xC3(";
    Parse(L"norvane:?" + Utf8ToWideString(RefBase64(query)));
    EXPECT_STREQ(p.GetProductID(), L"a\xFFFDz");
    EXPECT_STREQ(p.GetOption(), L"/XYZ:\xFFFD(");
}

// A link that carries a value refused for what it holds is refused whole: the record is
// left exactly as it was, also by the keys before the refused one, and the caller is told.
TEST_F(UriParserTest, AHostileValueRefusesTheWholeLink)
{
    const std::wstring valid =
        L"LID=9&CID=ACME&CAP=Meeting&DIP=127.0.0.1&MSP=7100&RTP=2&QTP=2&LAT=5000&SAT=5000&";
    const std::wstring links[] = {
        MakeLink(valid + L"FNM=..\\..\\windows\\system32\\cmd.exe&XYZ=1"),
        MakeLink(valid + L"CID=x\" & echo pwned> C:\\x\\pwned.txt & rem \""),
        MakeLink(valid + L"PID=..\\..\\..\\secret"),
        MakeLink(valid + L"GRP=NUL"),
        MakeLink(valid + L"FNM=c:cmd.exe"),
        MakeLink(valid + L"UID=me\\"),
        MakeLink(L"PID=a/b&" + valid),                       // refused first, applied keys follow
        MakeLink(L"ENC=1&" + valid + L"RNM=x%22 /SIP:evil"), // a quote spelt as an escape
        MakeLink(L"ENC=1&" + valid + L"FNM=%2E%2E"),
        // Second form: a known key among the plain segments, before the Base64 text.
        L"norvane:?VER=1.0&UDU=http://h/&PID=..&" + MakeLink(valid).substr(9),
    };
    for (const std::wstring& link : links)
    {
        CParam before;
        before.SetProductID(L"NVPC");
        before.SetFileName(L"client.exe");
        before.SetOption(L"/A:1");
        p = before;
        auto log = Parse(link);
        EXPECT_FALSE(applied) << testing::PrintToString(link);
        EXPECT_EQ(Snapshot(p), Snapshot(before)) << testing::PrintToString(link);
        EXPECT_STREQ(p.GetOption(), L"/A:1");
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), L"CUriParser::Parse : link refused") << testing::PrintToString(link);
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::wstring& line)
                                { return line.find(L" : refused ") != std::wstring::npos; }),
                  1);
    }
    // The same keys with plain names are applied.
    p = CParam();
    Parse(MakeLink(valid + L"FNM=client.exe&PID=NVPC&GRP=Calderix&UID=me"));
    EXPECT_TRUE(applied);
    EXPECT_STREQ(p.GetFileName(), L"client.exe");
    EXPECT_EQ(p.GetQueryType(), 2u);
}

TEST_F(UriParserTest, ValuesTooLongForTheirFieldsAreRefused)
{
    p.SetProductID(L"kept");
    std::wstring longId(100, L'p');
    std::wstring longUrl(2048, L'u');
    Parse(MakeLink(L"PID=" + longId + L"&UDU=" + longUrl + L"&MID=" + std::wstring(99, L'm')));
    EXPECT_TRUE(applied) << "a value too long for its field leaves that field alone, the rest applies";
    EXPECT_STREQ(p.GetProductID(), L"kept");
    EXPECT_STREQ(p.GetUpdateURL(), L"");
    EXPECT_EQ(std::wstring(p.GetMeeterID()), std::wstring(99, L'm'));
}

TEST_F(UriParserTest, DecodedQueryIsCutAt8191Characters)
{
    // "LID=9&" and "XYZ=" take 10 characters; the value fills the rest of the limit and
    // the key after it is never reached.
    std::wstring value(9000, L'b');
    Parse(MakeLink(L"LID=9&XYZ=" + value + L"&PID=P9"));
    EXPECT_EQ(p.GetLangID(), 0x0409);
    EXPECT_STREQ(p.GetProductID(), L"");
    EXPECT_EQ(std::wstring(p.GetOption()), L"/XYZ:" + std::wstring(8191 - 10, L'b'));
}

TEST_F(UriParserTest, PercentDecodedValueIsCutAt4095Characters)
{
    std::wstring value;
    for (int i = 0; i < 10; ++i)
        value += L"%41";
    value += std::wstring(4500, L'x'); // 4510 characters once decoded
    Parse(MakeLink(L"ENC=1&XYZ=" + value + L"&ALS=" + std::wstring(200, L'a')));
    EXPECT_EQ(std::wstring(p.GetOption()), L"/XYZ:" + std::wstring(10, L'A') + std::wstring(4085, L'x'));
    EXPECT_STREQ(p.GetAlias(), L"") << "200 characters do not fit the 100-character field";
}

TEST_F(UriParserTest, AVeryLongLinkIsHandled)
{
    std::wstring link = L"norvane:?" + std::wstring(200000, L'Q') + L"&" + std::wstring(50000, L'=');
    Parse(link);
    EXPECT_EQ(p.GetLangID(), 0x0412);
    // The decoded bytes hold neither "&" nor "=": one bare segment, dropped.
    EXPECT_STREQ(p.GetOption(), L"");
}
