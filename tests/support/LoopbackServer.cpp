#include "support/LoopbackServer.h"

namespace
{
struct WinsockUser
{
    WinsockUser()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUser() { WSACleanup(); }
};
} // namespace

LoopbackServer::LoopbackServer(Handler handler, int maxConnections)
    : m_handler(std::move(handler)), m_maxConnections(maxConnections)
{
    static WinsockUser winsock;
    InitializeCriticalSection(&m_lock);
    m_listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_listener, 8);
    int length = sizeof address;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer()
{
    InterlockedExchange(&m_stopping, 1);
    closesocket(m_listener);
    if (m_thread.joinable())
        m_thread.join();
    DeleteCriticalSection(&m_lock);
}

void LoopbackServer::Run()
{
    for (int i = 0; i < m_maxConnections && !m_stopping; ++i)
    {
        // Poll so that the destructor's close is seen even where accept would not wake.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_listener, &readable);
        timeval poll = {0, 50000};
        int ready = select(0, &readable, nullptr, nullptr, &poll);
        if (ready <= 0)
        {
            if (ready < 0)
                return;
            --i;
            continue;
        }
        SOCKET client = accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            return;
        InterlockedIncrement(&m_accepted);
        m_handler(client, *this);
        closesocket(client);
    }
}

std::string LoopbackServer::received()
{
    EnterCriticalSection(&m_lock);
    std::string copy = m_received;
    LeaveCriticalSection(&m_lock);
    return copy;
}

void LoopbackServer::Record(const std::string& bytes)
{
    EnterCriticalSection(&m_lock);
    m_received += bytes;
    LeaveCriticalSection(&m_lock);
}

bool LoopbackServer::ReadExact(SOCKET s, std::string& out, size_t n, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (out.size() < n)
    {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval poll = {0, 20000};
        int ready = select(0, &readable, nullptr, nullptr, &poll);
        if (ready < 0)
            return false;
        if (ready == 0)
        {
            if (GetTickCount() - start > timeoutMs)
                return false;
            continue;
        }
        char buf[4096];
        size_t want = n - out.size();
        int got = recv(s, buf, (int)(want < sizeof buf ? want : sizeof buf), 0);
        if (got <= 0)
            return false;
        out.append(buf, got);
    }
    return true;
}

bool LoopbackServer::ReadUntil(SOCKET s, std::string& out, const std::string& terminator, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (out.size() < terminator.size() ||
           out.compare(out.size() - terminator.size(), terminator.size(), terminator))
    {
        if (GetTickCount() - start > timeoutMs)
            return false;
        if (!ReadExact(s, out, out.size() + 1, timeoutMs))
            return false;
    }
    return true;
}

bool LoopbackServer::SendAll(SOCKET s, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size())
    {
        int n = send(s, bytes.data() + sent, (int)(bytes.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

void LoopbackServer::Reset(SOCKET s)
{
    linger hard = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

WORD UnusedLoopbackPort()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}
