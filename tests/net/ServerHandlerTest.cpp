// Requests to the directory and upgrade servers against a scripted packet server on
// loopback: the bytes on the wire, the results in the record, time-outs, refusals,
// broken connections and oversized replies.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/ServerHandler.h"
#include "params/Param.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

namespace
{
struct Request
{
    WORD command = 0;
    WORD sub = 0;
    std::string body;
};

// What the scripted server does with one request.
struct Answer
{
    enum Kind
    {
        Reply,        // header (sub, body) and body
        Silent,       // nothing
        Reset,        // reset the connection
        CloseMidBody, // half the body, then close
        Raw,          // exactly the bytes in body
    } kind = Reply;
    WORD sub = 2;
    std::string body;
    DWORD delayMs = 0;
};

std::string Header(WORD command, WORD sub, WORD length)
{
    std::string h(8, '\0');
    memcpy(&h[0], &command, 2);
    memcpy(&h[2], &sub, 2);
    memcpy(&h[6], &length, 2);
    return h;
}

typedef std::function<Answer(const Request&)> Script;

// Serves one connection: reads packets and answers them by the script; every request is
// recorded as "command:body;".
class PacketServer
{
  public:
    explicit PacketServer(Script script)
        : m_script(std::move(script)), m_server([this](SOCKET s, LoopbackServer& srv) { Serve(s, srv); })
    {
    }
    WORD port() const { return m_server.port(); }
    std::vector<Request> requests()
    {
        EnterCriticalSection(&m_lock);
        auto copy = m_requests;
        LeaveCriticalSection(&m_lock);
        return copy;
    }
    int accepted() const { return m_server.accepted(); }
    PacketServer(const PacketServer&) = delete;
    ~PacketServer() { DeleteCriticalSection(&m_lock); }

  private:
    void Serve(SOCKET s, LoopbackServer& srv)
    {
        while (!srv.stopping())
        {
            std::string header;
            if (!LoopbackServer::ReadExact(s, header, 8, 20000))
                return;
            Request r;
            WORD length;
            memcpy(&r.command, &header[0], 2);
            memcpy(&r.sub, &header[2], 2);
            memcpy(&length, &header[6], 2);
            if (length && !LoopbackServer::ReadExact(s, r.body, length, 20000))
                return;
            EnterCriticalSection(&m_lock);
            m_requests.push_back(r);
            LeaveCriticalSection(&m_lock);
            Answer a = m_script(r);
            if (a.delayMs)
                Sleep(a.delayMs);
            switch (a.kind)
            {
            case Answer::Reply:
                LoopbackServer::SendAll(s, Header(r.command, a.sub, (WORD)a.body.size()) + a.body);
                break;
            case Answer::Silent:
                break;
            case Answer::Reset:
                LoopbackServer::Reset(s);
                return;
            case Answer::CloseMidBody:
                LoopbackServer::SendAll(s, Header(r.command, a.sub, (WORD)a.body.size()) +
                                               a.body.substr(0, a.body.size() / 2));
                return;
            case Answer::Raw:
                LoopbackServer::SendAll(s, a.body);
                break;
            }
        }
    }

