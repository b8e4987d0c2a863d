#include "net/PktParser.h"

#include "net/Packet.h"

namespace
{
template <typename Char>
void Split(const Char* data, size_t count, Char first, Char second, size_t maxUnits,
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
        // The field is kept as text: it ends at a zero unit inside it.
        size_t length = 0;
        while (start + length < i && data[start + length] != 0 && length < maxUnits)
            ++length;
        fields.emplace_back(data + start, length);
        start = i + 1;
    }
}
} // namespace

CPktParserA::CPktParserA() : m_first(FIELD_SEP), m_second(LIST_END) {}

CPktParserA::~CPktParserA() = default;

size_t CPktParserA::Parse(const char* data, size_t count)
{
    Split<char>(data, count, m_first, m_second, kMaxFieldUnits, m_fields);
    return m_fields.size();
}

const char* CPktParserA::GetField(size_t index) const
{
    return index < m_fields.size() ? m_fields[index].c_str() : nullptr;
}

CPktParserW::CPktParserW(wchar_t first, wchar_t second) : m_first(first), m_second(second) {}

CPktParserW::~CPktParserW() = default;

size_t CPktParserW::Parse(const wchar_t* data, size_t count)
{
    Split<wchar_t>(data, count, m_first, m_second, kMaxFieldUnits, m_fields);
    return m_fields.size();
}

const wchar_t* CPktParserW::GetField(size_t index) const
{
    return index < m_fields.size() ? m_fields[index].c_str() : nullptr;
}
