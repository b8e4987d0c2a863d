#include "net/MngrSocket.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "common/Base64Coder.h"
#include "common/BoundedCopy.h"
#include "common/Handles.h"
#include "common/Log.h"
#include "common/TextConv.h"

namespace
{
// Copies a zero-terminated text into a field of capacity bytes; a longer text is refused
// and the field emptied, so that no cut host is ever dialled.
bool CopyField(char* field, size_t capacity, const char* value)
{
    if (CopyBounded(field, capacity, value))
        return true;
    field[0] = 0;
    return false;
}

bool LookUpByName(const char* host, in_addr* address)
{
    hostent* entry = gethostbyname(host);
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list || !entry->h_addr_list[0])
        return false;
    memcpy(&address->s_addr, entry->h_addr_list[0], sizeof address->s_addr);
    return true;
}

NameLookupFn volatile g_nameLookup = LookUpByName;
} // namespace

NameLookupFn SetNameLookup(NameLookupFn lookup)
{
    NameLookupFn previous = g_nameLookup;
    g_nameLookup = lookup ? lookup : LookUpByName;
    return previous;
}

bool IsTransientSocketError(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS;
}

bool ResolveIPv4(const char* host, in_addr* address)
{
    if (!host || !*host)
        return false;
    unsigned long ip = inet_addr(host);
    if (ip != INADDR_NONE)
    {
        address->s_addr = ip;
        return true;
    }
    return g_nameLookup(host, address);
}

CMngrSocket::CMngrSocket()
    : m_targetPort(0), m_proxyType(0), m_proxyPort(0), m_proxyRefused(false), m_targetAddress(),
      m_targetLookedUp(false), m_targetResolved(false), m_abandonHandshake(0)
{
    m_targetHost[0] = m_proxyHost[0] = m_proxyUser[0] = m_proxyPassword[0] = 0;
}

CMngrSocket::~CMngrSocket()
{
    CloseSocket();
}

bool CMngrSocket::InitNetwork()
{
    WriteLog(LOG_TRACE, L"CMngrSocket::InitNetwork");
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    return data.wVersion == MAKEWORD(2, 2);
}

void CMngrSocket::ReleaseNetwork()
{
    WSACleanup();
    WriteLog(LOG_TRACE, L"CMngrSocket::ReleaseNetwork");
}

bool CMngrSocket::SetTarget(const char* host, WORD port)
{
    m_targetPort = port;
    return CopyField(m_targetHost, sizeof m_targetHost, host);
}

bool CMngrSocket::SetProxy(WORD type, const char* host, WORD port, const char* user, const char* password)
{
    m_proxyType = type;
    m_proxyPort = port;
    bool ok = CopyField(m_proxyHost, sizeof m_proxyHost, host);
    ok = CopyField(m_proxyUser, sizeof m_proxyUser, user) && ok;
    ok = CopyField(m_proxyPassword, sizeof m_proxyPassword, password) && ok;
    // A cut host or credential would reach another proxy, or go around the user's proxy:
    // connections fail until valid settings are given.
    m_proxyRefused = !ok && IsProxyType(type);
    return ok;
}

void CMngrSocket::CloseSocket()
{
    m_socket.reset();
}

int CMngrSocket::Connect()
{
    CloseSocket();
    if (m_proxyRefused)
        return 0;
    // A type the transport does not speak means no proxy, not a proxy that cannot be used.
    const bool viaProxy = IsProxyType(m_proxyType);
    const char* host = viaProxy ? m_proxyHost : m_targetHost;
    WORD port = viaProxy ? m_proxyPort : m_targetPort;
    WriteLog(LOG_TRACE, L"CMngrSocket::Connect : ip=%s port=%d", WideText(host).c_str(), (int)port);

    UniqueSocket sock(socket(AF_INET, SOCK_STREAM, 0));
    if (!sock)
        return 0;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!ResolveIPv4(host, &address.sin_addr))
        return 0;

    u_long nonBlocking = 1;
    ioctlsocket(sock.get(), FIONBIO, &nonBlocking);
    connect(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(sock.get(), &writable);
    FD_SET(sock.get(), &failed);
    timeval timeout = {kConnectTimeoutMs / 1000, 0};
    int ready = select(0, nullptr, &writable, &failed, &timeout);
    if (ready <= 0 || !FD_ISSET(sock.get(), &writable))
    {
        shutdown(sock.get(), SD_SEND);
        return 0;
    }
    u_long blocking = 0;
    ioctlsocket(sock.get(), FIONBIO, &blocking);
    m_socket = std::move(sock);

    if (!viaProxy)
        return 1;

    // The target is resolved here, not on the handshake thread, so that the thread never
    // blocks in a name lookup and always ends soon after it is told to.
    m_targetLookedUp = false;
    if (m_proxyType == 4 || m_proxyType == 5)
    {
        m_targetResolved = ResolveIPv4(m_targetHost, &m_targetAddress);
        m_targetLookedUp = true;
    }
    InterlockedExchange(&m_abandonHandshake, 0);
    UniqueHandle thread(CreateThread(nullptr, 0, ThreadProxyConnection, this, 0, nullptr));
    if (!thread)
    {
        CloseSocket();
        return 0;
    }
    DWORD result = WaitForSingleObject(thread.get(), kHandshakeTimeoutMs);
    DWORD exitCode = 0;
    GetExitCodeThread(thread.get(), &exitCode);
    WriteLog(LOG_TRACE, L"CMngrSocket::WaitConnectProxy : result=%d  dwExit=%d", (int)result, (int)exitCode);
    if (result == WAIT_OBJECT_0 && exitCode == 0)
        return 1;

    // The handshake failed or took too long: end the thread before anyone tries the next
    // server, then drop the half-open tunnel. The thread checks the flag at least every
    // 10 ms and does no name lookup, so it ends well within the bound. It must not outlive
    // this call: it uses this object and m_socket, which the next Connect replaces.
    InterlockedExchange(&m_abandonHandshake, 1);
    WaitForSingleObject(thread.get(), kHandshakeEndMs);
    CloseSocket();
    return 0;
}

