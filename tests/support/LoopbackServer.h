#pragma once
// A scripted TCP peer on 127.0.0.1 for transport tests: it accepts connections on its
// own thread and hands each one to the test's handler, which reads and writes raw bytes.
#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

class LoopbackServer
{
  public:
    typedef std::function<void(SOCKET client, LoopbackServer& server)> Handler;

    // Listens on a free port; serves up to maxConnections connections, one after another.
    explicit LoopbackServer(Handler handler, int maxConnections = 1);
    ~LoopbackServer(); // closes the listener and joins the thread
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    WORD port() const { return m_port; }
    int accepted() const { return m_accepted; }
    // Everything the handlers recorded with Record, in order (thread-safe).
    std::string received();
    void Record(const std::string& bytes);
    // Set when the server is being destroyed: handlers that wait should return.
    bool stopping() const { return m_stopping != 0; }

    // Reads exactly n bytes (false on close, error or after timeoutMs).
    static bool ReadExact(SOCKET s, std::string& out, size_t n, DWORD timeoutMs = 15000);
    // Reads until the text ends with terminator (false on close, error or timeout).
    static bool ReadUntil(SOCKET s, std::string& out, const std::string& terminator, DWORD timeoutMs = 15000);
    static bool SendAll(SOCKET s, const std::string& bytes);
    // Closes with a reset instead of an orderly shutdown.
    static void Reset(SOCKET s);

  private:
    void Run();

    Handler m_handler;
    int m_maxConnections;
    SOCKET m_listener = INVALID_SOCKET;
    WORD m_port = 0;
    volatile LONG m_accepted = 0;
    volatile LONG m_stopping = 0;
    CRITICAL_SECTION m_lock;
    std::string m_received;
    std::thread m_thread;
};

// A port on 127.0.0.1 that refuses connections (bound, then closed).
WORD UnusedLoopbackPort();
