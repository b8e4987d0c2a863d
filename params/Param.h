#pragma once
// CParam: the one parameter record of a run. Filled from the client configuration file,
// a launch link or the loader control's properties; read and updated by the workflow;
// turned into the client's command line at the end.
#include <windows.h>
#include <string>
#include <vector>

#include "common/BoundedCopy.h"

class CParam
{
  public:
    // Widths of the fixed text fields, terminating zero included.
    enum
    {
        kTextChars = 100,
        kServerIPChars = 50,
        kRoomNameChars = 200,
        kCaptionChars = 128,
        kProxyChars = 256,
        kVersionChars = 200,
        kUpdateURLChars = 2048,
        kConfigValueChars = 500, // configuration file values are cut at 499 characters
    };

    CParam();
    virtual ~CParam();
    CParam(const CParam&) = default;
    CParam& operator=(const CParam&) = default;

    // Setters taking text (from the configuration file, a link or a script). A text field
    // takes at most its width less one characters: a longer value is refused, the field
    // keeps its value and the setter returns false. A null value counts as empty.
    //
    // Every way in (configuration file, link, script, server reply) comes through these
    // setters, so they also refuse what could choose a program or a file, or break the
    // client's command line; such a value is refused the same way, logged, and counted
    // (GetRefusedValueCount), so that a link carrying one can be refused as a whole:
    // - ProductID, Group and FileName become parts of paths: they must be plain names
    //   (IsPlainName) or empty;
    // - values the command line encloses in double quotes (ProductID, CompanyCode, Title,
    //   Group, RegistURL, UserID, Alias, MeeterID, RoomName) must not be able to end or
    //   escape their quotes (IsQuotableValue);
    // - ServerIP goes on the command line without quotes: no blank, quote or control
    //   character (IsBareValue).
    bool SetLangID(const wchar_t* value);
    bool SetProductID(const wchar_t* value);
    bool SetCompanyCode(const wchar_t* value);
    bool SetFileName(const wchar_t* value);
    bool SetTitle(const wchar_t* value); // shortens instead of refusing
    bool SetGroup(const wchar_t* value);
    bool SetProductType(const wchar_t* value);
    bool SetDNSHost(const wchar_t* value);
    bool SetUpgradeHost(const wchar_t* value);
    bool SetDNSCode(const wchar_t* value);
    bool SetRegistURL(const wchar_t* value);
    bool SetMSPort(const wchar_t* value);
    bool SetFSPort(const wchar_t* value);
    bool SetWSPort(const wchar_t* value);
    bool SetUpPort(const wchar_t* value);
    bool SetUserID(const wchar_t* value);
    bool SetAlias(const wchar_t* value);
    bool SetMeeterID(const wchar_t* value);
    bool SetRoomName(const wchar_t* value);
    bool SetMaxUser(const wchar_t* value);
    bool SetUserType(const wchar_t* value);
    bool SetTimeOut(const wchar_t* value); // 0 and negative values are ignored
    bool SetRunType(const wchar_t* value);
    bool SetQueryType(const wchar_t* value);
    bool SetOption(const wchar_t* value);
    bool SetPatchURL(const wchar_t* value);
    bool SetVersion(const wchar_t* value);
    bool SetUpdateURL(const wchar_t* value);
    bool SetLocalAuthTime(const wchar_t* value);  // milliseconds in, seconds stored
    bool SetServerAuthTime(const wchar_t* value); // milliseconds in, seconds stored
    bool SetExpireAuthTime(const wchar_t* value); // minutes; -1: no time check

    // Results of the workflow and settings of the entry point or the loader control.
    bool SetServerIP(const wchar_t* value);
    bool SetConnectedUpgradeHost(const wchar_t* value);
    void SetSetupURL(const wchar_t* value);
    void SetDownPath(const wchar_t* value);
    void SetInstallType(WORD value) { InstallType = value; }
    void SetUseSystemProxy(int value) { UseSystemProxy = value; }
    void SetProxyType(WORD value) { ProxyType = value; }
    bool SetProxyHost(const wchar_t* value);
    void SetProxyPort(WORD value) { ProxyPort = value; }
    bool SetProxyUser(const wchar_t* value);
    bool SetProxyPassword(const wchar_t* value);
    void SetUseModuleFolder(int value) { UseModuleFolder = value; }
    void SetModalDialog(int value) { ModalDialog = value; }

