#include "net/ServerHandler.h"

#include <cstring>
#include <memory>

#include "common/Handles.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "net/PktParser.h"
#include "params/Param.h"

namespace
{
const DWORD kStopWaitMs = 30000;

std::wstring Widen(const char* text)
{
    return WideText(text);
}

// The request body as text, for the failure lines.
std::wstring RequestText(const Packet& request)
{
    return Widen(request.BodyText().c_str());
}
} // namespace

CServerHandler::CServerHandler(int mode, CParam* param)
    : m_replyDestination(nullptr), m_mode(mode), m_param(param)
{
}

CServerHandler::~CServerHandler()
{
    WriteLog(LOG_TRACE, L"~CServerHandler");
    StopThread();
}

int CServerHandler::ConnectServer()
{
    if (!m_param)
        return 0;
    // A receive thread of an earlier connection must not poll the socket being replaced.
    StopThread();
    SetProxy(m_param->GetProxyType(), NarrowText(m_param->GetProxyHost()).c_str(), m_param->GetProxyPort(),
             NarrowText(m_param->GetProxyUser()).c_str(), NarrowText(m_param->GetProxyPassword()).c_str());

    if (m_mode == MODE_DIRECTORY)
    {
        for (size_t i = 0; i < m_param->GetDNSHostCount(); ++i)
        {
            const wchar_t* host = m_param->GetDNSHost(i);
            WORD port = m_param->GetMSPort();
            int connected = SetTarget(NarrowText(host).c_str(), port) ? Connect() : 0;
            WriteLog(LOG_INFO, L"Connect() : %s:%d", host, (int)port);
            if (connected)
            {
                if (StartThread())
                    return 1;
                CloseSocket(); // no one would read it: try the next host
            }
        }
    }
    else if (m_mode == MODE_UPGRADE)
    {
        for (size_t i = 0; i < m_param->GetUpgradeHostCount(); ++i)
        {
            const wchar_t* host = m_param->GetUpgradeHost(i);
            if (SetTarget(NarrowText(host).c_str(), m_param->GetUpPort()) && Connect())
            {
                if (StartThread())
                {
                    m_param->SetConnectedUpgradeHost(host);
                    return 1;
                }
                CloseSocket();
            }
        }
    }
    return 0;
}

void CServerHandler::Disconnect()
{
    // The thread goes first, so it never polls a closed (or reused) socket handle.
    StopThread();
    CloseSocket();
    m_replyEvent.reset();
}

bool CServerHandler::ThreadRunning() const
{
    return m_thread && WaitForSingleObject(m_thread.get(), 0) == WAIT_TIMEOUT;
}

int CServerHandler::StartThread()
{
    if (!IsConnected())
        return 0;
    if (ThreadRunning())
        return 1;
    // A thread that has ended (its connection broke) is let go; a new one takes over.
    m_thread.reset();
    m_stopEvent.reset();
    if (!m_replyEvent)
        m_replyEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (m_replyEvent && m_stopEvent)
        m_thread.reset(CreateThread(nullptr, 0, ThreadCServer, this, 0, nullptr));
    if (!m_thread)
    {
        m_stopEvent.reset();
        return 0;
    }
    return 1;
}

void CServerHandler::StopThread()
{
    if (!m_thread)
        return;
    SetEvent(m_stopEvent.get());
    DWORD start = GetTickCount();
    DWORD code = STILL_ACTIVE;
    while (GetExitCodeThread(m_thread.get(), &code) && code == STILL_ACTIVE &&
           GetTickCount() - start < kStopWaitMs)
        Sleep(10);
    m_thread.reset();
    m_stopEvent.reset();
}

DWORD WINAPI CServerHandler::ThreadCServer(LPVOID self)
{
    try
    {
        return static_cast<CServerHandler*>(self)->ReceiveLoop();
    }
    catch (...)
    {
        return 1;
    }
}

int CServerHandler::ReadBytes(char* out, int n, bool body, int* lastRecv)
{
    int got = 0;
    while (got < n)
    {
        if (WaitForSingleObject(m_stopEvent.get(), body ? 10 : 0) == WAIT_OBJECT_0)
            return 0;
        int received = ReceiveSome(out + got, n - got, 1, lastRecv);
        if (received < 0)
        {
            // Closed, reset or any other lasting error: nothing more will come.
            WriteLog(LOG_TRACE, L"SocketError");
            SetEvent(m_stopEvent.get());
            return -1;
        }
        got += received;
    }
    return 1;
}

