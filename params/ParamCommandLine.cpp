// The client's command line built from the record.
#include <cwchar>

#include "params/Param.h"

namespace
{
// Each switch is formatted into a buffer of this many characters; a switch that does not
// fit (with its terminating zero) is left out rather than cut.
const size_t kSwitchChars = 1000;

// Formats one switch with its value (a wide text or an int) and appends it.
template <typename Value> void AppendSwitch(std::wstring& line, const wchar_t* format, Value value)
{
    wchar_t buffer[kSwitchChars];
    int n = _snwprintf(buffer, kSwitchChars, format, value);
    if (n < 0 || static_cast<size_t>(n) >= kSwitchChars)
        return;
    line.append(buffer, static_cast<size_t>(n));
}

void AppendText(std::wstring& line, const wchar_t* format, const wchar_t* value)
{
    AppendSwitch(line, format, value);
}

void AppendNumber(std::wstring& line, const wchar_t* format, int value)
{
    AppendSwitch(line, format, value);
}
} // namespace

void CParam::BuildCommandLine(std::wstring& commandLine) const
{
    commandLine.clear();
    if (LangID)
        AppendNumber(commandLine, L"/LID:%d ", LangID);
    if (ProductID[0])
        AppendText(commandLine, L"/PID:\"%s\" ", ProductID);
    if (CompanyCode[0])
        AppendText(commandLine, L"/CID:\"%s\" ", CompanyCode);
    AppendNumber(commandLine, L"/PTP:%d ", ProductType);
    if (Title[0])
        AppendText(commandLine, L"/CAP:\"%s\" ", Title);
    if (Group[0])
        AppendText(commandLine, L"/GRP:\"%s\" ", Group);
    if (!RegistURL.empty())
        AppendText(commandLine, L"/URL:\"%s\" ", RegistURL.c_str());
    if (MSPort)
        AppendNumber(commandLine, L"/MSP:%d ", MSPort);
    if (FSPort)
        AppendNumber(commandLine, L"/FSP:%d ", FSPort);
    if (UserID[0])
        AppendText(commandLine, L"/UID:\"%s\" ", UserID);
    if (Alias[0])
        AppendText(commandLine, L"/ALS:\"%s\" ", Alias);
    if (MeeterID[0])
        AppendText(commandLine, L"/MID:\"%s\" ", MeeterID);
    if (RoomName[0])
        AppendText(commandLine, L"/RNM:\"%s\" ", RoomName);
    if (MaxUser)
        AppendNumber(commandLine, L"/MAX:%d ", MaxUser);
    if (UserType)
        AppendNumber(commandLine, L"/UTP:%d ", UserType);
    if (ServerIP[0])
        AppendText(commandLine, L"/SIP:%s ", ServerIP);
    if (!Option.empty())
        AppendText(commandLine, L"%s ", Option.c_str());
}