int CMngrSocket::SendPacket(const char* data, int length)
{
    if (!IsConnected() || !data || length < 0)
        return 0;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(m_socket.get(), &writable);
    timeval timeout = {kSendTimeoutMs / 1000, 0};
    int ready = select(0, nullptr, &writable, nullptr, &timeout);
    if (ready == SOCKET_ERROR)
        return 0;
    if (ready == 0)
        return 1; // the request then fails by its reply time-out
    int sent = send(m_socket.get(), data, length, 0);
    if (sent == SOCKET_ERROR)
        return 0;
    WriteLog(LOG_TRACE, L"CMngrSocket::SendPacket : send=%d", sent);
    return 1;
}

bool CMngrSocket::BuildProxyStep(int step, char* out, int capacity, int* length) const
{
    *length = 0;
    const bool withUser = m_proxyUser[0] != 0;
    const unsigned char type = static_cast<unsigned char>(m_proxyType);
    if (m_proxyType == 1 && step == 1)
    {
        int n;
        if (withUser)
        {
            char credentials[kProxyChars * 2 + 2];
            _snprintf(credentials, sizeof credentials, "%s:%s", m_proxyUser, m_proxyPassword);
            credentials[sizeof credentials - 1] = 0;
            Base64Coder coder;
            coder.Encode(credentials);
            n = _snprintf(out, capacity, "CONNECT %s:%d HTTP/1.1\r\nProxy-Authorization: Basic %s\r\n\r\n",
                          m_targetHost, (int)m_targetPort, coder.EncodedText());
        }
        else
        {
            n = _snprintf(out, capacity, "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n\r\n", m_targetHost,
                          (int)m_targetPort, m_targetHost, (int)m_targetPort);
        }
        if (n < 0 || n >= capacity)
            return false;
        *length = n;
        return true;
    }
    if (m_proxyType != 4 && m_proxyType != 5)
        return false;
    unsigned char* p = reinterpret_cast<unsigned char*>(out);
    switch (step)
    {
    case 1:
        if (capacity < 4)
            return false;
        if (withUser)
        {
            p[0] = type, p[1] = 2, p[2] = 2, p[3] = 0;
            *length = 4;
        }
        else
        {
            p[0] = type, p[1] = 1, p[2] = 0;
            *length = 3;
        }
        return true;
    case 2:
    {
        size_t userLength = strlen(m_proxyUser), passwordLength = strlen(m_proxyPassword);
        if (userLength > 255 || passwordLength > 255 || (int)(3 + userLength + passwordLength) > capacity)
            return false;
        p[0] = 1;
        p[1] = static_cast<unsigned char>(userLength);
        memcpy(p + 2, m_proxyUser, userLength);
        p[2 + userLength] = static_cast<unsigned char>(passwordLength);
        memcpy(p + 3 + userLength, m_proxyPassword, passwordLength);
        *length = (int)(3 + userLength + passwordLength);
        return true;
    }
    case 3:
    {
        in_addr target = m_targetAddress;
        bool resolved = m_targetLookedUp ? m_targetResolved : ResolveIPv4(m_targetHost, &target);
        if (capacity < 10 || !resolved)
            return false;
        p[0] = type, p[1] = 1, p[2] = 0, p[3] = 1;
        memcpy(p + 4, &target.s_addr, 4);
        WORD port = htons(m_targetPort);
        memcpy(p + 8, &port, 2);
        *length = 10;
        return true;
    }
    default:
        return false;
    }
}