    Script m_script;
    CRITICAL_SECTION m_lock = []
    {
        CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        return cs;
    }();
    std::vector<Request> m_requests;
    LoopbackServer m_server;
};

Answer Ok(const std::string& body)
{
    Answer a;
    a.body = body;
    return a;
}

Answer Code(WORD sub, const std::string& body = "")
{
    Answer a;
    a.sub = sub;
    a.body = body;
    return a;
}

const std::string kSql = "select serverip,checkerversion from companyserverinfo where companycode='ACME'";

// "xml-no-folder NAME OUT": reads manifest NAME with a product folder too long to exist
// (this program's own deep folder plus a 99-character group) and writes to OUT whether the
// folder was empty, a bar, and the text read.
int ChildScenario(int argc, char** argv)
{
    if (argc < 3 || strcmp(argv[0], "xml-no-folder") != 0)
        return 2;
    CParam param;
    param.SetUseModuleFolder(1);
    param.SetGroup(std::wstring(99, L'g').c_str());
    CServerHandler handler(CServerHandler::MODE_UPGRADE, &param);
    std::string text = handler.SetXMLData(Utf8ToWideString(argv[1]).c_str());
    std::string out = (param.GetConfigFolder().empty() ? "no folder|" : "folder|") + text;
    return WriteBytes(Utf8ToWideString(argv[2]), out) ? 0 : 3;
}
ChildScenarioRegistrar g_registrar(ChildScenario);

class ServerHandlerTest : public testing::Test
{
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CMngrSocket::InitNetwork()); }
    static void TearDownTestSuite() { CMngrSocket::ReleaseNetwork(); }

    void SetUp() override
    {
        // Manifests live in <test folder>\<Group>\config with UseModuleFolder set.
        wchar_t group[64];
        _snwprintf(group, 63, L"sh_%lu", GetCurrentProcessId());
        group[63] = 0;
        m_group = group;
        param.SetUseModuleFolder(1);
        param.SetGroup(m_group.c_str());
        param.SetDNSCode(L"ACME");
        param.SetProductID(L"NVPC");
        param.SetProductType(L"5");
        param.SetTimeOut(L"3000");
        CreateDirectoryW((ModuleFolder() + L"\\" + m_group).c_str(), nullptr);
    }
    void TearDown() override { RemoveTree(ModuleFolder() + L"\\" + m_group); }

    void WriteManifests(const std::string& master, const std::string& product)
    {
        std::wstring folder = param.GetConfigFolder();
        ASSERT_FALSE(folder.empty());
        ASSERT_TRUE(WriteBytes(folder + L"\\master_5.xml", master));
        ASSERT_TRUE(WriteBytes(folder + L"\\NVPC.xml", product));
    }

    void Directory(WORD port, const wchar_t* hosts = L"127.0.0.1")
    {
        param.SetDNSHost(hosts);
        param.SetMSPort(std::to_wstring(port).c_str());
    }
    void Upgrade(WORD port)
    {
        param.SetUpgradeHost(L"127.0.0.1");
        param.SetUpPort(std::to_wstring(port).c_str());
    }

    CParam param;
    std::wstring m_group;
};
} // namespace

TEST_F(ServerHandlerTest, FirstDirectoryHostRefusesSecondAnswersTheQuery)
{
    PacketServer server(
        [](const Request&)
        {
            return Ok(std::string("10.9.8.7\x01"
                                  "1.0\x02"));
        });
    // 127.0.0.2 is loopback too, but nothing listens there.
    Directory(server.port(), L"127.0.0.2 127.0.0.1");
    LogCapture log;
    CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    ASSERT_EQ(handler.GetCompanyServerInfo(), 1);
    EXPECT_STREQ(param.GetServerIP(), L"10.9.8.7");
    handler.Disconnect();

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].command, 0x026C);
    EXPECT_EQ(requests[0].sub, 1);
    EXPECT_EQ(requests[0].body, kSql + "\x01"
                                       "2\x02");

    std::vector<std::wstring> connects;
    bool sawResult = false, sawTimeOut = false;
    std::wstring port = std::to_wstring(server.port());
    for (auto& line : log.Lines())
    {
        if (line.text.rfind(L"Connect() : ", 0) == 0)
        {
            connects.push_back(line.text);
            EXPECT_EQ(line.level, 1);
        }
        sawResult |= line.text == L"GetCompanyServerInfo SendPacket : 0=10.9.8.7";
        sawTimeOut |= line.text == L"CServerHandler::SendPacket : TimeOut=3000";
    }
    ASSERT_EQ(connects.size(), 2u);
    EXPECT_EQ(connects[0], L"Connect() : 127.0.0.2:" + port);
    EXPECT_EQ(connects[1], L"Connect() : 127.0.0.1:" + port);
    EXPECT_TRUE(sawResult);
    EXPECT_TRUE(sawTimeOut);
}

TEST_F(ServerHandlerTest, QueryTypesChooseTheRequest)
{
    PacketServer server([](const Request&) { return Ok(std::string("192.168.5.5\x02")); });
    Directory(server.port());
    param.SetQueryType(L"1");
    CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    ASSERT_EQ(handler.GetCompanyServerInfo(), 1);
    EXPECT_STREQ(param.GetServerIP(), L"192.168.5.5");

    // Type 2 sends nothing: the connected directory host is the company server.
    param.SetQueryType(L"2");
    ASSERT_EQ(handler.GetCompanyServerInfo(), 1);
    EXPECT_STREQ(param.GetServerIP(), L"127.0.0.1");
    handler.Disconnect();

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].command, 0x0081);
    EXPECT_EQ(requests[0].body, "ACME\x02");
}

