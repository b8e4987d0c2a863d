#pragma once
// CPktParserA splits a packet body on FIELD_SEP (0x01) and LIST_END (0x02), by the rules
// of SplitFields; CPktParserW, its wide counterpart, lives with the splitter in common/.
#include <cstddef>
#include <string>
#include <vector>

#include "common/FieldSplitter.h"

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
