#pragma once
// The request/reply packet of the directory and upgrade servers: an 8-byte little-endian
// header and a body of 8-bit text fields, each followed by FIELD_SEP (another field
// follows) or LIST_END (the last one).
#include <windows.h>
#include <cstddef>
#include <string>

enum PacketCommand : WORD
{
    CMD_QUERY_BY_CODE = 0x0081,
    CMD_QUERY_SQL = 0x026C,
    CMD_MASTER_XML = 0x07D1,
    CMD_PRODUCT_XML = 0x07D2,
    CMD_UPDATE_URL = 0x07D3,
    CMD_SETUP_URL = 0x07D4,
    CMD_SETUP_EX_URL = 0x07D6,
};

enum PacketSubCode : WORD
{
    SUB_REQUEST = 1,
    SUB_OK = 2,
    SUB_NO_CHANGE = 4,
    SUB_USE_SETUP = 5,
};

const char FIELD_SEP = 0x01;
const char LIST_END = 0x02;

constexpr size_t PACKET_HEADER_SIZE = 8;
constexpr size_t PACKET_BODY_CAPACITY = 38400;
constexpr size_t PACKET_BUFFER_SIZE = PACKET_HEADER_SIZE + PACKET_BODY_CAPACITY;

// The SQL text of the company-server query; %s is the directory code.
#define NVPC_COMPANY_SERVER_SQL "select serverip,checkerversion from companyserverinfo where companycode='%s'"

#pragma pack(push, 1)
struct PacketHeader
{
    WORD Command;
    WORD ucCmdSub;
    WORD Reserved;
    WORD DataLength;
};

// A whole packet buffer, request or reply. The body is followed by at least one zero
// byte whenever DataLength is below the capacity, because buffers are zeroed first.
struct Packet
{
    PacketHeader header;
    char body[PACKET_BODY_CAPACITY];

    // Zero-fills the header and the whole body.
    void Clear();
    // Bytes to send: header plus DataLength body bytes (DataLength is checked first).
    size_t WireSize() const;
    const BYTE* Bytes() const { return reinterpret_cast<const BYTE*>(this); }
    BYTE* Bytes() { return reinterpret_cast<BYTE*>(this); }
    // True when DataLength fits the body capacity (a reply from a server may claim more).
    bool HasValidLength() const { return header.DataLength <= PACKET_BODY_CAPACITY; }
    // The body read as a NUL-terminated string, at most DataLength bytes (and never more
    // than the capacity), so a hostile DataLength cannot make it run past the buffer.
    std::string BodyText() const;
};
#pragma pack(pop)

static_assert(sizeof(PacketHeader) == PACKET_HEADER_SIZE, "header layout");
static_assert(sizeof(Packet) == PACKET_BUFFER_SIZE, "packet layout");

// Request building. Each builder zero-fills the packet, sets Command, ucCmdSub 1
// (SUB_REQUEST), Reserved 0, the body and DataLength (the bytes formatted). Wide values
// are narrowed to the thread's ANSI code page. A request whose body would not fit the
// capacity, or whose field text holds FIELD_SEP or LIST_END (the layout cannot express
// them), is refused: the builder returns false and leaves a cleared packet.

// CMD_QUERY_BY_CODE: the directory code, LIST_END.
bool BuildQueryByCodeRequest(Packet& packet, const wchar_t* dnsCode);
// CMD_QUERY_SQL: the company-server SQL text with the directory code, FIELD_SEP, "2",
// LIST_END. A single quote in the code is doubled so the code stays one SQL literal.
bool BuildQuerySqlRequest(Packet& packet, const wchar_t* dnsCode);
// CMD_MASTER_XML or CMD_PRODUCT_XML: the manifest file name, FIELD_SEP, the manifest
// text, LIST_END. The content is taken as 8-bit text up to its first zero byte.
bool BuildManifestRequest(Packet& packet, WORD command, const wchar_t* fileName, const std::string& content);
// CMD_UPDATE_URL: an empty body.
bool BuildUpdateUrlRequest(Packet& packet);
// CMD_SETUP_URL and CMD_SETUP_EX_URL: the product ID, LIST_END.
bool BuildSetupUrlRequest(Packet& packet, const wchar_t* productId);
bool BuildSetupExUrlRequest(Packet& packet, const wchar_t* productId);

// The general form: the body is the given bytes as they are (at most the capacity).
bool BuildRequest(Packet& packet, WORD command, const char* body, size_t length);