TEST_F(ServerHandlerTest, RefusedEmptyAndLateDirectoryAnswersFail)
{
    int n = 0;
    PacketServer server(
        [&n](const Request&)
        {
            switch (n++)
            {
            case 0:
                return Code(3, "no such company\x02");
            case 1:
                return Code(2, ""); // OK but empty
            default:
            {
                Answer late = Ok(std::string("1.1.1.1\x02"));
                late.delayMs = 1500;
                return late;
            }
            }
        });
    Directory(server.port());
    param.SetServerIP(L"stale");
    LogCapture log;
    CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    EXPECT_EQ(handler.GetCompanyServerInfo(), 0);
    EXPECT_STREQ(param.GetServerIP(), L"") << "emptied before asking";
    EXPECT_EQ(handler.GetCompanyServerInfo(), 0);
    param.SetTimeOut(L"500");
    EXPECT_EQ(handler.GetCompanyServerInfo(), 0) << "a reply after TimeOut";
    handler.Disconnect();

    bool refusal = false, timeout = false;
    for (auto& t : log.Texts())
    {
        refusal |= t == L"GetQueryResult failed SendPacket(3) receive=no such company\x02";
        timeout |= t.rfind(L"GetQueryResult(", 0) == 0 &&
                   t.find(L") failed SendPacket(0) send=" + std::wstring(kSql.begin(), kSql.end())) !=
                       std::wstring::npos;
    }
    EXPECT_TRUE(refusal);
    EXPECT_TRUE(timeout);
}

TEST_F(ServerHandlerTest, LateReplyIsDroppedNotWrittenIntoTheFinishedRequest)
{
    int n = 0;
    PacketServer server(
        [&n](const Request&)
        {
            Answer a = Ok(n == 0 ? std::string("late\x02") : std::string("fresh\x02"));
            if (n++ == 0)
                a.delayMs = 800;
            return a;
        });
    Directory(server.port());
    CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);

    std::unique_ptr<Packet> request(new Packet), reply(new Packet);
    ASSERT_TRUE(BuildQueryByCodeRequest(*request, L"ACME"));
    reply->Clear();
    EXPECT_EQ(handler.SendPacket(request.get(), reply.get(), 1, 200), 0);
    Sleep(1500); // the late reply arrives meanwhile
    EXPECT_EQ(reply->header.DataLength, 0) << "nothing written after the request ended";
    EXPECT_EQ(reply->body[0], 0);

    std::unique_ptr<Packet> second(new Packet);
    second->Clear();
    ASSERT_EQ(handler.SendPacket(request.get(), second.get(), 1, 3000), 1);
    EXPECT_EQ(second->BodyText(), "fresh\x02");

    // A fast answer, while the requester has only just started to wait, is never lost.
    for (int i = 0; i < 5; ++i)
    {
        second->Clear();
        EXPECT_EQ(handler.SendPacket(request.get(), second.get(), 1, 3000), 1) << i;
    }
    handler.Disconnect();
}

TEST_F(ServerHandlerTest, ResetConnectionEndsTheReceiveThreadAndLaterRequestsFail)
{
    int n = 0;
    PacketServer server(
        [&n](const Request&)
        {
            if (n++ == 0)
                return Ok(std::string("2.2.2.2\x02"));
            Answer a;
            a.kind = Answer::Reset;
            return a;
        });
    Directory(server.port());
    param.SetTimeOut(L"1000");
    LogCapture log;
    CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    EXPECT_EQ(handler.GetCompanyServerInfo(), 1);
    EXPECT_EQ(handler.GetCompanyServerInfo(), 0);
    EXPECT_EQ(handler.GetCompanyServerInfo(), 0) << "the connection is gone";
    handler.Disconnect();
    auto texts = log.Texts();
    bool socketError = false, killed = false;
    for (auto& t : texts)
    {
        socketError |= t == L"SocketError";
        killed |= t == L"ThreadCServer kill thread";
    }
    EXPECT_TRUE(socketError);
    EXPECT_TRUE(killed);
}

