#include "common/Base64Coder.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace
{
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kPad = '=';

struct DecodeTableData
{
    signed char value[256];
    DecodeTableData()
    {
        memset(value, -2, sizeof value);
        for (int i = 0; i < 64; ++i)
        {
            unsigned char ch = static_cast<unsigned char>(kAlphabet[i]);
            value[ch] = static_cast<signed char>(i);
            value[ch | 0x80] = static_cast<signed char>(i);
        }
        value[0x3D] = -1;
        value[0xBD] = -1;
    }
};

unsigned char Lookup(char ch)
{
    return static_cast<unsigned char>(Base64Coder::DecodeTable()[static_cast<unsigned char>(ch)]);
}

const unsigned char kPadValue = 0xFF; // the table's -1 seen as a byte
} // namespace

Base64Coder::~Base64Coder() = default;

const signed char* Base64Coder::DecodeTable()
{
    // Built once, on the first decode; the initialisation of a local static is thread-safe.
    static const DecodeTableData table;
    return table.value;
}

size_t Base64Coder::GrowSize(size_t n)
{
    size_t blocks = n / kGrowthStep + 1;
    if (blocks > static_cast<size_t>(-1) / kGrowthStep)
        return 0;
    return blocks * kGrowthStep;
}

bool Base64Coder::Reserve(std::vector<char>& buffer, size_t n)
{
    // One byte more than asked stays free, so a buffer filled with n bytes is still
    // zero-terminated.
    if (buffer.size() <= n)
    {
        size_t size = GrowSize(n);
        try
        {
            if (size == 0)
                throw std::bad_alloc();
            std::vector<char> fresh(size, '\0');
            buffer.swap(fresh);
        }
        catch (const std::exception&) // bad_alloc, or length_error beyond max_size
        {
            std::vector<char>().swap(buffer);
            return false;
        }
        return true;
    }
    memset(buffer.data(), 0, buffer.size());
    return true;
}

void Base64Coder::Encode(const char* text)
{
    if (text)
        Encode(text, strlen(text));
}

void Base64Coder::Encode(const void* data, size_t length)
{
    SetData(data, length);
    if (length > static_cast<size_t>(-1) / 2 || !ReserveText(2 * length))
    {
        ReserveText(0);
        return;
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(m_data.data());
    for (size_t i = 0; i < m_dataLength; i += 3)
    {
        size_t count = m_dataLength - i < 3 ? m_dataLength - i : 3;
        if (m_textLength + 4 >= m_text.size())
            break;
        EncodeGroup(bytes + i, count, &m_text[m_textLength]);
        m_textLength += 4;
    }
}

void Base64Coder::Decode(const char* text)
{
    if (text)
        Decode(text, strlen(text));
}

void Base64Coder::Decode(const char* text, size_t length)
{
    DecodeTable();
    SetText(text, length);
    if (!ReserveData(length))
        return;
    size_t i = 0;
    for (; i + 4 <= m_textLength; i += 4)
    {
        if (m_dataLength + 3 >= m_data.size())
            return;
        DecodeGroup(&m_text[i], reinterpret_cast<unsigned char*>(&m_data[m_dataLength]));
        m_dataLength += 3;
    }
    size_t rest = m_textLength - i;
    if (rest > 0 && m_dataLength + 3 < m_data.size())
    {
        // A last group without padding is decoded as if it were padded.
        unsigned char sextets[4] = {0, 0, 0, 0};
        for (size_t k = 0; k < rest; ++k)
        {
            unsigned char v = Lookup(m_text[i + k]);
            sextets[k] = v == kPadValue ? 0 : v;
        }
        JoinGroup(sextets, reinterpret_cast<unsigned char*>(&m_data[m_dataLength]));
        m_dataLength += rest;
    }
}

const char* Base64Coder::DecodedData()
{
    return m_data.empty() ? "" : m_data.data();
}

const char* Base64Coder::EncodedText()
{
    return m_text.empty() ? "" : m_text.data();
}

bool Base64Coder::ReserveText(size_t n)
{
    m_textLength = 0;
    return Reserve(m_text, n);
}

bool Base64Coder::ReserveData(size_t n)
{
    m_dataLength = 0;
    return Reserve(m_data, n);
}

void Base64Coder::SetText(const char* text, size_t length)
{
    if (!ReserveText(length) || !text)
        return;
    for (size_t i = 0; i < length; ++i)
    {
        if (!IsSkipped(text[i]))
            m_text[m_textLength++] = text[i];
    }
}

void Base64Coder::SetData(const void* data, size_t length)
{
    if (!ReserveData(length) || !data || length == 0)
        return;
    memcpy(m_data.data(), data, length);
    m_dataLength = length;
}

void Base64Coder::EncodeGroup(const unsigned char* group, size_t count, char* out)
{
    unsigned char bytes[3] = {0, 0, 0};
    for (size_t i = 0; i < count && i < 3; ++i)
        bytes[i] = group[i];
    unsigned char sextets[4];
    SplitGroup(bytes, sextets);
    out[0] = kAlphabet[sextets[0]];
    out[1] = kAlphabet[sextets[1]];
    out[2] = count > 1 ? kAlphabet[sextets[2]] : kPad;
    out[3] = count > 2 ? kAlphabet[sextets[3]] : kPad;
}

void Base64Coder::DecodeGroup(const char* group, unsigned char* out)
{
    unsigned char sextets[4];
    for (int i = 0; i < 4; ++i)
        sextets[i] = Lookup(group[i]);
    // Padding in the last two places stands for zero bits.
    if (sextets[2] == kPadValue)
        sextets[2] = 0;
    if (sextets[3] == kPadValue)
        sextets[3] = 0;
    JoinGroup(sextets, out);
}

void Base64Coder::SplitGroup(const unsigned char* bytes, unsigned char* sextets)
{
    sextets[0] = static_cast<unsigned char>(bytes[0] >> 2);
    sextets[1] = static_cast<unsigned char>(((bytes[0] & 0x03) << 4) | (bytes[1] >> 4));
    sextets[2] = static_cast<unsigned char>(((bytes[1] & 0x0F) << 2) | (bytes[2] >> 6));
    sextets[3] = static_cast<unsigned char>(bytes[2] & 0x3F);
}

void Base64Coder::JoinGroup(const unsigned char* sextets, unsigned char* bytes)
{
    // Only the low six bits of each value count, also for characters outside the alphabet.
    bytes[0] = static_cast<unsigned char>((sextets[0] << 2) | ((sextets[1] >> 4) & 0x03));
    bytes[1] = static_cast<unsigned char>((sextets[1] << 4) | ((sextets[2] >> 2) & 0x0F));
    bytes[2] = static_cast<unsigned char>((sextets[2] << 6) | (sextets[3] & 0x3F));
}

bool Base64Coder::IsSkipped(char ch)
{
    return (ch >= 7 && ch <= 13) || ch == ' ';
}
