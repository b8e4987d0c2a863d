#pragma once
// Helpers shared by the download, unpack and placement tests.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/Log.h"
#include "support/TestSupport.h"

inline bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The texts of the captured lines that begin with prefix, in order. Each of them must
// have been written at level: the level is part of a line's format.
inline std::vector<std::wstring> TextsStarting(const LogCapture& log, const std::wstring& prefix,
                                               int level = LOG_TRACE)
{
    std::vector<std::wstring> out;
    for (const LogLine& line : log.Lines())
        if (line.text.compare(0, prefix.size(), prefix) == 0)
        {
            EXPECT_EQ(line.level, level) << WideToUtf8(line.text);
            out.push_back(line.text);
        }
    return out;
}

// The lines of a text file's content, without their line ends.
inline std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size())
    {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        size_t stop = end > at && text[end - 1] == '\r' ? end - 1 : end;
        out.push_back(text.substr(at, stop - at));
        at = end + 1;
    }
    return out;
}

// A window on the thread that creates it, standing for a dialog whose progress bars the
// workers' callbacks move with SendMessage: such a callback blocks its worker until the
// window's thread takes the message.
class SentMessageTarget
{
  public:
    SentMessageTarget()
        : m_window(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   GetModuleHandleW(nullptr), nullptr)),
          m_sending(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~SentMessageTarget()
    {
        if (m_window)
            DestroyWindow(m_window);
        CloseHandle(m_sending);
    }
    SentMessageTarget(const SentMessageTarget&) = delete;
    SentMessageTarget& operator=(const SentMessageTarget&) = delete;

    bool valid() const { return m_window != nullptr && m_sending != nullptr; }
    // Called on a worker: the first call says so, then sends and waits for an answer.
    void SendOnce()
    {
        if (InterlockedExchange(&m_sent, 1) != 0)
            return;
        SetEvent(m_sending);
        SendMessageW(m_window, WM_NULL, 0, 0);
    }
    // Waits (without taking messages) until a worker is sending.
    bool WaitSending(DWORD ms) { return WaitForSingleObject(m_sending, ms) == WAIT_OBJECT_0; }

  private:
    HWND m_window;
    HANDLE m_sending;
    volatile LONG m_sent = 0;
};

// Runs fn(arg) on a thread of its own and tells whether it returned within ms. A
// deadlocked thread is left behind (the process ends it), so its state must be leaked.
inline bool ReturnsWithin(LPTHREAD_START_ROUTINE fn, void* arg, DWORD ms)
{
    HANDLE thread = CreateThread(nullptr, 0, fn, arg, 0, nullptr);
    if (!thread)
        return false;
    bool ended = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}