TEST_F(ServerHandlerTest, ConnectionClosedMidBodyFailsTheRequest)
{
    PacketServer server(
        [](const Request&)
        {
            Answer a = Ok(std::string("3.3.3.3\x01"
                                      "1.0\x02"));
            a.kind = Answer::CloseMidBody;
            return a;
        });
    Directory(server.port());
    param.SetTimeOut(L"1000");
    CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    EXPECT_EQ(handler.GetCompanyServerInfo(), 0);
    EXPECT_STREQ(param.GetServerIP(), L"");
    handler.Disconnect();
}

TEST_F(ServerHandlerTest, OversizedReplyFailsAtOnce)
{
    PacketServer server(
        [](const Request& r)
        {
            Answer a;
            a.kind = Answer::Raw;
            a.body = Header(r.command, 2, 38401) + std::string(38401, 'x');
            return a;
        });
    Directory(server.port());
    param.SetTimeOut(L"5000");
    CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    DWORD start = GetTickCount();
    EXPECT_EQ(handler.GetCompanyServerInfo(), 0);
    EXPECT_LT(GetTickCount() - start, 4000u) << "no need to wait for the time-out";
    handler.Disconnect();
}

TEST_F(ServerHandlerTest, UpdateUrlUploadsBothManifestsFirst)
{
    WriteManifests("<files_info ver=\"1.0.0.1\"/>", "<files_info ver=\"2.0\"><file/></files_info>");
    std::vector<Answer> script = {Code(2), Code(2), Ok("http://127.0.0.1/update.zip")};
    size_t n = 0;
    PacketServer server([&](const Request&) { return script[n++ % script.size()]; });
    Upgrade(server.port());
    LogCapture log;
    CServerHandler handler(CServerHandler::MODE_UPGRADE, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    EXPECT_STREQ(param.GetConnectedUpgradeHost(), L"127.0.0.1");
    ASSERT_EQ(handler.GetUpdateURL(), 1);
    EXPECT_STREQ(param.GetPatchURL(), L"http://127.0.0.1/update.zip");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].command, 0x07D1);
    EXPECT_EQ(requests[0].body, std::string("master_5.xml\x01<files_info ver=\"1.0.0.1\"/>\x02"));
    EXPECT_EQ(requests[1].command, 0x07D2);
    EXPECT_EQ(requests[1].body, std::string("NVPC.xml\x01<files_info ver=\"2.0\"><file/></files_info>\x02"));
    EXPECT_EQ(requests[2].command, 0x07D3);
    EXPECT_EQ(requests[2].body, "");

    // No update: code 4 leaves PatchURL empty and still succeeds.
    script = {Code(2), Code(2), Code(4)};
    n = 0;
    ASSERT_EQ(handler.GetUpdateURL(), 1);
    EXPECT_STREQ(param.GetPatchURL(), L"");

    // A URL of 1000 bytes is refused.
    script = {Code(2), Code(2), Ok(std::string(1000, 'u'))};
    n = 0;
    EXPECT_EQ(handler.GetUpdateURL(), 0);
    EXPECT_STREQ(param.GetPatchURL(), L"");
    script = {Code(2), Code(2), Ok(std::string(999, 'u'))};
    n = 0;
    EXPECT_EQ(handler.GetUpdateURL(), 1);
    EXPECT_EQ(wcslen(param.GetPatchURL()), 999u);

    // A refused manifest ends it before the URL is asked for.
    script = {Code(3, "bad\x02")};
    n = 0;
    size_t before = server.requests().size();
    EXPECT_EQ(handler.GetUpdateURL(), 0);
    EXPECT_EQ(server.requests().size(), before + 1);
    handler.Disconnect();

    std::vector<std::wstring> expected = {
        L"SendMasterXML",
        L"SendMasterXML result = 2",
        L"SendProductXML",
        L"SendProductXML result = 2",
        L"CServerHandler::GetUpdateURL : ucCmdSub=2 SetPatchURL=http://127.0.0.1/update.zip",
    };
    std::vector<std::wstring> seen;
    for (auto& t : log.Texts())
        if (t.rfind(L"Send", 0) == 0 || t.rfind(L"CServerHandler::GetUpdateURL", 0) == 0)
            seen.push_back(t);
    ASSERT_GE(seen.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(seen[i], expected[i]) << i;
}

