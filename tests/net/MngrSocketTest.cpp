// The transport: direct connections, the HTTP CONNECT tunnel and the SOCKS-style
// handshake against scripted peers on loopback, with their time limits and failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/MngrSocket.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

namespace
{
std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// Keeps the accepted connection open until the client closes it or ms pass.
void Linger(SOCKET s, LoopbackServer& server, DWORD ms = 3000)
{
    DWORD start = GetTickCount();
    while (!server.stopping() && GetTickCount() - start < ms)
    {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval poll = {0, 20000};
        int ready = select(0, &readable, nullptr, nullptr, &poll);
        if (ready < 0)
            return;
        if (ready > 0)
        {
            char buf[256];
            if (recv(s, buf, sizeof buf, 0) <= 0)
                return;
        }
    }
}

class MngrSocketTest : public testing::Test
{
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CMngrSocket::InitNetwork()); }
    static void TearDownTestSuite() { CMngrSocket::ReleaseNetwork(); }
};

// A SOCKS-style proxy of type t that answers each step with the given bytes and records
// what the client sent.
LoopbackServer::Handler SocksPeer(int t, bool withUser, std::string greetingReply, std::string connectReply)
{
    return [=](SOCKET s, LoopbackServer& server)
    {
        std::string greeting;
        if (!LoopbackServer::ReadExact(s, greeting, withUser ? 4 : 3))
            return;
        server.Record(greeting);
        LoopbackServer::SendAll(s, greetingReply);
        if (greetingReply.size() < 2 || greetingReply[1] != (withUser ? 2 : 0) || greetingReply[0] != t)
            return Linger(s, server, 500);
        if (withUser)
        {
            std::string auth;
            if (!LoopbackServer::ReadExact(s, auth, 2))
                return;
            size_t userLength = (unsigned char)auth[1];
            if (!LoopbackServer::ReadExact(s, auth, 2 + userLength + 1))
                return;
            size_t passwordLength = (unsigned char)auth.back();
            if (!LoopbackServer::ReadExact(s, auth, 3 + userLength + passwordLength))
                return;
            server.Record(auth);
            LoopbackServer::SendAll(s, Bytes({1, 0}));
        }
        std::string request;
        if (!LoopbackServer::ReadExact(s, request, 10))
            return;
        server.Record(request);
        LoopbackServer::SendAll(s, connectReply);
        Linger(s, server);
    };
}

// An HTTP proxy that reads the CONNECT request and answers with reply.
LoopbackServer::Handler HttpPeer(std::string reply)
{
    return [=](SOCKET s, LoopbackServer& server)
    {
        std::string request;
        if (!LoopbackServer::ReadUntil(s, request, "\r\n\r\n"))
            return;
        server.Record(request);
        LoopbackServer::SendAll(s, reply);
        Linger(s, server, 12000);
    };
}
} // namespace

TEST_F(MngrSocketTest, ConnectsDirectlyAndSendsOnePacket)
{
    LoopbackServer server(
        [](SOCKET s, LoopbackServer& srv)
        {
            std::string got;
            if (LoopbackServer::ReadExact(s, got, 5))
                srv.Record(got);
        });
    LogCapture log;
    CMngrSocket sock;
    ASSERT_TRUE(sock.SetTarget("127.0.0.1", server.port()));
    // Type 0: the proxy fields are ignored.
    sock.SetProxy(0, "no.such.proxy.invalid", 1, "u", "p");
    ASSERT_EQ(sock.Connect(), 1);
    EXPECT_TRUE(sock.IsConnected());
    EXPECT_EQ(sock.SendPacket("hello", 5), 1);
    for (int i = 0; i < 200 && server.received().size() < 5; ++i)
        Sleep(10);
    EXPECT_EQ(server.received(), "hello");
    sock.CloseSocket();
    EXPECT_FALSE(sock.IsConnected());
    EXPECT_EQ(sock.SendPacket("x", 1), 0) << "nothing to send on";

    auto texts = log.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], L"CMngrSocket::Connect : ip=127.0.0.1 port=" + std::to_wstring(server.port()));
    EXPECT_EQ(texts[1], L"CMngrSocket::SendPacket : send=5");
}

