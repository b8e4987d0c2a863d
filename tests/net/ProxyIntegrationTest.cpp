// The transport and the server handler through real proxies on loopback: tinyproxy for
// HTTP CONNECT (with and without Basic authentication) and microsocks for SOCKS5 (with
// and without user/password). ctest starts them (tests/net/proxy_fixture.py) and names
// their ports in the file given by NVPC_PROXY_ENV.
#include <gtest/gtest.h>

#include <string>

#include "net/ServerHandler.h"
#include "params/Param.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

namespace
{
struct ProxyEnv
{
    bool present = false;
    WORD tinyproxy = 0, tinyproxyAuth = 0, microsocks = 0, microsocksAuth = 0;
    std::string user, password;
};

ProxyEnv LoadEnv()
{
    ProxyEnv env;
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"NVPC_PROXY_ENV", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return env;
    auto port = [&](const wchar_t* key) { return (WORD)GetPrivateProfileIntW(L"proxies", key, 0, path); };
    env.tinyproxy = port(L"tinyproxy");
    env.tinyproxyAuth = port(L"tinyproxy_auth");
    env.microsocks = port(L"microsocks");
    env.microsocksAuth = port(L"microsocks_auth");
    wchar_t text[128];
    GetPrivateProfileStringW(L"proxies", L"user", L"", text, 128, path);
    env.user = WideToUtf8(text);
    GetPrivateProfileStringW(L"proxies", L"password", L"", text, 128, path);
    env.password = WideToUtf8(text);
    env.present = env.tinyproxy && env.tinyproxyAuth && env.microsocks && env.microsocksAuth;
    return env;
}

// Gives the test the tunnel's socket.
class Tunnel : public CMngrSocket
{
  public:
    SOCKET socket() const { return m_socket.get(); }
};

// Echoes one line back with a prefix.
LoopbackServer::Handler Echo()
{
    return [](SOCKET s, LoopbackServer& server)
    {
        std::string line;
        if (LoopbackServer::ReadUntil(s, line, "\n"))
        {
            server.Record(line);
            LoopbackServer::SendAll(s, "echo:" + line);
        }
    };
}

class ProxyIntegrationTest : public testing::Test
{
  protected:
    static void SetUpTestSuite() { CMngrSocket::InitNetwork(); }
    static void TearDownTestSuite() { CMngrSocket::ReleaseNetwork(); }
    void SetUp() override
    {
        env = LoadEnv();
        wchar_t path[MAX_PATH];
        if (GetEnvironmentVariableW(L"NVPC_PROXY_ENV", path, MAX_PATH))
            ASSERT_TRUE(env.present) << "NVPC_PROXY_ENV is set but names no running proxies";
        else
            GTEST_SKIP() << "run through ctest, which starts the proxies";
    }

    // Connects through the proxy to a fresh echo server and checks the tunnel carries bytes
    // both ways. Returns Connect's result.
    int ThroughProxy(WORD type, WORD proxyPort, const std::string& user, const std::string& password)
    {
        LoopbackServer server(Echo());
        Tunnel tunnel;
        tunnel.SetTarget("127.0.0.1", server.port());
        tunnel.SetProxy(type, "127.0.0.1", proxyPort, user.c_str(), password.c_str());
        int connected = tunnel.Connect();
        if (connected)
        {
            EXPECT_EQ(tunnel.SendPacket("ping\n", 5), 1);
            std::string reply;
            EXPECT_TRUE(LoopbackServer::ReadExact(tunnel.socket(), reply, 10, 5000));
            EXPECT_EQ(reply, "echo:ping\n");
            EXPECT_EQ(server.received(), "ping\n");
        }
        return connected;
    }

    ProxyEnv env;
};
} // namespace

TEST_F(ProxyIntegrationTest, TinyproxyTunnelsWithoutAuthentication)
{
    EXPECT_EQ(ThroughProxy(1, env.tinyproxy, "", ""), 1);
}

TEST_F(ProxyIntegrationTest, TinyproxyWithBasicAuthentication)
{
    EXPECT_EQ(ThroughProxy(1, env.tinyproxyAuth, env.user, env.password), 1);
    LogCapture log;
    EXPECT_EQ(ThroughProxy(1, env.tinyproxyAuth, env.user, "wrong"), 0) << "407 for wrong credentials";
    EXPECT_EQ(log.Texts().back(), L"CMngrSocket::WaitConnectProxy : result=0  dwExit=-1");
    EXPECT_EQ(ThroughProxy(1, env.tinyproxyAuth, "", ""), 0) << "407 without credentials";
}

TEST_F(ProxyIntegrationTest, MicrosocksWithoutAndWithUserPassword)
{
    EXPECT_EQ(ThroughProxy(5, env.microsocks, "", ""), 1);
    EXPECT_EQ(ThroughProxy(5, env.microsocksAuth, env.user, env.password), 1);
    EXPECT_EQ(ThroughProxy(5, env.microsocksAuth, env.user, "wrong"), 0);
    EXPECT_EQ(ThroughProxy(5, env.microsocksAuth, "", ""), 0) << "no acceptable method";
}

// The whole directory lookup through each proxy, with the proxy settings taken from the
// record as the workflow sets them.
TEST_F(ProxyIntegrationTest, DirectoryLookupThroughEachProxy)
{
    struct
    {
        WORD type;
        WORD port;
        bool auth;
    } proxies[] = {
        {1, env.tinyproxy, false},
        {1, env.tinyproxyAuth, true},
        {5, env.microsocks, false},
        {5, env.microsocksAuth, true},
    };
    for (auto& p : proxies)
    {
        LoopbackServer directory(
            [](SOCKET s, LoopbackServer& srv)
            {
                std::string header;
                if (!LoopbackServer::ReadExact(s, header, 8))
                    return;
                WORD length;
                memcpy(&length, &header[6], 2);
                std::string body;
                LoopbackServer::ReadExact(s, body, length);
                srv.Record(body);
                std::string reply = std::string("10.77.0.1\x01"
                                                "9\x02");
                std::string out(8, '\0');
                WORD sub = 2, size = (WORD)reply.size();
                memcpy(&out[0], &header[0], 2);
                memcpy(&out[2], &sub, 2);
                memcpy(&out[6], &size, 2);
                LoopbackServer::SendAll(s, out + reply);
                std::string rest;
                LoopbackServer::ReadExact(s, rest, 1, 3000);
            });
        CParam param;
        param.SetDNSHost(L"127.0.0.1");
        param.SetMSPort(std::to_wstring(directory.port()).c_str());
        param.SetDNSCode(L"ACME");
        param.SetProxyType(p.type);
        param.SetProxyHost(L"127.0.0.1");
        param.SetProxyPort(p.port);
        if (p.auth)
        {
            param.SetProxyUser(Utf8ToWideString(env.user).c_str());
            param.SetProxyPassword(Utf8ToWideString(env.password).c_str());
        }
        CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
        ASSERT_EQ(handler.ConnectServer(), 1) << p.type << " " << p.port;
        EXPECT_EQ(handler.GetCompanyServerInfo(), 1) << p.port;
        EXPECT_STREQ(param.GetServerIP(), L"10.77.0.1");
        handler.Disconnect();
        EXPECT_NE(directory.received().find("companycode='ACME'"), std::string::npos);
    }
}
