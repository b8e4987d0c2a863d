#include "params/UriParser.h"

#include <cstdlib>
#include <cwchar>
#include <vector>

#include "common/Base64Coder.h"
#include "common/Handles.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "common/FieldSplitter.h"

namespace
{
const wchar_t kPrefix[] = L"norvane:";
const size_t kPrefixChars = ARRAYSIZE(kPrefix) - 1;

typedef bool (CParam::*Setter)(const wchar_t*);

struct LinkKey
{
    const wchar_t* key;
    Setter setter;
    const wchar_t* logFormat;
};

const LinkKey kKeys[] = {
    {L"LID", &CParam::SetLangID, L"SetLangID : %s"},
    {L"PID", &CParam::SetProductID, L"SetProductID : %s"},
    {L"PTP", &CParam::SetProductType, L"SetProductType : %s"},
    {L"CID", &CParam::SetCompanyCode, L"SetCompanyCode : %s"},
    {L"CAP", &CParam::SetTitle, L"SetTitle : %s"},
    {L"GRP", &CParam::SetGroup, L"SetGroup : %s"},
    {L"URL", &CParam::SetRegistURL, L"SetRegistURL : %s"},
    {L"FNM", &CParam::SetFileName, L"SetFileName : %s"},
    {L"UIP", &CParam::SetUpgradeHost, L"SetUpgradeHost : %s"},
    {L"DIP", &CParam::SetDNSHost, L"SetDNSHost : %s"},
    {L"DID", &CParam::SetDNSCode, L"SetDNSCode : %s"},
    {L"MSP", &CParam::SetMSPort, L"SetMSPort : %s"},
    {L"FSP", &CParam::SetFSPort, L"SetFSPort : %s"},
    {L"WSP", &CParam::SetWSPort, L"SetWSPort : %s"},
    {L"UPP", &CParam::SetUpPort, L"SetUpPort : %s"},
    {L"UID", &CParam::SetUserID, L"SetUserID : %s"},
    {L"ALS", &CParam::SetAlias, L"SetAlias : %s"},
    {L"MID", &CParam::SetMeeterID, L"SetMeeterID : %s"},
    {L"RNM", &CParam::SetRoomName, L"SetRoomName : %s"},
    {L"MAX", &CParam::SetMaxUser, L"SetMaxUser : %s"},
    {L"UTP", &CParam::SetUserType, L"SetUserType : %s"},
    {L"QTO", &CParam::SetTimeOut, L"SetTimeOut : %s"},
    {L"RTP", &CParam::SetRunType, L"SetRunType : %s"},
    {L"QTP", &CParam::SetQueryType, L"SetQueryType : %s"},
    {L"VER", &CParam::SetVersion, L"SetVersion : %s"},
    {L"UDU", &CParam::SetUpdateURL, L"SetUpdateURL : %s"},
    {L"LAT", &CParam::SetLocalAuthTime, L"SetLocalAuthTime : %s"},
    {L"SAT", &CParam::SetServerAuthTime, L"SetServerAuthTime : %s"},
    {L"EAT", &CParam::SetExpireAuthTime, L"SetExpireAuthTime : %s"},
};

// Bytes read as UTF-8 into at most maxChars characters (cut at a character boundary).
std::wstring FromUtf8(const char* bytes, size_t maxChars)
{
    std::vector<wchar_t> buffer(maxChars + 1, L'\0');
    Utf8ToWide(bytes, buffer.data(), buffer.size());
    return std::wstring(buffer.data());
}

// A value of a percent-encoded link: percent-decoded and read as UTF-8. The escapes spell
// UTF-8 bytes, so the characters between them are taken as UTF-8 too: narrowed to the ANSI
// code page, an unescaped non-ASCII character would turn into "?" or into bytes that are
// no UTF-8, and the value would be spoiled.
std::wstring PercentDecodedValue(const std::wstring& value)
{
    std::string decoded = PercentDecode(WideToUtf8(value.c_str()));
    return FromUtf8(decoded.c_str(), CUriParser::kMaxValueChars);
}
} // namespace

// State shared by the two passes of one parse.
struct CUriParser::ParseState
{
    bool percent = false;
    std::wstring passThrough;
};

CUriParser::CUriParser(const wchar_t* link) : m_isValid(0), m_link(link ? link : L"")
{
    m_isValid = m_link.find(kPrefix) != std::wstring::npos ? 1 : 0;
}

CUriParser::~CUriParser() = default;