TEST_F(MngrSocketTest, RefusedUnresolvableAndOverlongTargetsFail)
{
    CMngrSocket sock;
    sock.SetTarget("127.0.0.1", UnusedLoopbackPort());
    DWORD start = GetTickCount();
    EXPECT_EQ(sock.Connect(), 0);
    EXPECT_LT(GetTickCount() - start, 5000u) << "a refusal does not wait for the time limit";
    EXPECT_FALSE(sock.IsConnected());

    sock.SetTarget("no-such-host.invalid", 7084);
    EXPECT_EQ(sock.Connect(), 0);

    LoopbackServer server([](SOCKET, LoopbackServer&) {});
    std::string longHost(99, 'a');
    EXPECT_TRUE(sock.SetTarget(longHost.c_str(), server.port()));
    std::string tooLong = std::string(100, 'a');
    EXPECT_FALSE(sock.SetTarget(tooLong.c_str(), server.port()));
    EXPECT_STREQ(sock.GetTargetHost(), "") << "never a cut host";
    EXPECT_EQ(sock.Connect(), 0);
    EXPECT_EQ(server.accepted(), 0);
}

TEST_F(MngrSocketTest, OverlongProxySettingsAreRefusedNotCut)
{
    LoopbackServer proxy(HttpPeer("HTTP/1.1 200 OK\r\n\r\n"));
    CMngrSocket sock;
    sock.SetTarget("127.0.0.1", 7084);
    std::string longUser(257, 'u');
    EXPECT_FALSE(sock.SetProxy(1, "127.0.0.1", proxy.port(), longUser.c_str(), "pw"));
    EXPECT_EQ(sock.Connect(), 0);
    EXPECT_EQ(proxy.accepted(), 0) << "neither the proxy nor the server is dialled";
    std::string user256(256, 'u');
    EXPECT_TRUE(sock.SetProxy(1, "127.0.0.1", proxy.port(), user256.c_str(), "pw"));
    EXPECT_EQ(sock.Connect(), 1) << "valid settings work again";
}

TEST_F(MngrSocketTest, HttpProxyTunnelWithoutAndWithCredentials)
{
    {
        LoopbackServer proxy(HttpPeer("HTTP/1.1 200 Connection established\r\nProxy-agent: x\r\n\r\n"));
        LogCapture log;
        CMngrSocket sock;
        sock.SetTarget("10.1.2.3", 7084);
        sock.SetProxy(1, "127.0.0.1", proxy.port(), "", "");
        ASSERT_EQ(sock.Connect(), 1);
        EXPECT_EQ(proxy.received(), "CONNECT 10.1.2.3:7084 HTTP/1.1\r\nHost: 10.1.2.3:7084\r\n\r\n");
        auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[0].text,
                  L"CMngrSocket::Connect : ip=127.0.0.1 port=" + std::to_wstring(proxy.port()));
        EXPECT_EQ(lines[1].text, L"ThreadProxyConnection start");
        EXPECT_EQ(lines[2].text, L"SendPacket : idx=1  GetProxyType()=1");
        EXPECT_EQ(lines[3].text, L"ThreadProxyConnection Killed");
        EXPECT_EQ(lines[3].level, 1);
        EXPECT_NE(lines[3].thread, GetCurrentThreadId()) << "the handshake runs on its own thread";
        EXPECT_EQ(lines[4].text, L"CMngrSocket::WaitConnectProxy : result=0  dwExit=0");
    }
    {
        LoopbackServer proxy(HttpPeer("HTTP/1.0 200 OK\r\n\r\n"));
        CMngrSocket sock;
        sock.SetTarget("dir.example.com", 7085);
        sock.SetProxy(1, "127.0.0.1", proxy.port(), "user", "pass");
        ASSERT_EQ(sock.Connect(), 1);
        EXPECT_EQ(proxy.received(),
                  "CONNECT dir.example.com:7085 HTTP/1.1\r\nProxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n");
    }
}

TEST_F(MngrSocketTest, HttpProxyRefusalsFailEvenWhenTheyMention200)
{
    const char* replies[] = {
        "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 200\r\n\r\n",
        "HTTP/1.1 403 Forbidden 200\r\n\r\n",
        "HTTP/1.1 2000 Odd\r\n\r\n",
        "garbage 200\r\n\r\n",
    };
    for (const char* reply : replies)
    {
        LoopbackServer proxy(HttpPeer(reply));
        LogCapture log;
        CMngrSocket sock;
        sock.SetTarget("127.0.0.1", 7084);
        sock.SetProxy(1, "127.0.0.1", proxy.port(), "", "");
        DWORD start = GetTickCount();
        EXPECT_EQ(sock.Connect(), 0) << reply;
        EXPECT_LT(GetTickCount() - start, 5000u) << reply;
        EXPECT_FALSE(sock.IsConnected()) << "the failed tunnel is closed";
        auto texts = log.Texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), L"CMngrSocket::WaitConnectProxy : result=0  dwExit=-1") << reply;
    }
}

