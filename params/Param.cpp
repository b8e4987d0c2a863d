#include "params/Param.h"

#include <shellapi.h>

#include <cerrno>
#include <climits>
#include <cwchar>
#include <cwctype>

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
} // namespace

bool CopyBounded(wchar_t* dst, size_t dstChars, const wchar_t* value)
{
    value = OrEmpty(value);
    size_t length = wcsnlen(value, dstChars);
    if (dstChars == 0 || length >= dstChars)
        return false;
    wmemcpy(dst, value, length);
    dst[length] = 0;
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

size_t GetModuleFolder(std::wstring& folder)
{
    folder.clear();
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        DWORD n = GetModuleFileNameW(nullptr, &path[0], (DWORD)path.size());
        if (n == 0)
            return 0;
        if (n < path.size())
        {
            path.resize(n);
            break;
        }
        if (path.size() >= 32768)
            return 0;
        path.resize(path.size() * 2);
    }
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return 0;
    folder.assign(path, 0, slash);
    return folder.size();
}

CParam::CParam()
    : LangID(0x0412), ProductType(0), MSPort(7084), FSPort(7085), WSPort(80), UpPort(7085), MaxUser(2),
      UserType(0), TimeOut(30000), RunType(0), QueryType(0), InstallType(0), UseSystemProxy(0), ProxyType(0),
      ProxyPort(0), UseModuleFolder(0), ModalDialog(0), LocalAuthTime(0), ServerAuthTime(0), ExpireAuthTime(0)
{
    ProductID[0] = CompanyCode[0] = FileName[0] = Title[0] = Group[0] = 0;
    DNSCode[0] = ConnectedUpgradeHost[0] = ServerIP[0] = 0;
    UserID[0] = Alias[0] = MeeterID[0] = RoomName[0] = 0;
    CaptionText[0] = ProxyHost[0] = ProxyUser[0] = ProxyPassword[0] = 0;
    Version[0] = UpdateURL[0] = 0;
}

CParam::~CParam() = default;

bool CParam::SetLangID(const wchar_t* value)
{
    LangID = static_cast<WORD>(ParseDecimal(value) | 0x0400);
    return true;
}

bool CParam::SetProductID(const wchar_t* value)
{
    return CopyBounded(ProductID, value);
}

bool CParam::SetCompanyCode(const wchar_t* value)
{
    return CopyBounded(CompanyCode, value);
}

bool CParam::SetFileName(const wchar_t* value)
{
    return CopyBounded(FileName, value);
}

bool CParam::SetTitle(const wchar_t* value)
{
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
    return CopyBounded(Group, value);
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
    return CopyBounded(UserID, value);
}

bool CParam::SetAlias(const wchar_t* value)
{
    return CopyBounded(Alias, value);
}

bool CParam::SetMeeterID(const wchar_t* value)
{
    return CopyBounded(MeeterID, value);
}

bool CParam::SetRoomName(const wchar_t* value)
{
    return CopyBounded(RoomName, value);
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