void CUriParser::ParsePass(const std::wstring& text, bool passThroughMode, ParseState& state,
                           CParam* param) const
{
    state.passThrough.clear();
    // The terminator is counted so that the last segment (and the last value) is a field.
    CPktParserW segments(L'&', 0);
    segments.Parse(text.c_str(), text.size() + 1);
    for (size_t i = 0; i < segments.GetCount(); ++i)
    {
        const wchar_t* segment = segments.GetField(i);
        CPktParserW parts(L'=', 0);
        parts.Parse(segment, wcslen(segment) + 1);
        if (parts.GetCount() < 2)
        {
            // A bare text: collected in the first pass (the Base64 payload of the second
            // link form), dropped in the second.
            if (!passThroughMode && segment[0])
                state.passThrough += segment;
            continue;
        }
        std::wstring key = parts.GetField(0);
        std::wstring value = parts.GetField(1); // text after a second "=" is ignored
        if (state.percent)
            value = PercentDecodedValue(value);

        if (_wcsicmp(key.c_str(), L"ENC") == 0)
        {
            state.percent = value.empty() || value[0] != L'0';
            WriteLog(LOG_TRACE, L"Encoded : %s", value.c_str());
            continue;
        }
        const LinkKey* known = nullptr;
        for (const LinkKey& k : kKeys)
        {
            if (_wcsicmp(key.c_str(), k.key) == 0)
            {
                known = &k;
                break;
            }
        }
        if (known)
        {
            (param->*known->setter)(value.c_str());
            WriteLog(LOG_TRACE, known->logFormat, value.c_str());
            continue;
        }
        if (!passThroughMode)
        {
            state.passThrough += key;
        }
        else
        {
            if (!state.passThrough.empty())
                state.passThrough += L' ';
            state.passThrough += L'/';
            state.passThrough += key;
            state.passThrough += L':';
            state.passThrough += value;
        }
    }
}

bool CUriParser::Parse(CParam* param) const
{
    if (!m_isValid || !param)
        return true;
    size_t prefix = m_link.find(kPrefix);
    size_t afterPrefix = prefix + kPrefixChars;
    if (afterPrefix >= m_link.size())
        return true;
    size_t question = m_link.find(L'?', afterPrefix);
    if (question == std::wstring::npos)
        return true;
    // The query ends at the last double quote of the link (a quoted command line, or the
    // quotes ReadLinkFile adds), or at the end.
    size_t quote = m_link.rfind(L'"');
    if (quote != std::wstring::npos && quote < question)
        return true;
    size_t end = quote == std::wstring::npos ? m_link.size() : quote;
    std::wstring query = m_link.substr(question + 1, end - question - 1);

    // The values go into a copy first: a link that carried a hostile value is refused as
    // a whole, so no run works with what is left of it.
    CParam parsed(*param);
    const unsigned refusedBefore = parsed.GetRefusedValueCount();
    auto refused = [&]()
    {
        if (parsed.GetRefusedValueCount() == refusedBefore)
            return false;
        WriteLog(LOG_INFO, L"CUriParser::Parse : link refused");
        return true;
    };

    ParseState state;
    ParsePass(query, false, state, &parsed);
    parsed.SetOption(state.passThrough.c_str());
    if (refused())
        return false;

    // Second link form: VER and UDU came in plain text; the Base64 text was collected.
    const std::wstring& payload =
        (parsed.GetVersion()[0] && parsed.GetUpdateURL()[0]) ? state.passThrough : query;
    std::string narrow = NarrowText(payload.c_str());
    Base64Coder coder;
    coder.Decode(narrow.c_str(), narrow.size());
    std::wstring decoded = FromUtf8(coder.DecodedData(), kMaxDecodedChars);

    ParsePass(decoded, true, state, &parsed);
    parsed.SetOption(state.passThrough.c_str());
    if (refused())
        return false;
    *param = parsed;
    return true;
}

std::wstring CUriParser::ReadLinkFile(const wchar_t* path)
{
    if (!path || !*path)
        return std::wstring();
    UniqueFile file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::wstring();
    // Only a file on disk is a link file: a read from a pipe or a device (a path such as
    // "\\.\pipe\x.nvpc" or "COM1.nvpc") could wait for ever.
    if (GetFileType(file.get()) != FILE_TYPE_DISK)
        return std::wstring();
    char bytes[kMaxLinkFileBytes + 1] = {};
    DWORD total = 0;
    while (total < kMaxLinkFileBytes)
    {
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes + total, kMaxLinkFileBytes - total, &got, nullptr) || got == 0)
            break;
        total += got;
    }
    bytes[total] = 0;
    // The first line only; a carriage return before the line feed stays.
    for (DWORD i = 0; i < total; ++i)
    {
        if (bytes[i] == '\n')
        {
            bytes[i] = 0;
            break;
        }
    }
    return L"\"" + FromUtf8(bytes, kMaxLinkFileBytes) + L"\"";
}

LONGLONG CUriParser::FileTimeToUnixSeconds(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<LONGLONG>(value.QuadPart / 10000000ULL) - 11644473600LL;
}

LONGLONG CUriParser::CurrentUnixSeconds()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeToUnixSeconds(now);
}

bool CUriParser::CheckLinkFileTime(const wchar_t* path, const CParam& param)
{
    return CheckLinkFileTime(path, param, CurrentUnixSeconds());
}

bool CUriParser::CheckLinkFileTime(const wchar_t* path, const CParam& param, LONGLONG now)
{
    LONGLONG issued = param.GetLocalAuthTime();
    if (issued == 0 || param.GetServerAuthTime() == 0)
        return false;
    if (!path || param.GetExpireAuthTime() == -1)
        return true;
    WIN32_FIND_DATAW found;
    UniqueFind find(FindFirstFileW(path, &found));
    if (!find)
        return false; // the file's time cannot be read: refuse
    LONGLONG written = FileTimeToUnixSeconds(found.ftLastWriteTime);
    LONGLONG distance = written > issued ? written - issued : issued - written;
    if (distance > kLinkSlackSeconds)
        return false;
    return issued + 60LL * param.GetExpireAuthTime() >= now;
}
