#pragma once
// Base64Coder: the standard-alphabet Base64 codec of the launch links and of the proxy
// authentication. One object is used by one thread; it owns a plain-data buffer and a
// text buffer, both zero-filled whenever they are reserved, so results are always
// zero-terminated.
//
// The virtual operations keep this order (the destructor first): subclasses adjust single
// steps, for example which characters SetText skips.
#include <cstddef>
#include <vector>

class Base64Coder
{
  public:
    enum
    {
        kGrowthStep = 4096 // buffers grow to ((n / 4096) + 1) * 4096 bytes
    };

    Base64Coder() = default;
    virtual ~Base64Coder();
    Base64Coder(const Base64Coder&) = delete;
    Base64Coder& operator=(const Base64Coder&) = delete;

    // Encodes the bytes of a zero-terminated text; null does nothing.
    virtual void Encode(const char* text);
    virtual void Encode(const void* data, size_t length);
    // Decodes a zero-terminated text; null does nothing. Skipped characters (IsSkipped)
    // are removed first; characters outside the alphabet are not rejected.
    virtual void Decode(const char* text);
    virtual void Decode(const char* text, size_t length);
    // The plain data after a decode (zero-terminated); "" before any.
    virtual const char* DecodedData();
    // The Base64 text after an encode (zero-terminated); "" before any.
    virtual const char* EncodedText();
    // Make the buffer at least n bytes large, zero-fill it and set its length to 0. False
    // (and an empty buffer) when the memory cannot be had.
    virtual bool ReserveText(size_t n);
    virtual bool ReserveData(size_t n);
    // Reserve and copy; SetText leaves out every character for which IsSkipped holds.
    virtual void SetText(const char* text, size_t length);
    virtual void SetData(const void* data, size_t length);
    // Four Base64 characters for one group of count (1 to 3) bytes, padded with "=".
    virtual void EncodeGroup(const unsigned char* group, size_t count, char* out);
    // Three bytes for one group of four characters; "=" counts as 0.
    virtual void DecodeGroup(const char* group, unsigned char* out);
    // Three bytes into four 6-bit values and back.
    virtual void SplitGroup(const unsigned char* bytes, unsigned char* sextets);
    virtual void JoinGroup(const unsigned char* sextets, unsigned char* bytes);
    // Bytes 7 to 13 (BEL to CR) and the blank.
    virtual bool IsSkipped(char ch);

    size_t DecodedLength() const { return m_dataLength; }
    size_t EncodedLength() const { return m_textLength; }
    size_t DataCapacity() const { return m_data.size(); }
    size_t TextCapacity() const { return m_text.size(); }

    // The process-wide decoding table (built on first use): alphabet index for each byte
    // and for the byte with its top bit set, -1 for "=", -2 for everything else.
    static const signed char* DecodeTable();
    // The size a buffer grows to for a request of n bytes (0 when that would overflow).
    static size_t GrowSize(size_t n);

  private:
    static bool Reserve(std::vector<char>& buffer, size_t n);
    void AppendData(const unsigned char* bytes, size_t count);

    std::vector<char> m_data;
    size_t m_dataLength = 0;
    std::vector<char> m_text;
    size_t m_textLength = 0;
};
