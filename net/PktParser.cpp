#include "net/PktParser.h"

#include "net/Packet.h"

CPktParserA::CPktParserA() : m_first(FIELD_SEP), m_second(LIST_END) {}

CPktParserA::~CPktParserA() = default;

size_t CPktParserA::Parse(const char* data, size_t count)
{
    SplitFields<char>(data, count, m_first, m_second, kMaxFieldUnits, m_fields);
    return m_fields.size();
}

const char* CPktParserA::GetField(size_t index) const
{
    return index < m_fields.size() ? m_fields[index].c_str() : nullptr;
}