TEST_F(ServerHandlerTest, MissingManifestIsSentEmptyAndTooLongOneIsRefused)
{
    std::vector<Answer> script = {Code(2), Code(2), Code(4)};
    size_t n = 0;
    PacketServer server([&](const Request&) { return script[n++ % script.size()]; });
    Upgrade(server.port());
    LogCapture log;
    CServerHandler handler(CServerHandler::MODE_UPGRADE, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    EXPECT_EQ(handler.GetUpdateURL(), 1);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].body, std::string("master_5.xml\x01\x02"));
    bool failedLine = false;
    for (auto& t : log.Texts())
        failedLine |= t.rfind(L"SetXMLData failed : hFile=ffffffff szXMLFile=master_5.xml path=", 0) == 0;
    EXPECT_TRUE(failedLine);

    // 38399 bytes of content plus the name cannot fit one body.
    WriteManifests(std::string(38399, 'm'), "p");
    n = 0;
    EXPECT_EQ(handler.GetUpdateURL(), 0);
    EXPECT_EQ(server.requests().size(), 3u) << "nothing more was sent";
    handler.Disconnect();
}

TEST_F(ServerHandlerTest, SetupExAnsweredWithUseSetupAsksForTheSetupUrl)
{
    WriteManifests("<m/>", "<p/>");
    std::vector<Answer> script = {Code(2), Code(2), Code(5), Ok("http://127.0.0.1/setup.EXE")};
    size_t n = 0;
    PacketServer server([&](const Request&) { return script[n++ % script.size()]; });
    Upgrade(server.port());
    CServerHandler handler(CServerHandler::MODE_UPGRADE, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    ASSERT_EQ(handler.GetSetupExURL(), 1);
    EXPECT_STREQ(param.GetSetupURL(), L"http://127.0.0.1/setup.EXE");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[2].command, 0x07D6);
    EXPECT_EQ(requests[2].body, "NVPC\x02");
    EXPECT_EQ(requests[3].command, 0x07D4);
    EXPECT_EQ(requests[3].body, "NVPC\x02");
    EXPECT_EQ(server.accepted(), 1) << "on the same connection";

    script = {Code(2), Code(2), Code(4)};
    n = 0;
    EXPECT_EQ(handler.GetSetupExURL(), 1);
    EXPECT_STREQ(param.GetSetupURL(), L"");
    script = {Code(2), Code(2), Code(3, "no\x02")};
    n = 0;
    EXPECT_EQ(handler.GetSetupExURL(), 0);
    handler.Disconnect();
}

TEST_F(ServerHandlerTest, NoServerAnswersAndRequestsWithoutConnection)
{
    Directory(UnusedLoopbackPort(), L"127.0.0.1 127.0.0.3");
    CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    EXPECT_EQ(handler.ConnectServer(), 0);
    EXPECT_EQ(handler.GetCompanyServerInfo(), 0);
    EXPECT_EQ(handler.GetSetupURL(), 0);
    EXPECT_EQ(handler.GetUpdateURL(), 0);
    CServerHandler empty(CServerHandler::MODE_UPGRADE, &param);
    EXPECT_EQ(empty.ConnectServer(), 0) << "no upgrade hosts";
    CServerHandler odd(7, &param);
    EXPECT_EQ(odd.ConnectServer(), 0);
}

// Without a configuration folder a manifest is unreadable; it is never looked up at the
// root of the current drive.
TEST_F(ServerHandlerTest, ManifestWithoutConfigFolderIsNotReadFromTheDriveRoot)
{
    TempDir dir;
    // A program folder of more than 160 characters leaves no room for the group.
    std::wstring deep = dir.path();
    while (deep.size() < 175)
    {
        deep += L"\\" + std::wstring(40, L'd');
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    }
    std::wstring exe = deep + L"\\h.exe";
    ASSERT_TRUE(CopyFileW(ModulePath().c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileW((ModuleFolder() + L"\\Logger.dll").c_str(), (deep + L"\\Logger.dll").c_str(), FALSE));

    // The same name at the root of the child's current drive must stay unread.
    wchar_t name[64];
    _snwprintf(name, ARRAYSIZE(name) - 1, L"master_%lu.xml", GetCurrentProcessId());
    name[ARRAYSIZE(name) - 1] = 0;
    std::wstring root = dir.path().substr(0, 3);
    ASSERT_EQ(root.substr(1), L":\\");
    std::wstring planted = root + name;
    ASSERT_TRUE(WriteBytes(planted, "<files_info ver=\"9.9\"/>"));

    std::wstring out = dir / L"out.txt";
    LogCapture log;
    int code = RunProcess(exe, std::wstring(L"--child xml-no-folder ") + name + L" \"" + out + L"\"", 60000,
                          dir.path());
    DeleteFileW(planted.c_str());
    ASSERT_EQ(code, 0);
    EXPECT_EQ(ReadBytes(out), "no folder|");
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text,
              std::wstring(L"SetXMLData failed : hFile=ffffffff szXMLFile=") + name + L" path=");
    EXPECT_EQ(lines[0].level, 0);
    EXPECT_EQ(lines[1].text, L"~CServerHandler");
}