DWORD CServerHandler::ReceiveLoop()
{
    WriteLog(LOG_TRACE, L"ThreadCServer start");
    std::unique_ptr<Packet> packet(new Packet);
    while (WaitForSingleObject(m_stopEvent.get(), 10) == WAIT_TIMEOUT)
    {
        if (!IsConnected())
        {
            Sleep(1);
            continue;
        }
        packet->Clear();
        int lastRecv = 0;
        if (ReadBytes(reinterpret_cast<char*>(&packet->header), PACKET_HEADER_SIZE, false, &lastRecv) != 1)
            continue;
        if (!packet->HasValidLength())
        {
            // The body cannot be held, and the stream cannot be followed past it: hand the
            // header over so the request fails at once, then stop reading.
            WriteLog(LOG_TRACE, L"ThreadCServer 0 recv = %d", lastRecv);
            Deliver(*packet);
            SetEvent(m_stopEvent.get());
            continue;
        }
        int body = 1;
        if (packet->header.DataLength > 0)
            body = ReadBytes(packet->body, packet->header.DataLength, true, &lastRecv);
        WriteLog(LOG_TRACE, L"ThreadCServer 0 recv = %d", lastRecv);
        if (body == 0)
            break;
        if (body < 0)
            continue;
        Deliver(*packet);
    }
    ResetEvent(m_stopEvent.get());
    WriteLog(LOG_TRACE, L"ThreadCServer kill thread");
    return 1;
}

void CServerHandler::Deliver(const Packet& packet)
{
    CriticalSectionLock lock(m_replyLock);
    if (m_replyDestination)
    {
        size_t length = packet.HasValidLength() ? packet.header.DataLength : 0;
        memcpy(m_replyDestination, &packet, PACKET_HEADER_SIZE + length);
        WriteLog(LOG_INFO, L">>>>>>>>>>>>>>>>>>>>>>> ReceivedData=%s %d",
                 Widen(packet.BodyText().c_str()).c_str(), (int)packet.header.DataLength);
        SetEvent(m_replyEvent.get());
    }
}

int CServerHandler::SendPacket(Packet* packet, Packet* reply, int wait, DWORD timeout)
{
    if (!packet || !IsConnected())
        return 0;
    Sleep(100);
    // The destination is set and the event reset before anything is sent, so a reply that
    // comes back at once is never lost.
    {
        CriticalSectionLock lock(m_replyLock);
        m_replyDestination = reply;
        if (m_replyEvent)
            ResetEvent(m_replyEvent.get());
    }
    WriteLog(LOG_INFO, L"CServerHandler::SendPacket : TimeOut=%d", (int)timeout);

    int sent =
        packet->HasValidLength()
            ? CMngrSocket::SendPacket(reinterpret_cast<const char*>(packet->Bytes()), (int)packet->WireSize())
            : 0;
    int result = sent;
    if (sent && wait)
    {
        // The receive thread ending (the connection broke) ends the wait too: no reply can
        // come any more. A reply handed over just before it ended still counts.
        HANDLE waits[2] = {m_replyEvent.get(), m_thread.get()};
        DWORD count = m_thread ? 2 : 1;
        result =
            (reply && m_replyEvent && WaitForMultipleObjects(count, waits, FALSE, timeout) == WAIT_OBJECT_0)
                ? 1
                : 0;
    }

    // From here on a late reply is dropped, never written into the caller's buffer.
    CriticalSectionLock lock(m_replyLock);
    m_replyDestination = nullptr;
    return result;
}

int CServerHandler::Request(Packet& request, Packet& reply, DWORD* elapsedMs)
{
    reply.Clear();
    DWORD start = GetTickCount();
    int result = SendPacket(&request, &reply, 1, m_param->GetTimeOut());
    if (elapsedMs)
        *elapsedMs = GetTickCount() - start;
    return result;
}

bool CServerHandler::TakeUrl(const Packet& reply, std::wstring& url) const
{
    if (!reply.HasValidLength())
        return false;
    std::string text = reply.BodyText();
    if (text.size() > kMaxUrlBytes)
        return false;
    url = Widen(text.c_str());
    return true;
}

