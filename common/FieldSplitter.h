#pragma once
// Splitting text into fields on two separator units. Shared by the packet bodies of the
// server protocol and the launch-link decoder.
//
// A field is the text between the previous separator (or the start) and the next one;
// units after the last separator are not a field. A zero unit inside a field ends that
// field's text, and a field is cut to maxUnits units. Fields are copied into the caller's
// storage, so splitters on different threads never share anything.
#include <cstddef>
#include <string>
#include <vector>

template <typename Char>
void SplitFields(const Char* data, size_t count, Char first, Char second, size_t maxUnits,
                 std::vector<std::basic_string<Char>>& fields)
{
    fields.clear();
    if (!data)
        return;
    size_t start = 0;
    for (size_t i = 0; i < count; ++i)
    {
        if (data[i] != first && data[i] != second)
            continue;
        size_t length = 0;
        while (start + length < i && data[start + length] != 0 && length < maxUnits)
            ++length;
        fields.emplace_back(data + start, length);
        start = i + 1;
    }
}

// Splits wide text on two separators its creator chooses (the link decoder uses "&" or
// "=" together with the terminating zero).
class CPktParserW
{
  public:
    enum
    {
        kMaxFieldUnits = 38399 // a longer field is cut to this many units
    };

    CPktParserW(wchar_t first, wchar_t second) : m_first(first), m_second(second) {}
    virtual ~CPktParserW() = default;

    // Forgets the previous fields and splits the first count units of data (no terminator
    // needed). Returns the number of fields.
    size_t Parse(const wchar_t* data, size_t count)
    {
        SplitFields<wchar_t>(data, count, m_first, m_second, kMaxFieldUnits, m_fields);
        return m_fields.size();
    }
    // The field at index, or null when index is not below GetCount(). Valid until the
    // next Parse or the parser's end.
    const wchar_t* GetField(size_t index) const
    {
        return index < m_fields.size() ? m_fields[index].c_str() : nullptr;
    }
    size_t GetCount() const { return m_fields.size(); }

  private:
    wchar_t m_first;
    wchar_t m_second;
    std::vector<std::wstring> m_fields;
};
