#pragma once
// Reads the start records that tools/teststubs (InstallerStub, ClientStub) append:
// blocks of "key=value" lines ended by "end", values percent-escaped for %, CR and LF.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "support/TestSupport.h"

struct StubStart
{
    std::map<std::string, std::wstring> values; // start, cmdline, args, cwd
    std::wstring operator[](const char* key) const
    {
        auto it = values.find(key);
        return it == values.end() ? std::wstring() : it->second;
    }
};

inline std::string DecodeStubValue(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '%' && i + 2 < text.size())
        {
            std::string hex = text.substr(i + 1, 2);
            if (hex == "25" || hex == "0D" || hex == "0A")
            {
                out += static_cast<char>(strtol(hex.c_str(), nullptr, 16));
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// Complete blocks only: a block still being written is not returned.
inline std::vector<StubStart> ReadStubStarts(const std::wstring& file)
{
    std::vector<StubStart> starts;
    std::string all = ReadBytes(file);
    StubStart current;
    size_t pos = 0;
    while (pos < all.size())
    {
        size_t end = all.find("\r\n", pos);
        if (end == std::string::npos)
            break;
        std::string line = all.substr(pos, end - pos);
        pos = end + 2;
        if (line == "end")
        {
            starts.push_back(current);
            current = StubStart();
            continue;
        }
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            current.values[line.substr(0, eq)] = Utf8ToWideString(DecodeStubValue(line.substr(eq + 1)));
    }
    return starts;
}

// Waits (bounded) until the file holds at least count complete blocks.
inline std::vector<StubStart> WaitForStubStarts(const std::wstring& file, size_t count,
                                                DWORD timeoutMs = 10000)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        std::vector<StubStart> starts = ReadStubStarts(file);
        if (starts.size() >= count || GetTickCount() - start > timeoutMs)
            return starts;
        Sleep(20);
    }
}
