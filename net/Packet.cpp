#include "net/Packet.h"

#include <cstring>

#include "common/TextConv.h"

namespace
{
bool HoldsTerminator(const std::string& field)
{
    return field.find(FIELD_SEP) != std::string::npos || field.find(LIST_END) != std::string::npos;
}

// Joins the fields with FIELD_SEP and ends the list with LIST_END.
bool BuildFields(Packet& packet, WORD command, const std::string* fields, size_t count)
{
    std::string body;
    for (size_t i = 0; i < count; ++i)
    {
        if (HoldsTerminator(fields[i]))
        {
            packet.Clear();
            return false;
        }
        body += fields[i];
        body.push_back(i + 1 < count ? FIELD_SEP : LIST_END);
    }
    return BuildRequest(packet, command, body.data(), body.size());
}

// A body of one narrowed value and LIST_END.
bool BuildOneField(Packet& packet, WORD command, const wchar_t* value)
{
    std::string field = NarrowText(value);
    return BuildFields(packet, command, &field, 1);
}
} // namespace

void Packet::Clear()
{
    memset(this, 0, sizeof(*this));
}

size_t Packet::WireSize() const
{
    size_t length = header.DataLength <= PACKET_BODY_CAPACITY ? header.DataLength : PACKET_BODY_CAPACITY;
    return PACKET_HEADER_SIZE + length;
}

std::string Packet::BodyText() const
{
    size_t limit = header.DataLength <= PACKET_BODY_CAPACITY ? header.DataLength : PACKET_BODY_CAPACITY;
    const void* zero = memchr(body, 0, limit);
    size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - body) : limit;
    return std::string(body, length);
}

bool BuildRequest(Packet& packet, WORD command, const char* body, size_t length)
{
    packet.Clear();
    if (length > PACKET_BODY_CAPACITY || (length > 0 && !body))
        return false;
    packet.header.Command = command;
    packet.header.ucCmdSub = SUB_REQUEST;
    packet.header.Reserved = 0;
    if (length > 0)
        memcpy(packet.body, body, length);
    packet.header.DataLength = static_cast<WORD>(length);
    return true;
}

bool BuildQueryByCodeRequest(Packet& packet, const wchar_t* dnsCode)
{
    return BuildOneField(packet, CMD_QUERY_BY_CODE, dnsCode);
}

bool BuildQuerySqlRequest(Packet& packet, const wchar_t* dnsCode)
{
    std::string code = NarrowText(dnsCode);
    std::string quoted;
    for (char ch : code)
    {
        quoted.push_back(ch);
        if (ch == '\'')
            quoted.push_back('\'');
    }
    std::string sql = NVPC_COMPANY_SERVER_SQL;
    size_t at = sql.find("%s");
    sql.replace(at, 2, quoted);
    std::string fields[2] = {sql, "2"};
    return BuildFields(packet, CMD_QUERY_SQL, fields, 2);
}

bool BuildManifestRequest(Packet& packet, WORD command, const wchar_t* fileName, const std::string& content)
{
    if (command != CMD_MASTER_XML && command != CMD_PRODUCT_XML)
    {
        packet.Clear();
        return false;
    }
    std::string fields[2] = {NarrowText(fileName), std::string(content.c_str())};
    return BuildFields(packet, command, fields, 2);
}

bool BuildUpdateUrlRequest(Packet& packet)
{
    return BuildRequest(packet, CMD_UPDATE_URL, nullptr, 0);
}

bool BuildSetupUrlRequest(Packet& packet, const wchar_t* productId)
{
    return BuildOneField(packet, CMD_SETUP_URL, productId);
}

bool BuildSetupExUrlRequest(Packet& packet, const wchar_t* productId)
{
    return BuildOneField(packet, CMD_SETUP_EX_URL, productId);
}