int CServerHandler::QueryResult(bool byCode, char* buffer, size_t capacity, int* length)
{
    if (!IsConnected() || !m_param)
        return 0;
    const wchar_t* name = byCode ? L"GetQueryResultEx" : L"GetQueryResult";
    std::unique_ptr<Packet> request(new Packet), reply(new Packet);
    request->Clear();
    bool built = byCode ? BuildQueryByCodeRequest(*request, m_param->GetDNSCode())
                        : BuildQuerySqlRequest(*request, m_param->GetDNSCode());
    DWORD elapsed = 0;
    if (!built || !Request(*request, *reply, &elapsed) || !reply->HasValidLength())
    {
        std::wstring format = std::wstring(name) + L"(%d) failed SendPacket(%d) send=%s";
        WriteLog(LOG_INFO, format.c_str(), (int)elapsed, (int)reply->header.ucCmdSub,
                 RequestText(*request).c_str());
        return 0;
    }
    if (reply->header.ucCmdSub != SUB_OK)
    {
        std::wstring format = std::wstring(name) + L" failed SendPacket(%d) receive=%s";
        WriteLog(LOG_INFO, format.c_str(), (int)reply->header.ucCmdSub,
                 Widen(reply->BodyText().c_str()).c_str());
        return 0;
    }
    size_t bodyLength = reply->header.DataLength;
    if (bodyLength == 0 || !buffer || capacity <= bodyLength)
        return 0;
    memcpy(buffer, reply->body, bodyLength);
    buffer[bodyLength] = 0;
    if (length)
        *length = (int)bodyLength;
    return 1;
}

int CServerHandler::GetQueryResult(char* buffer, size_t capacity, int* length)
{
    return QueryResult(false, buffer, capacity, length);
}

int CServerHandler::GetQueryResultEx(char* buffer, size_t capacity, int* length)
{
    return QueryResult(true, buffer, capacity, length);
}

int CServerHandler::GetCompanyServerInfo()
{
    if (!m_param)
        return 0;
    m_param->SetServerIP(L"");
    std::unique_ptr<char[]> answer(new char[PACKET_BUFFER_SIZE]);
    int length = 0;
    switch (m_param->GetQueryType())
    {
    case 1:
        if (!GetQueryResultEx(answer.get(), PACKET_BUFFER_SIZE, &length))
            return 0;
        break;
    case 2:
    {
        // No request: the connected directory host is the company server.
        if (!IsConnected())
            return 0;
        std::string local = std::string(GetTargetHost()) + FIELD_SEP + "" + LIST_END;
        memcpy(answer.get(), local.c_str(), local.size() + 1);
        length = (int)local.size();
        break;
    }
    default:
        if (!GetQueryResult(answer.get(), PACKET_BUFFER_SIZE, &length))
            return 0;
        break;
    }
    CPktParserA parser;
    parser.Parse(answer.get(), length);
    const char* first = parser.GetField(0);
    if (!first)
        return 0;
    std::wstring ip = Widen(first);
    if (ip.size() > CParam::kServerIPChars - 1)
        ip.resize(CParam::kServerIPChars - 1);
    if (!m_param->SetServerIP(ip.c_str()))
        return 0; // an address that would break the client's command line: no company server
    WriteLog(LOG_INFO, L"GetCompanyServerInfo SendPacket : 0=%s", ip.c_str());
    return 1;
}

int CServerHandler::GetSetupURL()
{
    if (!IsConnected() || !m_param)
        return 0;
    m_param->SetSetupURL(L"");
    std::unique_ptr<Packet> request(new Packet), reply(new Packet);
    if (!BuildSetupUrlRequest(*request, m_param->GetProductID()) || !Request(*request, *reply))
    {
        WriteLog(LOG_INFO, L"GetSetupURL SendPacket failed : send=%s", RequestText(*request).c_str());
        return 0;
    }
    std::wstring url;
    if (reply->header.ucCmdSub == SUB_OK && TakeUrl(*reply, url))
    {
        m_param->SetSetupURL(url.c_str());
        return 1;
    }
    int code = reply->header.ucCmdSub;
    WriteLog(LOG_INFO, L"GetSetupURL SendPacket(%d) send data=%s", code, RequestText(*request).c_str());
    WriteLog(LOG_INFO, L"GetSetupURL SendPacket(%d) receive failed =%s", code,
             Widen(reply->BodyText().c_str()).c_str());
    return 0;
}

int CServerHandler::GetSetupExURL()
{
    if (!IsConnected() || !m_param)
        return 0;
    m_param->SetSetupURL(L"");
    if (!SendMasterXML() || !SendProductXML())
        return 0;
    std::unique_ptr<Packet> request(new Packet), reply(new Packet);
    if (!BuildSetupExUrlRequest(*request, m_param->GetProductID()) || !Request(*request, *reply) ||
        !reply->HasValidLength())
    {
        WriteLog(LOG_INFO, L"GetSetupExURL SendPacket failed : send=%s", RequestText(*request).c_str());
        return 0;
    }
    int code = reply->header.ucCmdSub;
    if (code == SUB_OK || code == SUB_NO_CHANGE)
        return 1;
    if (code == SUB_USE_SETUP)
        return GetSetupURL();
    WriteLog(LOG_INFO, L"GetSetupExURL SendPacket(%d) receive failed =%s", code,
             Widen(reply->BodyText().c_str()).c_str());
    return 0;
}