// The setup URL request, its refusal and time-out lines, and what the receive thread logs
// for each packet.
TEST_F(ServerHandlerTest, SetupUrlAndReceiveThreadLogLines)
{
    std::vector<Answer> script = {Ok("http://127.0.0.1/setup.exe"), Code(3, "no setup\x02")};
    Answer silent;
    silent.kind = Answer::Silent;
    script.push_back(silent);
    size_t n = 0;
    PacketServer server([&](const Request&) { return script[n++]; });
    Upgrade(server.port());
    param.SetTimeOut(L"700");
    LogCapture log;
    {
        CServerHandler handler(CServerHandler::MODE_UPGRADE, &param);
        ASSERT_EQ(handler.ConnectServer(), 1);
        ASSERT_EQ(handler.GetSetupURL(), 1);
        EXPECT_STREQ(param.GetSetupURL(), L"http://127.0.0.1/setup.exe");
        EXPECT_EQ(handler.GetSetupURL(), 0);
        EXPECT_STREQ(param.GetSetupURL(), L"") << "emptied before asking";
        param.SetSetupURL(L"stale");
        EXPECT_EQ(handler.GetSetupURL(), 0);
        EXPECT_STREQ(param.GetSetupURL(), L"");
        handler.Disconnect();
    }
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].command, 0x07D4);
    EXPECT_EQ(requests[0].body, "NVPC\x02");

    struct Expected
    {
        int level;
        std::wstring text;
    };
    const std::vector<Expected> expected = {
        {0, L"ThreadCServer start"},
        {1, L"CServerHandler::SendPacket : TimeOut=700"},
        {0, L"CMngrSocket::SendPacket : send=13"},
        {0, L"ThreadCServer 0 recv = 26"},
        {1, L">>>>>>>>>>>>>>>>>>>>>>> ReceivedData=http://127.0.0.1/setup.exe 26"},
        {1, L"CServerHandler::SendPacket : TimeOut=700"},
        {0, L"CMngrSocket::SendPacket : send=13"},
        {0, L"ThreadCServer 0 recv = 9"},
        {1, L">>>>>>>>>>>>>>>>>>>>>>> ReceivedData=no setup\x02 9"},
        {1, L"GetSetupURL SendPacket(3) send data=NVPC\x02"},
        {1, L"GetSetupURL SendPacket(3) receive failed =no setup\x02"},
        {1, L"CServerHandler::SendPacket : TimeOut=700"},
        {0, L"CMngrSocket::SendPacket : send=13"},
        {1, L"GetSetupURL SendPacket failed : send=NVPC\x02"},
        {0, L"ThreadCServer kill thread"},
        {0, L"~CServerHandler"},
    };
    std::vector<LogLine> lines;
    for (auto& line : log.Lines())
        if (line.text.rfind(L"CMngrSocket::Connect", 0) != 0)
            lines.push_back(line);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ(lines[i].text, expected[i].text) << i;
        EXPECT_EQ(lines[i].level, expected[i].level) << i;
    }
}

namespace
{
// Reaches the handler's socket, to fill the way to the peer or break it underneath.
class OpenHandler : public CServerHandler
{
  public:
    using CServerHandler::CServerHandler;
    SOCKET Socket() const { return m_socket.get(); }
};

size_t CountLines(const LogCapture& log, const std::wstring& text)
{
    size_t n = 0;
    for (auto& t : log.Texts())
        n += t == text;
    return n;
}

// Waits (bounded) until the log holds text at least count times.
bool WaitForLines(const LogCapture& log, const std::wstring& text, size_t count, DWORD ms = 5000)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(20))
        if (CountLines(log, text) >= count)
            return true;
    return CountLines(log, text) >= count;
}

