#pragma once
// Field splitters. CPktParserA splits a packet body on FIELD_SEP (0x01) and LIST_END
// (0x02); CPktParserW splits wide text on two separators its creator chooses (the link
// decoder uses "&" or "=" together with the terminating zero).
//
// A field is the text between the previous separator (or the start) and the next one;
// units after the last separator are not a field. A zero unit inside a field ends that
// field's text. Fields are copied into the parser's own storage at every Parse, so
// parsers on different threads never share anything.
#include <cstddef>
#include <string>
#include <vector>

class CPktParserA
{
  public:
    enum
    {
        kMaxFieldUnits = 38399 // a longer field is cut to this many units
    };

    CPktParserA();
    virtual ~CPktParserA();

    // Forgets the previous fields and splits the first count bytes of data (no terminator
    // needed). Returns the number of fields.
    size_t Parse(const char* data, size_t count);
    // The field at index, or null when index is not below GetCount(). Valid until the
    // next Parse or the parser's end.
    const char* GetField(size_t index) const;
    size_t GetCount() const { return m_fields.size(); }

  private:
    char m_first;
    char m_second;
    std::vector<std::string> m_fields;
};

class CPktParserW
{
  public:
    enum
    {
        kMaxFieldUnits = 38399
    };

    CPktParserW(wchar_t first, wchar_t second);
    virtual ~CPktParserW();

    size_t Parse(const wchar_t* data, size_t count);
    const wchar_t* GetField(size_t index) const;
    size_t GetCount() const { return m_fields.size(); }

  private:
    wchar_t m_first;
    wchar_t m_second;
    std::vector<std::wstring> m_fields;
};