TEST_F(MngrSocketTest, UnendingProxyHeaderGivesUpAfterTenSecondsAndEndsTheThread)
{
    LoopbackServer proxy(HttpPeer("HTTP/1.1 200 Connection established\r\nX-Never: ends\r\n"));
    LogCapture log;
    CMngrSocket sock;
    sock.SetTarget("127.0.0.1", 7084);
    sock.SetProxy(1, "127.0.0.1", proxy.port(), "", "");
    DWORD start = GetTickCount();
    EXPECT_EQ(sock.Connect(), 0);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 9500u);
    EXPECT_LT(elapsed, 16000u);
    EXPECT_FALSE(sock.IsConnected());
    auto texts = log.Texts();
    ASSERT_GE(texts.size(), 2u);
    // The thread has ended (its last line is written) by the time Connect returns.
    EXPECT_EQ(texts.back(), L"ThreadProxyConnection Killed");
    EXPECT_EQ(texts[texts.size() - 2], L"CMngrSocket::WaitConnectProxy : result=258  dwExit=259");
}

TEST_F(MngrSocketTest, ProxyAnswerOutgrowingTheAccumulatorFails)
{
    LoopbackServer proxy(HttpPeer("HTTP/1.1 200 OK\r\n" + std::string(5000, 'x')));
    CMngrSocket sock;
    sock.SetTarget("127.0.0.1", 7084);
    sock.SetProxy(1, "127.0.0.1", proxy.port(), "", "");
    DWORD start = GetTickCount();
    EXPECT_EQ(sock.Connect(), 0);
    EXPECT_LT(GetTickCount() - start, 5000u) << "fails as soon as 4096 bytes came without an end";
}

TEST_F(MngrSocketTest, SocksHandshakeWithoutUser)
{
    for (int t : {4, 5})
    {
        LoopbackServer proxy(
            SocksPeer(t, false, Bytes({t, 0}), Bytes({t, 0, 0, 1, 127, 0, 0, 1, 0x1B, 0xAC})));
        LogCapture log;
        CMngrSocket sock;
        sock.SetTarget("10.20.30.40", 7084);
        sock.SetProxy((WORD)t, "127.0.0.1", proxy.port(), "", "");
        ASSERT_EQ(sock.Connect(), 1) << t;
        EXPECT_EQ(proxy.received(), Bytes({t, 1, 0}) + Bytes({t, 1, 0, 1, 10, 20, 30, 40, 0x1B, 0xAC}));
        std::vector<std::wstring> steps;
        for (auto& line : log.Texts())
            if (line.rfind(L"SendPacket : idx=", 0) == 0)
                steps.push_back(line);
        ASSERT_EQ(steps.size(), 2u);
        EXPECT_EQ(steps[0], L"SendPacket : idx=1  GetProxyType()=" + std::to_wstring(t));
        EXPECT_EQ(steps[1], L"SendPacket : idx=3  GetProxyType()=" + std::to_wstring(t));
    }
}

TEST_F(MngrSocketTest, SocksHandshakeWithUserAndPassword)
{
    LoopbackServer proxy(SocksPeer(5, true, Bytes({5, 2}), Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0})));
    CMngrSocket sock;
    sock.SetTarget("127.0.0.1", 7085);
    sock.SetProxy(5, "127.0.0.1", proxy.port(), "alice", "s3cret");
    ASSERT_EQ(sock.Connect(), 1);
    EXPECT_EQ(proxy.received(), Bytes({5, 2, 2, 0}) + Bytes({1, 5}) + "alice" + Bytes({6}) + "s3cret" +
                                    Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x1B, 0xAD}));
}

