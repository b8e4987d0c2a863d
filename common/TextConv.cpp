#include "common/TextConv.h"

#include <windows.h>

namespace
{
// Per-thread result storage: a conversion on a worker thread never overwrites the text a
// caller on another thread still reads.
thread_local std::string t_narrow;
thread_local std::wstring t_wide;

int HexValue(unsigned char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

bool IsContinuation(unsigned char ch)
{
    return (ch & 0xC0) == 0x80;
}

// Decodes one character at p. Returns the number of bytes consumed (at least 1) and the
// code point, U+FFFD for a maximal invalid subpart.
size_t DecodeUtf8(const unsigned char* p, unsigned long& cp)
{
    const unsigned long kReplacement = 0xFFFD;
    unsigned char b0 = p[0];
    if (b0 < 0x80)
    {
        cp = b0;
        return 1;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF)
    {
        need = 1;
        cp = b0 & 0x1F;
    }
    else if (b0 >= 0xE0 && b0 <= 0xEF)
    {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0; // overlong
        else if (b0 == 0xED)
            hi = 0x9F; // surrogates
    }
    else if (b0 >= 0xF0 && b0 <= 0xF4)
    {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90; // overlong
        else if (b0 == 0xF4)
            hi = 0x8F; // above U+10FFFF
    }
    else
    {
        cp = kReplacement;
        return 1;
    }
    for (size_t i = 1; i <= need; ++i)
    {
        unsigned char b = p[i]; // a zero terminator fails the test below, so p[i] exists
        bool ok = (i == 1) ? (b >= lo && b <= hi) : IsContinuation(b);
        if (!ok)
        {
            cp = kReplacement;
            return i;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    return need + 1;
}
} // namespace

namespace
{
std::string Narrow(UINT codePage, const wchar_t* text)
{
    std::string out;
    if (!text || !*text)
        return out;
    int n = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return out;
    out.assign(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(codePage, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

std::wstring Widen(UINT codePage, const char* text)
{
    std::wstring out;
    if (!text || !*text)
        return out;
    int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (n <= 1)
        return out;
    out.assign(static_cast<size_t>(n), L'\0');
    n = MultiByteToWideChar(codePage, 0, text, -1, &out[0], n);
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

// The code page the *A file functions read paths in: ANSI, or OEM after SetFileApisToOEM.
// It never follows SetThreadLocale, unlike CP_THREAD_ACP.
UINT FileApiCodePage()
{
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}
} // namespace

const char* ToNarrow(const wchar_t* text)
{
    t_narrow = Narrow(CP_THREAD_ACP, text);
    return t_narrow.c_str();
}

const wchar_t* ToWide(const char* text)
{
    t_wide = Widen(CP_THREAD_ACP, text);
    return t_wide.c_str();
}

std::string NarrowText(const wchar_t* text)
{
    return Narrow(CP_THREAD_ACP, text);
}

std::wstring WideText(const char* text)
{
    return Widen(CP_THREAD_ACP, text);
}

std::string PathToFileApi(const wchar_t* path)
{
    return Narrow(FileApiCodePage(), path);
}

std::wstring FileApiToWide(const char* text)
{
    return Widen(FileApiCodePage(), text);
}

std::string WideToUtf8(const wchar_t* text)
{
    return Narrow(CP_UTF8, text);
}

bool Utf8ToWide(const char* utf8, wchar_t* buffer, size_t bufferChars, size_t* written)
{
    size_t out = 0;
    if (written)
        *written = 0;
    if (!buffer || bufferChars == 0)
        return !utf8 || !*utf8;
    buffer[0] = 0;
    if (!utf8)
        return true;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8);
    bool complete = true;
    while (*p)
    {
        unsigned long cp;
        size_t used = DecodeUtf8(p, cp);
        size_t units = cp >= 0x10000 ? 2 : 1;
        if (out + units > bufferChars - 1)
        {
            complete = false;
            break;
        }
        if (units == 2)
        {
            cp -= 0x10000;
            buffer[out++] = static_cast<wchar_t>(0xD800 + (cp >> 10));
            buffer[out++] = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        }
        else
        {
            buffer[out++] = static_cast<wchar_t>(cp);
        }
        p += used;
    }
    buffer[out] = 0;
    if (written)
        *written = out;
    return complete;
}

std::string PercentDecode(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
    {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (ch == '%' && i + 2 < text.size())
        {
            int hi = HexValue(static_cast<unsigned char>(text[i + 1]));
            int lo = HexValue(static_cast<unsigned char>(text[i + 2]));
            if (hi >= 0 && lo >= 0)
            {
                out.push_back(static_cast<char>((hi << 4) | lo));
                i += 2;
                continue;
            }
        }
        out.push_back(static_cast<char>(ch));
    }
    return out;
}

std::string PercentEncode(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char ch : text)
    {
        bool plain = ch == '/' || ch == '_' || (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') ||
                     (ch >= 'a' && ch <= 'z');
        if (plain)
        {
            out.push_back(static_cast<char>(ch));
        }
        else
        {
            out.push_back('%');
            out.push_back(kHex[ch >> 4]);
            out.push_back(kHex[ch & 0x0F]);
        }
    }
    return out;
}
