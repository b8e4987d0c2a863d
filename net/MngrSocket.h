#pragma once
// CMngrSocket: the TCP client under every server request. Connects straight to the
// server, or through an HTTP proxy (CONNECT tunnel, type 1) or a SOCKS-style proxy
// (types 4 and 5), whose handshake runs on a short-lived thread.
#include <winsock2.h>
#include <windows.h>

#include "common/Handles.h"

class CMngrSocket
{
  public:
    enum
    {
        kHostChars = 100,  // target host: at most 99 characters
        kProxyChars = 257, // proxy host, user, password: at most 256 characters
        kConnectTimeoutMs = 10000,
        kHandshakeTimeoutMs = 10000,
        kHandshakeEndMs = 5000, // for the handshake thread to end once told to
        kSendTimeoutMs = 30000,
        kReplyCapacity = 4096, // proxy reply accumulator
        kReplyChunk = 256,
    };

    CMngrSocket();
    virtual ~CMngrSocket();
    CMngrSocket(const CMngrSocket&) = delete;
    CMngrSocket& operator=(const CMngrSocket&) = delete;

    // Process-wide Winsock start (version 2.2) and end.
    static bool InitNetwork();
    static void ReleaseNetwork();

    // The server to reach. A host longer than its field is refused (false) and clears it.
    bool SetTarget(const char* host, WORD port);
    // The proxy: 1 HTTP CONNECT, 4 or 5 SOCKS-style, any other type a direct connection;
    // an empty user means no authentication. A value longer than its field is refused
    // (false), and Connect then fails until valid settings are given.
    bool SetProxy(WORD type, const char* host, WORD port, const char* user, const char* password);

    // 1 when connected (and, with a proxy, the tunnel is open), else 0.
    int Connect();
    // Sends one buffer in one call: 1 sent (or not writable within 30 s), 0 failed.
    int SendPacket(const char* data, int length);
    bool IsConnected() const { return m_socket.valid(); }
    void CloseSocket();

    WORD GetProxyType() const { return m_proxyType; }
    // Whether the proxy type is one the transport speaks (1, 4 or 5).
    static bool IsProxyType(WORD type) { return type == 1 || type == 4 || type == 5; }
    const char* GetTargetHost() const { return m_targetHost; }
    WORD GetTargetPort() const { return m_targetPort; }

    // 1: more bytes needed, 0: this step succeeded, -1: the handshake failed.
    int CheckProxyReply(int step, const char* buffer, int length) const;
    // The bytes of one handshake step; false when the step cannot be sent.
    bool BuildProxyStep(int step, char* out, int capacity, int* length) const;

  protected:
    // One look at the socket for incoming bytes, shared by the handshake and the receive
    // thread: > 0 bytes read into out; 0 nothing to read yet, after a pause of idleMs;
    // -1 the connection is closed or broken (any error that waiting cannot cure).
    // lastRecv, when given, receives the result of the recv call, if one was made.
    int ReceiveSome(char* out, int capacity, DWORD idleMs, int* lastRecv = nullptr);

    UniqueSocket m_socket; // none when not connected

  private:
    static DWORD WINAPI ThreadProxyConnection(LPVOID self);
    DWORD RunProxyHandshake();
    bool SendProxyStep(int step);

    char m_targetHost[kHostChars];
    WORD m_targetPort;
    WORD m_proxyType;
    char m_proxyHost[kProxyChars];
    WORD m_proxyPort;
    char m_proxyUser[kProxyChars];
    char m_proxyPassword[kProxyChars];
    bool m_proxyRefused;
    // The target's address for the SOCKS-style connect step, looked up by Connect.
    in_addr m_targetAddress;
    bool m_targetLookedUp;
    bool m_targetResolved;
    // Set by Connect when it stops waiting, so that the handshake thread ends.
    volatile LONG m_abandonHandshake;
};

// The IPv4 address of a dotted address or a host name (first address), in network order;
// false when it cannot be resolved. A dotted address is never looked up by name.
bool ResolveIPv4(const char* host, in_addr* address);

// The name service behind ResolveIPv4 (gethostbyname unless replaced); tests put a
// scripted one in its place. Returns the one it replaces; null restores the default.
typedef bool (*NameLookupFn)(const char* host, in_addr* address);
NameLookupFn SetNameLookup(NameLookupFn lookup);

// Whether a socket error may go away by waiting (would block, interrupted, in progress);
// every other error means the connection cannot be used any more.
bool IsTransientSocketError(int error);