const std::string kByCode = Header(0x0081, 1, 5) + "ACME\x02";
} // namespace

// The reply comes while the request is still being sent (the way to the peer is full until
// the peer has answered): the event must already have been reset, or the reply is lost.
// The event that reply leaves set must not answer the next request.
TEST_F(ServerHandlerTest, ReplyArrivingBeforeTheSendHasEndedIsKept)
{
    volatile LONG pushed = 0;
    UniqueHandle filled(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    LoopbackServer peer(
        [&](SOCKET s, LoopbackServer& srv)
        {
            if (WaitForSingleObject(filled.get(), 20000) != WAIT_OBJECT_0)
                return;
            Sleep(600); // the requester is blocked sending by now
            LoopbackServer::SendAll(s, Header(0x0081, 2, 6) + "fresh\x02");
            for (LONG left = pushed; left > 0;)
            {
                std::string chunk;
                LONG n = left < 65536 ? left : 65536;
                if (!LoopbackServer::ReadExact(s, chunk, n))
                    return;
                left -= n;
            }
            for (int i = 0; i < 2; ++i) // both requests; neither gets another answer
            {
                std::string request;
                if (!LoopbackServer::ReadExact(s, request, kByCode.size()))
                    return;
                srv.Record(request);
            }
            while (!srv.stopping())
                Sleep(20);
        });
    Directory(peer.port());
    OpenHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);

    // Fill the way to the peer, which reads nothing yet.
    SOCKET s = handler.Socket();
    u_long on = 1, off = 0;
    ASSERT_EQ(ioctlsocket(s, FIONBIO, &on), 0);
    std::string block(65536, 'f');
    int error = 0;
    for (int i = 0; i < 4096 && error == 0; ++i)
    {
        int n = send(s, block.data(), (int)block.size(), 0);
        if (n > 0)
            pushed += n;
        else
            error = WSAGetLastError();
    }
    ASSERT_EQ(ioctlsocket(s, FIONBIO, &off), 0);
    ASSERT_EQ(error, WSAEWOULDBLOCK);
    SetEvent(filled.get());

    std::unique_ptr<Packet> request(new Packet), reply(new Packet);
    ASSERT_TRUE(BuildQueryByCodeRequest(*request, L"ACME"));
    reply->Clear();
    DWORD start = GetTickCount();
    EXPECT_EQ(handler.SendPacket(request.get(), reply.get(), 1, 5000), 1);
    EXPECT_LT(GetTickCount() - start, 4000u) << "the reply was there before the wait began";
    EXPECT_EQ(reply->BodyText(), "fresh\x02");

    reply->Clear();
    start = GetTickCount();
    EXPECT_EQ(handler.SendPacket(request.get(), reply.get(), 1, 500), 0) << "answered by a stale event";
    EXPECT_GE(GetTickCount() - start, 500u);
    EXPECT_EQ(reply->header.DataLength, 0);
    for (int i = 0; i < 200 && peer.received().size() < 2 * kByCode.size(); ++i)
        Sleep(10);
    handler.Disconnect();
    EXPECT_EQ(peer.received(), kByCode + kByCode);
}

// A connection that ends without a reset, or a socket error that waiting cannot cure,
// ends the receive thread with "SocketError"; a request after that fails at once instead
// of waiting for its whole time-out.
TEST_F(ServerHandlerTest, BrokenConnectionEndsTheThreadAndLaterRequestsFailAtOnce)
{
    enum Break
    {
        PeerCloses,
        SocketGoneUnderneath, // select fails with WSAENOTSOCK, a lasting error
    };
    for (Break how : {PeerCloses, SocketGoneUnderneath})
    {
        UniqueHandle broken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        LoopbackServer peer(
            [&](SOCKET s, LoopbackServer& srv)
            {
                std::string request;
                if (!LoopbackServer::ReadExact(s, request, kByCode.size()))
                    return;
                LoopbackServer::SendAll(s, Header(0x0081, 2, 8) + "4.4.4.4\x02");
                if (how == PeerCloses)
                    return; // an orderly close
                WaitForSingleObject(broken.get(), 10000);
                while (!srv.stopping())
                    Sleep(20);
            });
        Directory(peer.port());
        param.SetQueryType(L"1");
        param.SetTimeOut(L"5000");
        LogCapture log;
        OpenHandler handler(CServerHandler::MODE_DIRECTORY, &param);
        ASSERT_EQ(handler.ConnectServer(), 1);
        ASSERT_EQ(handler.GetCompanyServerInfo(), 1) << how;
        if (how == SocketGoneUnderneath)
            closesocket(handler.Socket());
        EXPECT_TRUE(WaitForLines(log, L"ThreadCServer kill thread", 1)) << how;
        EXPECT_EQ(CountLines(log, L"SocketError"), 1u) << how;

        DWORD start = GetTickCount();
        EXPECT_EQ(handler.GetCompanyServerInfo(), 0) << how;
        EXPECT_LT(GetTickCount() - start, 2000u) << how << ": no reply can come any more";
        SetEvent(broken.get());
        handler.Disconnect();
    }
}

