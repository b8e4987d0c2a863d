// Deterministic mutation runs over the decoders that see untrusted input: launch links,
// reply bodies and Base64 texts. A fixed seed keeps every run identical; each case checks
// that nothing was written past the record's fields or the codec's buffers.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "common/Base64Coder.h"
#include "net/PktParser.h"
#include "params/Param.h"
#include "params/UriParser.h"
#include "support/TestSupport.h"
#include "ui/StringTable.h"
#include "LinkTestSupport.h"

namespace
{
const unsigned kSeed = 20240611;
const int kCases = 3000;

// Characters the decoders give meaning to, plus a few that stress the converters.
const char kInteresting[] = {'=',  '&',    '%',    '"',    '?',    ' ',    '\r', '\n', '\x01', '\x02',
                             '\0', '\x7F', '\xC3', '\xE6', '\xF0', '\xFF', '+',  '/',  'A',    '0'};

template <typename String> void Mutate(String& s, std::mt19937& rng)
{
    typedef typename String::value_type Char;
    int steps = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < steps; ++i)
    {
        size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 8)
        {
        case 0: // replace a unit with an interesting one
            if (!s.empty())
                s[pos % s.size()] =
                    static_cast<Char>(static_cast<unsigned char>(kInteresting[rng() % sizeof kInteresting]));
            break;
        case 1: // insert an interesting unit
            s.insert(s.begin() + pos, static_cast<Char>(static_cast<unsigned char>(
                                          kInteresting[rng() % sizeof kInteresting])));
            break;
        case 2: // flip bits
            if (!s.empty())
                s[pos % s.size()] =
                    static_cast<Char>(s[pos % s.size()] ^ static_cast<Char>(1u << (rng() % 8)));
            break;
        case 3: // delete a run
            if (!s.empty())
                s.erase(pos % s.size(), 1 + rng() % 16);
            break;
        case 4: // duplicate a chunk
            if (!s.empty())
            {
                size_t from = rng() % s.size();
                String chunk = s.substr(from, 1 + rng() % 64);
                s.insert(pos, chunk);
            }
            break;
        case 5: // truncate
            s.resize(pos);
            break;
        case 6: // a long run of one unit, past the decoders' limits
            s.insert(pos,
                     String(1 + rng() % 9000, static_cast<Char>(kInteresting[rng() % sizeof kInteresting])));
            break;
        default: // random unit
            s.insert(s.begin() + pos, static_cast<Char>(rng() % (sizeof(Char) == 1 ? 256 : 0x10000)));
            break;
        }
    }
}

// The record between guard areas: a write past a field would show in the guards or
// leave a field without its terminator.
struct GuardedParam
{
    unsigned char before[256];
    CParam p;
    unsigned char after[256];
    GuardedParam()
    {
        memset(before, 0xA5, sizeof before);
        memset(after, 0x5A, sizeof after);
    }
    void Check() const
    {
        for (size_t i = 0; i < sizeof before; ++i)
            ASSERT_EQ(before[i], 0xA5);
        for (size_t i = 0; i < sizeof after; ++i)
            ASSERT_EQ(after[i], 0x5A);
        struct
        {
            const wchar_t* text;
            size_t width;
        } fields[] = {{p.GetProductID(), 100},  {p.GetCompanyCode(), 100}, {p.GetFileName(), 100},
                      {p.GetTitle(), 100},      {p.GetGroup(), 100},       {p.GetDNSCode(), 100},
                      {p.GetUserID(), 100},     {p.GetAlias(), 100},       {p.GetMeeterID(), 100},
                      {p.GetRoomName(), 200},   {p.GetCaptionText(), 128}, {p.GetVersion(), 200},
                      {p.GetUpdateURL(), 2048}, {p.GetServerIP(), 50}};
        for (const auto& f : fields)
            ASSERT_LT(wcsnlen(f.text, f.width), f.width);
    }
};

const wchar_t* kLinkQueries[] = {
    L"LID=17&PID=P1&RTP=1&XYZ=5",
    L"ENC=1&RNM=%ED%9A%8C%EC%9D%98&ALS=a%20b&MID=%zz&UID=50%",
    L"LID=9&PID=P2&EAT=10&LAT=1700000000000&SAT=1700000000000&CAP=Title&DIP=a \"b c\"&UIP=u",
    L"&&=x&LID=&PID==P2=&=&ABC&DEF=1=2&",
};
} // namespace