int CMngrSocket::CheckProxyReply(int step, const char* buffer, int length) const
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buffer);
    const unsigned char type = static_cast<unsigned char>(m_proxyType);
    if (step == 1 && m_proxyType == 1)
    {
        if (length < 4 || memcmp(buffer + length - 4, "\r\n\r\n", 4) != 0)
            return 1;
        // Only the status code of the status line opens the tunnel: a "200" in a header
        // value or a body of a 407 or 403 answer does not.
        if (length < 5 || memcmp(buffer, "HTTP/", 5) != 0)
            return -1;
        int i = 5;
        while (i < length && buffer[i] != ' ' && buffer[i] != '\r')
            ++i;
        while (i < length && buffer[i] == ' ')
            ++i;
        if (i + 3 > length || memcmp(buffer + i, "200", 3) != 0)
            return -1;
        char after = i + 3 < length ? buffer[i + 3] : '\r';
        return (after == ' ' || after == '\r') ? 0 : -1;
    }
    if (m_proxyType != 4 && m_proxyType != 5)
        return 0;
    switch (step)
    {
    case 1:
        if (length < 2)
            return 1;
        if (p[0] != type)
            return -1;
        return p[1] == (m_proxyUser[0] ? 2 : 0) ? 0 : -1;
    case 2:
        if (length < 2)
            return 1;
        return (p[0] == 1 && p[1] == 0) ? 0 : -1;
    case 3:
        if (length < 10)
            return 1;
        if (p[0] != type || p[1] != 0)
            return -1;
        return p[3] == 1 ? 0 : -1;
    default:
        return 0;
    }
}

int CMngrSocket::ReceiveSome(char* out, int capacity, DWORD idleMs, int* lastRecv)
{
    SOCKET sock = m_socket.get();
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    timeval poll = {0, 1};
    int ready = select(0, &readable, nullptr, nullptr, &poll);
    if (ready == 0 || (ready == SOCKET_ERROR && IsTransientSocketError(WSAGetLastError())))
    {
        Sleep(idleMs);
        return 0;
    }
    if (ready == SOCKET_ERROR)
        return -1;
    int received = recv(sock, out, capacity, 0);
    if (lastRecv)
        *lastRecv = received;
    if (received > 0)
        return received;
    if (received == 0)
        return -1; // the peer closed the connection
    // Waiting cures only a transient error; any other (reset, aborted, timed out) would
    // make every later poll fail at once, so it ends the reading.
    if (IsTransientSocketError(WSAGetLastError()))
    {
        Sleep(idleMs);
        return 0;
    }
    return -1;
}

bool CMngrSocket::SendProxyStep(int step)
{
    char packet[1024];
    for (int attempt = 0; attempt < 10; ++attempt)
    {
        if (m_abandonHandshake)
            return false;
        WriteLog(LOG_TRACE, L"SendPacket : idx=%d  GetProxyType()=%d", step, (int)GetProxyType());
        int length = 0;
        bool built = BuildProxyStep(step, packet, sizeof packet, &length);
        // Building step 3 may have waited for a name lookup: Connect may have given up meanwhile.
        if (m_abandonHandshake)
            return false;
        if (built && send(m_socket.get(), packet, length, 0) == length)
            return true;
        Sleep(10);
    }
    return false;
}

DWORD WINAPI CMngrSocket::ThreadProxyConnection(LPVOID self)
{
    try
    {
        return static_cast<CMngrSocket*>(self)->RunProxyHandshake();
    }
    catch (...)
    {
        return (DWORD)-1;
    }
}

DWORD CMngrSocket::RunProxyHandshake()
{
    WriteLog(LOG_TRACE, L"ThreadProxyConnection start");
    const bool withUser = m_proxyUser[0] != 0;
    bool ok = false;
    int step = 1;
    char reply[kReplyCapacity];
    for (;;)
    {
        if (!SendProxyStep(step))
            break;
        int total = 0;
        int verdict = 1;
        while (verdict == 1)
        {
            if (m_abandonHandshake)
            {
                verdict = -1;
                break;
            }
            int room = kReplyCapacity - total;
            if (room <= 0)
            {
                verdict = -1; // the answer outgrew the accumulator without completing
                break;
            }
            int received = ReceiveSome(reply + total, room < kReplyChunk ? room : kReplyChunk, 10);
            if (received < 0)
            {
                verdict = -1;
                break;
            }
            if (received == 0)
                continue;
            total += received;
            verdict = CheckProxyReply(step, reply, total);
            if (verdict == 1 && total >= kReplyCapacity)
                verdict = -1;
        }
        if (verdict != 0)
            break;
        if (m_proxyType == 1 || step == 3)
        {
            ok = true;
            break;
        }
        step = (step == 1 && !withUser) ? 3 : step + 1;
    }
    WriteLog(LOG_INFO, L"ThreadProxyConnection Killed");
    return ok ? 0 : (DWORD)-1;
}
