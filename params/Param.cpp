#include "params/Param.h"

#include <shellapi.h>

#include <cerrno>
#include <climits>
#include <cwchar>
#include <cwctype>

#include "common/FileNames.h"
#include "common/Log.h"
#include "ui/StringTable.h"

namespace
{
const wchar_t* OrEmpty(const wchar_t* value)
{
    return value ? value : L"";
}

WORD ParseWord(const wchar_t* value)
{
    return static_cast<WORD>(ParseDecimal(value));
}

bool IsControl(wchar_t c)
{
    return c < 32 || c == 127;
}
} // namespace

bool IsQuotableValue(const wchar_t* value)
{
    value = OrEmpty(value);
    size_t length = wcslen(value);
    return !wcschr(value, L'"') && (length == 0 || value[length - 1] != L'\\');
}

bool IsBareValue(const wchar_t* value)
{
    for (const wchar_t* p = OrEmpty(value); *p; ++p)
        if (*p == L' ' || *p == L'"' || IsControl(*p))
            return false;
    return true;
}

long ParseDecimal(const wchar_t* value)
{
    return wcstol(OrEmpty(value), nullptr, 10);
}

LONGLONG ParseDecimal64(const wchar_t* value)
{
    const wchar_t* p = OrEmpty(value);
    while (iswspace(*p))
        ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-')
        negative = *p++ == L'-';
    // Accumulate as a negative number so that the most negative value fits.
    LONGLONG result = 0;
    bool overflow = false;
    for (; *p >= L'0' && *p <= L'9'; ++p)
    {
        int digit = *p - L'0';
        if (result < (LLONG_MIN + digit) / 10)
            overflow = true;
        else
            result = result * 10 - digit;
    }
    if (overflow)
        return negative ? LLONG_MIN : LLONG_MAX;
    if (!negative)
        return result == LLONG_MIN ? LLONG_MAX : -result;
    return result;
}

std::vector<std::wstring> SplitCommandLineWords(const wchar_t* text)
{
    std::vector<std::wstring> words;
    text = OrEmpty(text);
    // CommandLineToArgvW gives the program path for an empty line: nothing to split then.
    const wchar_t* p = text;
    while (*p == L' ' || *p == L'\t')
        ++p;
    if (!*p)
        return words;
    // Its first word follows the rules for a program path; a dummy first word makes
    // every real word follow the rules for arguments.
    std::wstring line = L"x ";
    line += text;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    if (!argv)
        return words;
    for (int i = 1; i < count; ++i)
        words.push_back(argv[i]);
    LocalFree(argv);
    return words;
}

CParam::CParam()
    : LangID(0x0412), ProductType(0), MSPort(7084), FSPort(7085), WSPort(80), UpPort(7085), MaxUser(2),
      UserType(0), TimeOut(30000), RunType(0), QueryType(0), InstallType(0), UseSystemProxy(0), ProxyType(0),
      ProxyPort(0), UseModuleFolder(0), ModalDialog(0), LocalAuthTime(0), ServerAuthTime(0),
      ExpireAuthTime(0), RefusedValues(0)
{
    ProductID[0] = CompanyCode[0] = FileName[0] = Title[0] = Group[0] = 0;
    DNSCode[0] = ConnectedUpgradeHost[0] = ServerIP[0] = 0;
    UserID[0] = Alias[0] = MeeterID[0] = RoomName[0] = 0;
    CaptionText[0] = ProxyHost[0] = ProxyUser[0] = ProxyPassword[0] = 0;
    Version[0] = UpdateURL[0] = 0;
}

CParam::~CParam() = default;

bool CParam::RefuseValue(const wchar_t* setter, const wchar_t* value, const wchar_t* why)
{
    ++RefusedValues;
    // A line break in the value must not forge log lines of its own.
    std::wstring shown = OrEmpty(value);
    for (wchar_t& c : shown)
        if (IsControl(c))
            c = L'?';
    WriteLog(LOG_INFO, L"CParam::%s : refused %s (%s)", setter, shown.c_str(), why);
    return false;
}

bool CParam::AcceptName(const wchar_t* setter, const wchar_t* value)
{
    // Empty stays allowed: it is the default, and a link may clear the field.
    if (value && *value && !IsPlainName(value))
        return RefuseValue(setter, value, L"not a plain name");
    return AcceptQuoted(setter, value);
}

bool CParam::AcceptQuoted(const wchar_t* setter, const wchar_t* value)
{
    if (!IsQuotableValue(value))
        return RefuseValue(setter, value, L"would break its quotes");
    return true;
}

bool CParam::SetLangID(const wchar_t* value)
{
    LangID = static_cast<WORD>(ParseDecimal(value) | 0x0400);
    return true;
}

bool CParam::SetProductID(const wchar_t* value)
{
    return AcceptName(L"SetProductID", value) && CopyBounded(ProductID, value);
}

bool CParam::SetCompanyCode(const wchar_t* value)
{
    return AcceptQuoted(L"SetCompanyCode", value) && CopyBounded(CompanyCode, value);
}

bool CParam::SetFileName(const wchar_t* value)
{
    return AcceptName(L"SetFileName", value) && CopyBounded(FileName, value);
}