TEST(Mutation, UriParserParse)
{
    CStringTable::SetThreadLanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    std::mt19937 rng(kSeed);
    std::vector<std::wstring> seeds;
    for (const wchar_t* q : kLinkQueries)
    {
        seeds.push_back(MakeLink(q));
        seeds.push_back(L"\"" + MakeLink(q) + L"\r\"");
        seeds.push_back(L"norvane:?VER=1.0.2.9&UDU=http://h/x&" + Utf8ToWideString(RefBase64(WideToUtf8(q))));
    }
    for (int i = 0; i < kCases; ++i)
    {
        std::wstring link;
        if (i % 2 == 0)
        {
            // Mutate the link text itself.
            link = seeds[rng() % seeds.size()];
            Mutate(link, rng);
        }
        else
        {
            // Mutate the decoded query, so that the second pass sees the damage.
            std::string query = WideToUtf8(kLinkQueries[rng() % ARRAYSIZE(kLinkQueries)]);
            Mutate(query, rng);
            link = L"norvane:?" + Utf8ToWideString(RefBase64(query));
        }
        GuardedParam record;
        CUriParser(link.c_str()).Parse(&record.p);
        record.Check();
        if (HasFatalFailure())
            FAIL() << "case " << i;
        // The switch list is bounded by the decoded query's limit.
        ASSERT_LE(wcslen(record.p.GetOption()), 2u * (CUriParser::kMaxDecodedChars + 1) + link.size()) << i;
        if (i % 250 == 0)
        {
            ASSERT_EQ(_heapchk(), _HEAPOK) << "case " << i;
        }
    }
    CStringTable::ResetThreadLanguage();
}

TEST(Mutation, PktParserAParse)
{
    std::mt19937 rng(kSeed + 1);
    const std::string seeds[] = {std::string("10.0.0.5\x01"
                                             "3.1\x02"),
                                 std::string("\x02"), std::string("http://h/u.zip"),
                                 std::string("a\x01\x01"
                                             "b\x02"
                                             "c")};
    for (int i = 0; i < kCases; ++i)
    {
        std::string body = seeds[rng() % ARRAYSIZE(seeds)];
        Mutate(body, rng);
        // Read exactly from a buffer of the body's size, with guards around it.
        std::vector<char> area(body.size() + 64, '\x5A');
        memcpy(area.data() + 32, body.data(), body.size());
        CPktParserA parser;
        size_t count = parser.Parse(area.data() + 32, body.size());
        size_t separators = 0;
        for (char ch : body)
            separators += (ch == '\x01' || ch == '\x02') ? 1 : 0;
        ASSERT_EQ(count, separators) << i;
        size_t total = 0;
        for (size_t f = 0; f < count; ++f)
        {
            ASSERT_NE(parser.GetField(f), nullptr);
            total += strlen(parser.GetField(f));
        }
        ASSERT_LE(total + separators, body.size()) << i;
        ASSERT_EQ(parser.GetField(count), nullptr);
        for (size_t g = 0; g < 32; ++g)
        {
            ASSERT_EQ(area[g], '\x5A');
            ASSERT_EQ(area[32 + body.size() + g], '\x5A');
        }
    }
    ASSERT_EQ(_heapchk(), _HEAPOK);
}

TEST(Mutation, Base64CoderDecode)
{
    std::mt19937 rng(kSeed + 2);
    const std::string seeds[] = {
        "YWJj", "YW Jj\r\n", "YQ==", "TElEPTE3JlBJRD1QMSZSVFA9MSZYWVo9NQ==", "=", ""};
    Base64Coder reused; // one coder across cases: its buffers grow and are reused
    for (int i = 0; i < kCases; ++i)
    {
        std::string text = seeds[rng() % ARRAYSIZE(seeds)];
        Mutate(text, rng);
        Base64Coder fresh;
        for (Base64Coder* coder : {&fresh, &reused})
        {
            coder->Decode(text.data(), text.size());
            // Three bytes per four characters at most, and always a terminator inside
            // the buffer.
            ASSERT_LE(coder->DecodedLength(), (text.size() + 3) / 4 * 3) << i;
            ASSERT_LT(coder->DecodedLength(), coder->DataCapacity()) << i;
            ASSERT_LE(strlen(coder->DecodedData()), coder->DecodedLength()) << i;
            ASSERT_LT(coder->EncodedLength(), coder->TextCapacity()) << i;
        }
        if (i % 250 == 0)
        {
            ASSERT_EQ(_heapchk(), _HEAPOK) << "case " << i;
        }
    }
}
