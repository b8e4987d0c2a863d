#pragma once
// CServerHandler: the client of the directory servers (mode 1) and of the upgrade servers
// (mode 0). Connects to the first server of its list that answers, then runs synchronous
// requests: each sends one packet and blocks until the receive thread has handed over the
// reply or the record's TimeOut has passed. Results go back into the parameter record.
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "common/Handles.h"
#include "net/MngrSocket.h"
#include "net/Packet.h"

class CParam;

class CServerHandler : public CMngrSocket
{
  public:
    enum
    {
        MODE_UPGRADE = 0,
        MODE_DIRECTORY = 1,
        kMaxUrlBytes = 999,        // a URL reply of 1000 bytes or more is refused
        kMaxManifestBytes = 38399, // read from a manifest file at most
    };

    CServerHandler(int mode, CParam* param);
    virtual ~CServerHandler();

    // 1 when a server of the mode's list accepted the connection and the receive thread
    // runs, else 0. A host whose receive thread cannot be started is closed and the next
    // one tried.
    virtual int ConnectServer();
    // Stops the receive thread and closes the socket.
    virtual void Disconnect();

    // Sends packet and, when wait is set, waits at most timeout ms for the reply, which is
    // copied into reply. 1 when sent (and the reply came in time), else 0. The wait ends
    // at once when the receive thread has ended: no reply can come any more.
    int SendPacket(Packet* packet, Packet* reply, int wait, DWORD timeout);

    int GetCompanyServerInfo();
    // The reply body (and its length) of the company-server queries; buffer holds at least
    // capacity bytes and gets a terminating zero.
    int GetQueryResult(char* buffer, size_t capacity, int* length);
    int GetQueryResultEx(char* buffer, size_t capacity, int* length);
    int GetSetupURL();
    int GetSetupExURL();
    int GetUpdateURL();
    int SendMasterXML();
    int SendProductXML();
    // The text of a manifest in the configuration folder; "" when it cannot be read.
    std::string SetXMLData(const wchar_t* name);

    // 1 when the receive thread runs (started now, or still running), 0 without a socket
    // or when it cannot be started. A thread that has ended does not count. Virtual so
    // that a test can make the start fail.
    virtual int StartThread();
    void StopThread();
    int GetMode() const { return m_mode; }

  private:
    static DWORD WINAPI ThreadCServer(LPVOID self);
    DWORD ReceiveLoop();
    // 1 all n bytes read, 0 the stop event ended the read, -1 the connection broke.
    int ReadBytes(char* out, int n, bool body, int* lastRecv);
    void Deliver(const Packet& packet);
    // Sends a request with wait 1 and the record's TimeOut. The reply is zeroed first.
    int Request(Packet& request, Packet& reply, DWORD* elapsedMs = nullptr);
    int QueryResult(bool byCode, char* buffer, size_t capacity, int* length);
    int SendManifest(WORD command, const wchar_t* fileName, const wchar_t* logName);
    bool TakeUrl(const Packet& reply, std::wstring& url) const;

    bool ThreadRunning() const;

    UniqueHandle m_thread;
    UniqueHandle m_stopEvent;
    Packet* m_replyDestination; // guarded by m_replyLock
    UniqueHandle m_replyEvent;
    int m_mode;
    CParam* m_param;
    // Hands a reply over without losing a fast one or writing a late one into a buffer
    // that is no longer the request's.
    CriticalSection m_replyLock;
};