int CServerHandler::GetUpdateURL()
{
    if (!IsConnected() || !m_param)
        return 0;
    m_param->SetPatchURL(L"");
    if (!SendMasterXML() || !SendProductXML())
        return 0;
    std::unique_ptr<Packet> request(new Packet), reply(new Packet);
    if (!BuildUpdateUrlRequest(*request) || !Request(*request, *reply) || !reply->HasValidLength())
    {
        WriteLog(LOG_INFO, L"GetUpdateURL SendPacket failed : send=%s", RequestText(*request).c_str());
        return 0;
    }
    int code = reply->header.ucCmdSub;
    std::wstring body = Widen(reply->BodyText().c_str());
    WriteLog(LOG_INFO, L"CServerHandler::GetUpdateURL : ucCmdSub=%d SetPatchURL=%s", code, body.c_str());
    if (code == SUB_NO_CHANGE)
        return 1; // no update: PatchURL stays empty
    std::wstring url;
    if (code == SUB_OK && TakeUrl(*reply, url))
    {
        m_param->SetPatchURL(url.c_str());
        return 1;
    }
    WriteLog(LOG_INFO, L"GetUpdateURL SendPacket(%d) receive failed =%s", code, body.c_str());
    return 0;
}

int CServerHandler::SendManifest(WORD command, const wchar_t* fileName, const wchar_t* logName)
{
    std::wstring name(logName);
    WriteLog(LOG_INFO, name.c_str());
    std::string content = SetXMLData(fileName);
    std::unique_ptr<Packet> request(new Packet), reply(new Packet);
    // A manifest that does not fit one body with its name is refused, not cut.
    if (!BuildManifestRequest(*request, command, fileName, content) || !Request(*request, *reply) ||
        !reply->HasValidLength())
    {
        WriteLog(LOG_INFO, (name + L" SendPacket send failed").c_str());
        return 0;
    }
    int code = reply->header.ucCmdSub;
    WriteLog(LOG_INFO, (name + L" result = %d").c_str(), code);
    if (code != SUB_OK)
    {
        WriteLog(LOG_INFO, (name + L" SendPacket(%d) receive failed =%s").c_str(), code,
                 Widen(reply->BodyText().c_str()).c_str());
        return 0;
    }
    return 1;
}

int CServerHandler::SendMasterXML()
{
    if (!IsConnected() || !m_param)
        return 0;
    wchar_t name[64];
    _snwprintf(name, ARRAYSIZE(name) - 1, L"master_%d.xml", (int)m_param->GetProductType());
    name[ARRAYSIZE(name) - 1] = 0;
    return SendManifest(CMD_MASTER_XML, name, L"SendMasterXML");
}

int CServerHandler::SendProductXML()
{
    if (!IsConnected() || !m_param)
        return 0;
    std::wstring name = std::wstring(m_param->GetProductID()) + L".xml";
    return SendManifest(CMD_PRODUCT_XML, name.c_str(), L"SendProductXML");
}

std::string CServerHandler::SetXMLData(const wchar_t* name)
{
    if (!m_param || !name)
        return std::string();
    // Without a configuration folder "\\name" would read a file at the root of the drive
    // and upload it: treat the manifest as unreadable instead.
    std::wstring folder = m_param->GetConfigFolder();
    std::wstring path = folder.empty() ? std::wstring() : folder + L"\\" + name;
    UniqueFile file(path.empty() ? INVALID_HANDLE_VALUE
                                 : CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        WriteLog(LOG_TRACE, L"SetXMLData failed : hFile=%x szXMLFile=%s path=%s",
                 (unsigned)(UINT_PTR)file.get(), name, path.c_str());
        return std::string();
    }
    std::string text(kMaxManifestBytes, '\0');
    DWORD total = 0;
    while (total < kMaxManifestBytes)
    {
        DWORD got = 0;
        if (!ReadFile(file.get(), &text[total], kMaxManifestBytes - total, &got, nullptr) || got == 0)
            break;
        total += got;
    }
    text.resize(total);
    text.resize(strnlen(text.c_str(), text.size()));
    OutputDebugStringA(text.c_str());
    return text;
}
