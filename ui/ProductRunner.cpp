#include "ui/ProductRunner.h"

#include <cwchar>
#include <string>

#include "install/PathSafety.h"
#include "install/Process.h"
#include "params/Param.h"

CProductRunner::CProductRunner(CParam* param)
    : m_param(param), m_handler(CServerHandler::MODE_DIRECTORY, param)
{
}

CProductRunner::~CProductRunner()
{
    m_handler.Disconnect();
}

int CProductRunner::Run(HWND)
{
    if (!m_param)
        return 0;
    if (!m_handler.IsConnected())
        m_handler.ConnectServer();
    Sleep(100);
    int found = 0;
    if (m_handler.IsConnected())
    {
        found = m_handler.GetCompanyServerInfo();
        m_handler.Disconnect();
    }
    if (!found || !HasExeExtension(m_param->GetFileName()))
        return 0;
    std::wstring commandLine;
    m_param->BuildCommandLine(commandLine);
    std::wstring path = m_param->GetFilePath();
    return proc::ExecuteAsync(nullptr, path.c_str(), commandLine.c_str()) ? 1 : 0;
}
