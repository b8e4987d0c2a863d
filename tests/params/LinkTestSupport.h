#pragma once
// Building launch links in tests, independently of the codec under test.
#include <string>

#include "support/TestSupport.h"

// Standard Base64 with padding.
inline std::string RefBase64(const std::string& bytes)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3)
    {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

// "norvane:?" and the Base64 text of the UTF-8 query.
inline std::wstring MakeLink(const std::wstring& query)
{
    return L"norvane:?" + Utf8ToWideString(RefBase64(WideToUtf8(query)));
}