// A receive thread that has ended does not count as running: after a broken connection
// StartThread starts a new one, and connecting again serves requests again.
TEST_F(ServerHandlerTest, ReconnectingAfterABrokenConnectionServesRequestsAgain)
{
    LoopbackServer peer(
        [](SOCKET s, LoopbackServer& srv)
        {
            bool first = srv.accepted() == 1;
            while (!srv.stopping())
            {
                std::string request;
                if (!LoopbackServer::ReadExact(s, request, kByCode.size(), 20000))
                    return;
                std::string body = first ? "5.5.5.5\x02" : "6.6.6.6\x02";
                LoopbackServer::SendAll(s, Header(0x0081, 2, (WORD)body.size()) + body);
                if (first)
                    return; // the connection ends after one answer
            }
        },
        2);
    Directory(peer.port());
    param.SetQueryType(L"1");
    param.SetTimeOut(L"3000");
    LogCapture log;
    CServerHandler handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    ASSERT_EQ(handler.GetCompanyServerInfo(), 1);
    EXPECT_STREQ(param.GetServerIP(), L"5.5.5.5");
    ASSERT_TRUE(WaitForLines(log, L"ThreadCServer kill thread", 1));

    EXPECT_EQ(handler.StartThread(), 1);
    EXPECT_TRUE(WaitForLines(log, L"ThreadCServer start", 2)) << "the ended thread was counted as running";

    ASSERT_EQ(handler.ConnectServer(), 1);
    EXPECT_EQ(handler.GetCompanyServerInfo(), 1);
    EXPECT_STREQ(param.GetServerIP(), L"6.6.6.6");
    handler.Disconnect();
    EXPECT_EQ(peer.accepted(), 2);
}

namespace
{
// The receive thread of the first connection cannot be started.
class FirstStartFails : public CServerHandler
{
  public:
    using CServerHandler::CServerHandler;
    int StartThread() override { return ++starts == 1 ? 0 : CServerHandler::StartThread(); }
    int starts = 0;
};
} // namespace

// A connection whose receive thread cannot start is no connection: nobody would read it.
// It is closed and the next host is tried.
TEST_F(ServerHandlerTest, AConnectionWithoutReceiveThreadIsClosedAndTheNextHostTried)
{
    LoopbackServer server(
        [](SOCKET s, LoopbackServer& srv)
        {
            if (srv.accepted() == 1)
            {
                std::string byte;
                DWORD start = GetTickCount();
                // The handler closes this one at once; it would otherwise stay silent.
                if (!LoopbackServer::ReadExact(s, byte, 1, 5000) && GetTickCount() - start < 4000)
                    srv.Record("first closed;");
                return;
            }
            srv.Record("second;");
            while (!srv.stopping())
                Sleep(10);
        },
        2);
    Directory(server.port(), L"127.0.0.1 127.0.0.1");
    FirstStartFails handler(CServerHandler::MODE_DIRECTORY, &param);
    ASSERT_EQ(handler.ConnectServer(), 1);
    EXPECT_EQ(handler.starts, 2);
    EXPECT_TRUE(handler.IsConnected());
    for (DWORD start = GetTickCount(); server.received().size() < 20 && GetTickCount() - start < 5000;)
        Sleep(10);
    EXPECT_EQ(server.received(), "first closed;second;");
    handler.Disconnect();
}