TEST_F(MngrSocketTest, SocksRefusalsFail)
{
    struct
    {
        const char* what;
        std::string greeting;
        std::string connect;
    } cases[] = {
        {"no acceptable method", Bytes({5, 0xFF}), ""},
        {"other version", Bytes({4, 0}), ""},
        {"wrong address type", Bytes({5, 0}), Bytes({5, 0, 0, 3, 1, 2, 3, 4, 5, 6})},
        {"connect refused", Bytes({5, 0}), Bytes({5, 5, 0, 1, 1, 2, 3, 4, 5, 6})},
    };
    for (auto& c : cases)
    {
        LoopbackServer proxy(SocksPeer(5, false, c.greeting, c.connect));
        CMngrSocket sock;
        sock.SetTarget("127.0.0.1", 7085);
        sock.SetProxy(5, "127.0.0.1", proxy.port(), "", "");
        DWORD start = GetTickCount();
        EXPECT_EQ(sock.Connect(), 0) << c.what;
        EXPECT_LT(GetTickCount() - start, 5000u) << c.what;
        EXPECT_FALSE(sock.IsConnected()) << c.what;
    }
}

TEST_F(MngrSocketTest, ProxyThatClosesOrResetsFails)
{
    for (bool reset : {false, true})
    {
        LoopbackServer proxy(
            [reset](SOCKET s, LoopbackServer&)
            {
                std::string greeting;
                LoopbackServer::ReadExact(s, greeting, 3);
                if (reset)
                    LoopbackServer::Reset(s);
            });
        CMngrSocket sock;
        sock.SetTarget("127.0.0.1", 7085);
        sock.SetProxy(5, "127.0.0.1", proxy.port(), "", "");
        DWORD start = GetTickCount();
        EXPECT_EQ(sock.Connect(), 0) << reset;
        EXPECT_LT(GetTickCount() - start, 5000u) << reset;
    }
}

TEST(MngrSocketReply, CheckProxyReplyRules)
{
    CMngrSocket http;
    http.SetProxy(1, "p", 1, "", "");
    EXPECT_EQ(http.CheckProxyReply(1, "HTT", 3), 1);
    EXPECT_EQ(http.CheckProxyReply(1, "HTTP/1.1 200 OK\r\n", 17), 1) << "header not ended";
    EXPECT_EQ(http.CheckProxyReply(1, "HTTP/1.1 200 OK\r\n\r\n", 19), 0);
    EXPECT_EQ(http.CheckProxyReply(1, "HTTP/1.1 200\r\n\r\n", 16), 0);
    EXPECT_EQ(http.CheckProxyReply(1, "HTTP/1.1 502 Bad 200\r\n\r\n", 24), -1);
    EXPECT_EQ(http.CheckProxyReply(2, "anything", 8), 0) << "other steps of type 1 pass";

    CMngrSocket socks;
    socks.SetProxy(4, "p", 1, "", "");
    EXPECT_EQ(socks.CheckProxyReply(1, "\x04", 1), 1);
    EXPECT_EQ(socks.CheckProxyReply(1, std::string("\x04\x00", 2).c_str(), 2), 0);
    EXPECT_EQ(socks.CheckProxyReply(1, "\x04\x02", 2), -1) << "without a user the method must be 0";
    EXPECT_EQ(socks.CheckProxyReply(2, std::string("\x01\x00", 2).c_str(), 2), 0);
    EXPECT_EQ(socks.CheckProxyReply(2, "\x01\x01", 2), -1);
    std::string ok3("\x04\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
    EXPECT_EQ(socks.CheckProxyReply(3, ok3.c_str(), 9), 1);
    EXPECT_EQ(socks.CheckProxyReply(3, ok3.c_str(), 10), 0);
    EXPECT_EQ(socks.CheckProxyReply(4, "", 0), 0);

    CMngrSocket socksUser;
    socksUser.SetProxy(5, "p", 1, "u", "p");
    EXPECT_EQ(socksUser.CheckProxyReply(1, "\x05\x02", 2), 0);
    EXPECT_EQ(socksUser.CheckProxyReply(1, std::string("\x05\x00", 2).c_str(), 2), -1);

    CMngrSocket other;
    other.SetProxy(3, "p", 1, "", "");
    EXPECT_EQ(other.CheckProxyReply(1, "", 0), 0);
    char out[64];
    int length = 0;
    EXPECT_FALSE(other.BuildProxyStep(1, out, sizeof out, &length)) << "type 3 has no handshake to send";
    EXPECT_FALSE(socks.BuildProxyStep(4, out, sizeof out, &length));
}

// Scripted name service: knows one name, and notes on which thread each lookup ran.
struct ScriptedNames
{
    static bool Lookup(const char* host, in_addr* address)
    {
        EnterCriticalSection(&lock);
        asked.push_back(host);
        threads.push_back(GetCurrentThreadId());
        LeaveCriticalSection(&lock);
        if (strcmp(host, "dir.example.test") != 0)
            return false;
        address->s_addr = inet_addr("10.20.30.40");
        return true;
    }
    static CRITICAL_SECTION lock;
    static std::vector<std::string> asked;
    static std::vector<DWORD> threads;
};
CRITICAL_SECTION ScriptedNames::lock = []
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    return cs;
}();
std::vector<std::string> ScriptedNames::asked;
std::vector<DWORD> ScriptedNames::threads;