    WORD GetLangID() const { return LangID; }
    const wchar_t* GetProductID() const { return ProductID; }
    const wchar_t* GetCompanyCode() const { return CompanyCode; }
    const wchar_t* GetFileName() const { return FileName; }
    const wchar_t* GetTitle() const { return Title; }
    const wchar_t* GetGroup() const { return Group; }
    WORD GetProductType() const { return ProductType; }
    // The host at index, or null when index is not below the count.
    const wchar_t* GetDNSHost(size_t index) const;
    size_t GetDNSHostCount() const { return DNSHosts.size(); }
    const wchar_t* GetUpgradeHost(size_t index) const;
    size_t GetUpgradeHostCount() const { return UpgradeHosts.size(); }
    const wchar_t* GetDNSCode() const { return DNSCode; }
    const wchar_t* GetConnectedUpgradeHost() const { return ConnectedUpgradeHost; }
    const wchar_t* GetRegistURL() const { return RegistURL.c_str(); }
    WORD GetMSPort() const { return MSPort; }
    WORD GetFSPort() const { return FSPort; }
    WORD GetWSPort() const { return WSPort; }
    WORD GetUpPort() const { return UpPort; }
    const wchar_t* GetServerIP() const { return ServerIP; }
    const wchar_t* GetUserID() const { return UserID; }
    const wchar_t* GetAlias() const { return Alias; }
    const wchar_t* GetMeeterID() const { return MeeterID; }
    const wchar_t* GetRoomName() const { return RoomName; }
    WORD GetMaxUser() const { return MaxUser; }
    WORD GetUserType() const { return UserType; }
    DWORD GetTimeOut() const { return TimeOut; }
    DWORD GetRunType() const { return RunType; }
    DWORD GetQueryType() const { return QueryType; }
    const wchar_t* GetOption() const { return Option.c_str(); }
    const wchar_t* GetCaptionText() const { return CaptionText; }
    const wchar_t* GetPatchURL() const { return PatchURL.c_str(); }
    const wchar_t* GetSetupURL() const { return SetupURL.c_str(); }
    WORD GetInstallType() const { return InstallType; }
    const wchar_t* GetDownPath() const { return DownPath.c_str(); }
    int GetUseSystemProxy() const { return UseSystemProxy; }
    WORD GetProxyType() const { return ProxyType; }
    const wchar_t* GetProxyHost() const { return ProxyHost; }
    WORD GetProxyPort() const { return ProxyPort; }
    const wchar_t* GetProxyUser() const { return ProxyUser; }
    const wchar_t* GetProxyPassword() const { return ProxyPassword; }
    int GetUseModuleFolder() const { return UseModuleFolder; }
    int GetModalDialog() const { return ModalDialog; }
    const wchar_t* GetVersion() const { return Version; }
    const wchar_t* GetUpdateURL() const { return UpdateURL; }
    LONGLONG GetLocalAuthTime() const { return LocalAuthTime; }
    LONGLONG GetServerAuthTime() const { return ServerAuthTime; }
    int GetExpireAuthTime() const { return ExpireAuthTime; }
    // How many values the setters refused for what they hold (not for their length) over
    // the record's life; a copy carries the count on.
    unsigned GetRefusedValueCount() const { return RefusedValues; }

    // Reads Config\nvpclient.nvp beside the running program into target (this record is
    // not changed unless it is the target). A missing file leaves every field as it was.
    void LoadConfigFile(CParam* target) const;
    // The same from an explicit file.
    static void LoadConfigFileFrom(const wchar_t* path, CParam* target);

    // ---- Client command line, folders and own version (ParamCommandLine.cpp, ParamFolders.cpp) ----
    // Clears commandLine and appends the client's switches, each ended by one blank.
    void BuildCommandLine(std::wstring& commandLine) const;
    // The product folder without trailing backslash; "" when it cannot be determined or
    // would be longer than MAX_PATH - 1 characters.
    std::wstring GetInstallFolder() const;
    // The product folder, a backslash and FileName (folder alone when FileName is empty);
    // "" when the folder is unknown or the path would be too long.
    std::wstring GetFilePath() const;
    // Common application data\ProductID\upgrade, created when missing; "" on failure.
    std::wstring GetUpgradeFolder() const;
    // The product folder and "config", created when missing; "" when the product folder
    // is unknown.
    std::wstring GetConfigFolder() const;
    // Non-zero when Version differs (ignoring case) from the running program's own file
    // version ("0.0.0.0" when it has none); an empty Version counts as different.
    int IsVersionDifferent() const;
    // ---- end of client command line, folders and own version ----

  private:
    // Logs and counts a value refused for what it holds; returns false.
    bool RefuseValue(const wchar_t* setter, const wchar_t* value, const wchar_t* why);
    // The checks of the setters above; true when value may be stored, else refused.
    bool AcceptName(const wchar_t* setter, const wchar_t* value);
    bool AcceptQuoted(const wchar_t* setter, const wchar_t* value);

    WORD LangID;
    wchar_t ProductID[kTextChars];
    wchar_t CompanyCode[kTextChars];
    wchar_t FileName[kTextChars];
    wchar_t Title[kTextChars];
    wchar_t Group[kTextChars];
    WORD ProductType;
    std::vector<std::wstring> DNSHosts;
    std::vector<std::wstring> UpgradeHosts;
    wchar_t DNSCode[kTextChars];
    wchar_t ConnectedUpgradeHost[kTextChars];
    std::wstring RegistURL;
    WORD MSPort;
    WORD FSPort;
    WORD WSPort;
    WORD UpPort;
    wchar_t ServerIP[kServerIPChars];
    wchar_t UserID[kTextChars];
    wchar_t Alias[kTextChars];
    wchar_t MeeterID[kTextChars];
    wchar_t RoomName[kRoomNameChars];
    WORD MaxUser;
    WORD UserType;
    DWORD TimeOut;
    DWORD RunType;
    DWORD QueryType;
    std::wstring Option;
    wchar_t CaptionText[kCaptionChars];
    std::wstring PatchURL;
    std::wstring SetupURL;
    WORD InstallType;
    std::wstring DownPath;
    int UseSystemProxy;
    WORD ProxyType;
    wchar_t ProxyHost[kProxyChars];
    WORD ProxyPort;
    wchar_t ProxyUser[kProxyChars];
    wchar_t ProxyPassword[kProxyChars];
    int UseModuleFolder;
    int ModalDialog;
    wchar_t Version[kVersionChars];
    wchar_t UpdateURL[kUpdateURLChars];
    LONGLONG LocalAuthTime;
    LONGLONG ServerAuthTime;
    int ExpireAuthTime;
    unsigned RefusedValues;
};

// wcstol base 10 semantics: leading blanks, optional sign, digits up to the first other
// character; 0 when there are none; out-of-range values saturate.
long ParseDecimal(const wchar_t* value);
LONGLONG ParseDecimal64(const wchar_t* value);

// Splits text into words by the Windows command-line rules (blanks separate words,
// double quotes group blanks into a word).
std::vector<std::wstring> SplitCommandLineWords(const wchar_t* text);