bool CParam::SetTitle(const wchar_t* value)
{
    if (!AcceptQuoted(L"SetTitle", value))
        return false;
    value = OrEmpty(value);
    if (wcsnlen(value, kTextChars) >= kTextChars)
    {
        // Too long for the field: the first 96 characters and "...".
        wmemcpy(Title, value, kTextChars - 4);
        wmemcpy(Title + kTextChars - 4, L"...", 4);
    }
    else
        CopyBounded(Title, value);
    std::wstring caption = CStringTable::Format(IDS_UPDATER_CAPTION, Title);
    if (caption.size() > kCaptionChars - 1)
        caption.resize(kCaptionChars - 1);
    CopyBounded(CaptionText, caption.c_str());
    return true;
}

bool CParam::SetGroup(const wchar_t* value)
{
    return AcceptName(L"SetGroup", value) && CopyBounded(Group, value);
}

bool CParam::SetProductType(const wchar_t* value)
{
    ProductType = ParseWord(value);
    return true;
}

bool CParam::SetDNSHost(const wchar_t* value)
{
    DNSHosts = SplitCommandLineWords(value);
    return true;
}

bool CParam::SetUpgradeHost(const wchar_t* value)
{
    UpgradeHosts = SplitCommandLineWords(value);
    return true;
}

bool CParam::SetDNSCode(const wchar_t* value)
{
    return CopyBounded(DNSCode, value);
}

bool CParam::SetRegistURL(const wchar_t* value)
{
    if (!AcceptQuoted(L"SetRegistURL", value))
        return false;
    RegistURL = OrEmpty(value);
    return true;
}

bool CParam::SetMSPort(const wchar_t* value)
{
    MSPort = ParseWord(value);
    return true;
}

bool CParam::SetFSPort(const wchar_t* value)
{
    FSPort = ParseWord(value);
    return true;
}

bool CParam::SetWSPort(const wchar_t* value)
{
    WSPort = ParseWord(value);
    return true;
}

bool CParam::SetUpPort(const wchar_t* value)
{
    UpPort = ParseWord(value);
    return true;
}

bool CParam::SetUserID(const wchar_t* value)
{
    return AcceptQuoted(L"SetUserID", value) && CopyBounded(UserID, value);
}

bool CParam::SetAlias(const wchar_t* value)
{
    return AcceptQuoted(L"SetAlias", value) && CopyBounded(Alias, value);
}

bool CParam::SetMeeterID(const wchar_t* value)
{
    return AcceptQuoted(L"SetMeeterID", value) && CopyBounded(MeeterID, value);
}

bool CParam::SetRoomName(const wchar_t* value)
{
    return AcceptQuoted(L"SetRoomName", value) && CopyBounded(RoomName, value);
}

bool CParam::SetMaxUser(const wchar_t* value)
{
    MaxUser = ParseWord(value);
    return true;
}

bool CParam::SetUserType(const wchar_t* value)
{
    UserType = ParseWord(value);
    return true;
}

bool CParam::SetTimeOut(const wchar_t* value)
{
    // A negative value would turn into a wait of 49 days or, at -1, an endless one (a link
    // from the web can carry it): ignored like 0.
    long timeOut = ParseDecimal(value);
    if (timeOut <= 0)
        return false;
    TimeOut = static_cast<DWORD>(timeOut);
    return true;
}

bool CParam::SetRunType(const wchar_t* value)
{
    RunType = static_cast<DWORD>(ParseDecimal(value));
    return true;
}

bool CParam::SetQueryType(const wchar_t* value)
{
    QueryType = static_cast<DWORD>(ParseDecimal(value));
    return true;
}

bool CParam::SetOption(const wchar_t* value)
{
    Option = OrEmpty(value);
    return true;
}

bool CParam::SetPatchURL(const wchar_t* value)
{
    PatchURL = OrEmpty(value);
    return true;
}

bool CParam::SetVersion(const wchar_t* value)
{
    return CopyBounded(Version, value);
}

bool CParam::SetUpdateURL(const wchar_t* value)
{
    return CopyBounded(UpdateURL, value);
}

bool CParam::SetLocalAuthTime(const wchar_t* value)
{
    LocalAuthTime = ParseDecimal64(value) / 1000;
    return true;
}

bool CParam::SetServerAuthTime(const wchar_t* value)
{
    ServerAuthTime = ParseDecimal64(value) / 1000;
    return true;
}

bool CParam::SetExpireAuthTime(const wchar_t* value)
{
    ExpireAuthTime = static_cast<int>(ParseDecimal(value));
    return true;
}

bool CParam::SetServerIP(const wchar_t* value)
{
    // Set from a server's reply: it is no more trusted than a link.
    if (!IsBareValue(value))
        return RefuseValue(L"SetServerIP", value, L"would break the command line");
    return CopyBounded(ServerIP, value);
}

bool CParam::SetConnectedUpgradeHost(const wchar_t* value)
{
    return CopyBounded(ConnectedUpgradeHost, value);
}

void CParam::SetSetupURL(const wchar_t* value)
{
    SetupURL = OrEmpty(value);
}

void CParam::SetDownPath(const wchar_t* value)
{
    DownPath = OrEmpty(value);
}

bool CParam::SetProxyHost(const wchar_t* value)
{
    return CopyBounded(ProxyHost, value);
}

bool CParam::SetProxyUser(const wchar_t* value)
{
    return CopyBounded(ProxyUser, value);
}

bool CParam::SetProxyPassword(const wchar_t* value)
{
    return CopyBounded(ProxyPassword, value);
}

const wchar_t* CParam::GetDNSHost(size_t index) const
{
    return index < DNSHosts.size() ? DNSHosts[index].c_str() : nullptr;
}

const wchar_t* CParam::GetUpgradeHost(size_t index) const
{
    return index < UpgradeHosts.size() ? UpgradeHosts[index].c_str() : nullptr;
}
