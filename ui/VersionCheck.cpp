#include "ui/VersionCheck.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstring>

#include <tinyxml2.h>

#include "common/BoundedCopy.h"
#include "common/FileNames.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "params/Param.h"

namespace
{
// The version lines trace values of a workflow step; like the other value lines of the
// update dialogs they are tracing, not step markers.
const int kVersionLogLevel = LOG_TRACE;

// folder + name + ".xml", or "" when there is nothing to read: no folder (a bare name
// would be looked up in the current folder), a name that is not one plain file name, or
// a path longer than the 260-character buffer it is built for.
std::wstring ManifestPath(const wchar_t* folder, const wchar_t* name)
{
    if (!folder || !*folder || !name || !IsPlainName(name))
        return std::wstring();
    std::wstring path = folder;
    if (path.back() != L'\\' && path.back() != L'/')
        path += L'\\';
    path += name;
    path += L".xml";
    return path.size() < MAX_PATH ? path : std::wstring();
}

// The "ver" of one manifest into out; out is changed only on kRead.
CVersionCheck::ReadResult ReadVersion(const std::wstring& path, char (&out)[CVersionCheck::kVersionBytes])
{
    if (path.empty())
        return CVersionCheck::kUnchanged;
    // tinyxml2 opens by a narrow name: a path the file functions' code page cannot spell
    // would open some other file, so such a path reads nothing.
    std::string narrow = PathToFileApi(path.c_str());
    if (narrow.empty() || FileApiToWide(narrow.c_str()) != path)
        return CVersionCheck::kUnchanged;
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(narrow.c_str()) != tinyxml2::XML_SUCCESS)
        return CVersionCheck::kUnchanged;
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (!root || !root->Name() || _stricmp(root->Name(), "files_info") != 0)
        return CVersionCheck::kUnchanged;
    const char* ver = root->Attribute("ver");
    if (!ver)
        return CVersionCheck::kUnchanged;
    // Refused, never cut: a cut version could equal a different one.
    return CopyBounded(out, ver) ? CVersionCheck::kRead : CVersionCheck::kOverlong;
}

// The folder the patcher unpacked the archive into: the archive's path without its
// extension, and a backslash. "" without an archive or when it would not fit MAX_PATH.
std::wstring UnpackFolder(const wchar_t* downPath)
{
    wchar_t folder[MAX_PATH] = {};
    if (!downPath || !*downPath || !CopyBounded(folder, downPath))
        return std::wstring();
    PathRemoveExtensionW(folder);
    if (!PathAddBackslashW(folder))
        return std::wstring();
    return folder;
}
} // namespace

CVersionCheck::CVersionCheck(CParam* param, const wchar_t* className)
    : m_param(param), m_className(className ? className : L"")
{
    Reset();
}

void CVersionCheck::Reset()
{
    memset(m_masterUpdVer, 0, sizeof(m_masterUpdVer));
    memset(m_masterNewVer, 0, sizeof(m_masterNewVer));
    memset(m_productUpdVer, 0, sizeof(m_productUpdVer));
    memset(m_productNewVer, 0, sizeof(m_productNewVer));
    m_masterUpdOverlong = m_productUpdOverlong = false;
}

CVersionCheck::ReadResults CVersionCheck::getXMLVersion(const wchar_t* folder, const wchar_t* masterName,
                                                        char (&masterVer)[kVersionBytes],
                                                        const wchar_t* productId,
                                                        char (&productVer)[kVersionBytes])
{
    std::wstring masterPath = ManifestPath(folder, masterName);
    std::wstring productPath = ManifestPath(folder, productId);
    ReadResults results;
    results.master = ReadVersion(masterPath, masterVer);
    results.product = ReadVersion(productPath, productVer);
    if (results.master == kOverlong)
        WriteLog(LOG_INFO, L"%s::getXMLVersion : ver too long szXML=%s", m_className.c_str(),
                 masterPath.c_str());
    if (results.product == kOverlong)
        WriteLog(LOG_INFO, L"%s::getXMLVersion : ver too long szXML=%s", m_className.c_str(),
                 productPath.c_str());
    WriteLog(kVersionLogLevel, L"%s::getXMLVersion : szXMLMaster(%s)=%s szXMLProduct(%s)=%s",
             m_className.c_str(), masterName ? masterName : L"", masterPath.c_str(),
             productId ? productId : L"", productPath.c_str());
    return results;
}

CVersionCheck::ReadResults CVersionCheck::readVersions(const std::wstring& folder,
                                                       char (&masterVer)[kVersionBytes],
                                                       char (&productVer)[kVersionBytes])
{
    std::wstring masterName = L"master_" + std::to_wstring((unsigned)m_param->GetProductType());
    return getXMLVersion(folder.c_str(), masterName.c_str(), masterVer, m_param->GetProductID(), productVer);
}

void CVersionCheck::readUpdateVersions()
{
    ReadResults results = readVersions(UnpackFolder(m_param->GetDownPath()), m_masterUpdVer, m_productUpdVer);
    // A version that fits clears an earlier overlong one; nothing read keeps the state.
    if (results.master != kUnchanged)
        m_masterUpdOverlong = results.master == kOverlong;
    if (results.product != kUnchanged)
        m_productUpdOverlong = results.product == kOverlong;
}

void CVersionCheck::readInstalledVersions()
{
    std::wstring folder = m_param->GetInstallFolder();
    if (!folder.empty())
        folder += L"\\config\\";
    // An overlong installed version simply stays unread: the text it leaves cannot match
    // a readable update version.
    readVersions(folder, m_masterNewVer, m_productNewVer);
}

int CVersionCheck::checkCompleteVersion(std::wstring& errorSuffix)
{
    readInstalledVersions();
    WriteLog(kVersionLogLevel, L"checkCompleteVersion master : szUpdVer=%s",
             WideText(m_masterUpdVer).c_str());
    WriteLog(kVersionLogLevel, L"checkCompleteVersion product : szUpdVer=%s",
             WideText(m_productUpdVer).c_str());
    WriteLog(kVersionLogLevel, L"checkCompleteVersion master : szNewVer=%s",
             WideText(m_masterNewVer).c_str());
    WriteLog(kVersionLogLevel, L"checkCompleteVersion product : szNewVer=%s",
             WideText(m_productNewVer).c_str());
    // Equality only, byte by byte: an installed version newer than the update's fails too.
    if (m_masterUpdOverlong || (*m_masterUpdVer && strcmp(m_masterUpdVer, m_masterNewVer) != 0))
    {
        errorSuffix = L" (7-1)";
        return 0;
    }
    if (m_productUpdOverlong || (*m_productUpdVer && strcmp(m_productUpdVer, m_productNewVer) != 0))
    {
        errorSuffix = L" (7-2)";
        return 0;
    }
    return 1;
}
