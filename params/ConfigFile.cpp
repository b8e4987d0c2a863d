// Reading the client configuration file Config\nvpclient.nvp into a record.
#include "common/Log.h"
#include "common/Module.h"
#include "params/Param.h"

namespace
{
typedef bool (CParam::*Setter)(const wchar_t*);

struct ConfigKey
{
    const wchar_t* key;
    Setter setter;
    const wchar_t* logFormat;
};

// Read in this order; a later key never depends on an earlier one, but the log does.
const ConfigKey kKeys[] = {
    {L"LID", &CParam::SetLangID, L"SetLangID()=%s"},
    {L"PTP", &CParam::SetProductType, L"SetProductType()=%s"},
    {L"CAP", &CParam::SetTitle, L"SetTitle()=%s"},
    {L"GRP", &CParam::SetGroup, L"SetGroup()=%s"},
    {L"CID", &CParam::SetCompanyCode, L"SetCompanyCode()=%s"},
    {L"PID", &CParam::SetProductID, L"SetProductID()=%s"},
    {L"FNM", &CParam::SetFileName, L"SetFileName()=%s"},
    {L"URL", &CParam::SetRegistURL, L"SetRegistURL()=%s"},
    {L"UIP", &CParam::SetUpgradeHost, L"SetUpgradeHost()=%s"},
    {L"DIP", &CParam::SetDNSHost, L"SetDNSHost()=%s"},
    {L"DID", &CParam::SetDNSCode, L"SetDNSCode()=%s"},
    {L"MSP", &CParam::SetMSPort, L"SetMSPort()=%s"},
    {L"FSP", &CParam::SetFSPort, L"SetFSPort()=%s"},
    {L"WSP", &CParam::SetWSPort, L"SetWSPort()=%s"},
    {L"UPP", &CParam::SetUpPort, L"SetUpPort()=%s"},
    {L"UID", &CParam::SetUserID, L"SetUserID()=%s"},
    {L"ALS", &CParam::SetAlias, L"SetAlias()=%s"},
    {L"MID", &CParam::SetMeeterID, L"SetMeeterID()=%s"},
    {L"RNM", &CParam::SetRoomName, L"SetRoomName()=%s"},
    {L"MAX", &CParam::SetMaxUser, L"SetMaxUser()=%s"},
    {L"UTP", &CParam::SetUserType, L"SetUserType()=%s"},
    {L"OPT", &CParam::SetOption, L"SetOption()=%s"},
    {L"QTO", &CParam::SetTimeOut, L"SetTimeOut()=%s"},
    {L"RTP", &CParam::SetRunType, L"SetRunType()=%s"},
    {L"QTP", &CParam::SetQueryType, L"SetQueryType()=%s"},
};
} // namespace

void CParam::LoadConfigFileFrom(const wchar_t* path, CParam* target)
{
    if (!target || !path)
        return;
    for (const ConfigKey& k : kKeys)
    {
        wchar_t value[kConfigValueChars] = {};
        GetPrivateProfileStringW(L"PRODUCT", k.key, L"", value, kConfigValueChars, path);
        // An absent or empty key leaves the field as it was.
        if (value[0])
            (target->*k.setter)(value);
        WriteLog(LOG_TRACE, k.logFormat, value);
    }
}

void CParam::LoadConfigFile(CParam* target) const
{
    std::wstring folder = ModuleFolder();
    // Without a folder the file name alone would be looked up in the Windows folder.
    std::wstring path = folder.empty() ? std::wstring() : folder + L"\\Config\\nvpclient.nvp";
    if (path.empty())
    {
        for (const ConfigKey& k : kKeys)
            WriteLog(LOG_TRACE, k.logFormat, L"");
        return;
    }
    LoadConfigFileFrom(path.c_str(), target);
}