class NameLookupGuard
{
  public:
    NameLookupGuard() : m_previous(SetNameLookup(ScriptedNames::Lookup))
    {
        ScriptedNames::asked.clear();
        ScriptedNames::threads.clear();
    }
    ~NameLookupGuard() { SetNameLookup(m_previous); }

  private:
    NameLookupFn m_previous;
};

// The SOCKS target is looked up by Connect, on the caller's thread, before the handshake
// thread starts: that thread never waits in a name lookup, so it always ends soon after
// Connect gives up. A dotted address is never looked up by name.
TEST_F(MngrSocketTest, SocksTargetIsLookedUpBeforeTheHandshakeThreadStarts)
{
    struct
    {
        const char* target;
        int result;
        std::string sent;
    } cases[] = {
        {"dir.example.test", 1, Bytes({5, 1, 0}) + Bytes({5, 1, 0, 1, 10, 20, 30, 40, 0x1B, 0xAD})},
        // The connect step cannot be sent: only the greeting goes out, and no wait for the
        // time limit.
        {"no-such-host.invalid", 0, Bytes({5, 1, 0})},
    };
    for (auto& c : cases)
    {
        NameLookupGuard names;
        LoopbackServer proxy(SocksPeer(5, false, Bytes({5, 0}), Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0})));
        CMngrSocket sock;
        sock.SetTarget(c.target, 7085);
        sock.SetProxy(5, "127.0.0.1", proxy.port(), "", "");
        DWORD start = GetTickCount();
        EXPECT_EQ(sock.Connect(), c.result) << c.target;
        EXPECT_LT(GetTickCount() - start, 5000u) << c.target;
        EXPECT_EQ(proxy.received(), c.sent) << c.target;
        ASSERT_EQ(ScriptedNames::asked, std::vector<std::string>{c.target})
            << "the proxy's dotted address is not looked up";
        EXPECT_EQ(ScriptedNames::threads[0], GetCurrentThreadId())
            << c.target << ": looked up on the handshake thread";
    }
}

// Only types 1, 4 and 5 are spoken; any other type is a direct connection, not a proxy
// that every handshake step fails on.
TEST_F(MngrSocketTest, TypesWithoutAHandshakeDialTheServerDirectly)
{
    for (WORD type : {0, 2, 3, 6, 0xFFFF})
    {
        LoopbackServer server([](SOCKET s, LoopbackServer& srv) { Linger(s, srv, 500); });
        LoopbackServer proxy([](SOCKET s, LoopbackServer& srv) { Linger(s, srv, 500); });
        LogCapture log;
        CMngrSocket sock;
        sock.SetTarget("127.0.0.1", server.port());
        EXPECT_TRUE(sock.SetProxy(type, "127.0.0.1", proxy.port(), "u", "p"));
        EXPECT_EQ(sock.Connect(), 1) << type;
        sock.CloseSocket();
        EXPECT_EQ(proxy.accepted(), 0) << type;
        auto texts = log.Texts();
        ASSERT_EQ(texts.size(), 1u) << type << ": no handshake";
        EXPECT_EQ(texts[0], L"CMngrSocket::Connect : ip=127.0.0.1 port=" + std::to_wstring(server.port()))
            << type;
    }
}

TEST(MngrSocketErrors, OnlyWaitingCuresTransientErrors)
{
    const struct
    {
        int error;
        bool transient;
    } cases[] = {
        {WSAEWOULDBLOCK, true},   {WSAEINTR, true},      {WSAEINPROGRESS, true}, {WSAECONNRESET, false},
        {WSAECONNABORTED, false}, {WSAETIMEDOUT, false}, {WSAENOTSOCK, false},   {WSAENOTCONN, false},
        {WSAESHUTDOWN, false},    {WSAENETDOWN, false},
    };
    for (auto& c : cases)
        EXPECT_EQ(IsTransientSocketError(c.error), c.transient) << c.error;
}
