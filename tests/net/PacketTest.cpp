// Request bytes on the wire: header layout and the body of every command.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "net/Packet.h"

namespace
{
std::string Wire(const Packet& packet)
{
    return std::string(reinterpret_cast<const char*>(packet.Bytes()), packet.WireSize());
}

std::string Header(WORD command, WORD sub, WORD length)
{
    std::string h;
    for (WORD v : {command, sub, WORD(0), length})
    {
        h.push_back(static_cast<char>(v & 0xFF));
        h.push_back(static_cast<char>(v >> 8));
    }
    return h;
}

// Everything after the body must stay zero: replies are read as NUL-terminated text.
bool RestIsZero(const Packet& packet)
{
    for (size_t i = packet.header.DataLength; i < PACKET_BODY_CAPACITY; ++i)
        if (packet.body[i] != 0)
            return false;
    return true;
}

std::unique_ptr<Packet> NewPacket()
{
    std::unique_ptr<Packet> packet(new Packet);
    memset(packet.get(), 0xCC, sizeof(Packet)); // garbage the builder must clear
    return packet;
}
} // namespace

TEST(Packet, LayoutIsEightBytesOfHeaderAndTheBody)
{
    EXPECT_EQ(sizeof(PacketHeader), 8u);
    EXPECT_EQ(sizeof(Packet), 38408u);
    EXPECT_EQ(offsetof(Packet, body), 8u);
    EXPECT_EQ(offsetof(PacketHeader, ucCmdSub), 2u);
    EXPECT_EQ(offsetof(PacketHeader, DataLength), 6u);
}

TEST(Packet, QuerySqlRequestBytes)
{
    auto packet = NewPacket();
    ASSERT_TRUE(BuildQuerySqlRequest(*packet, L"ACME01"));
    std::string body = "select serverip,checkerversion from companyserverinfo where companycode='ACME01'";
    body += '\x01';
    body += "2\x02";
    ASSERT_EQ(packet->header.DataLength, body.size());
    EXPECT_EQ(Wire(*packet), Header(0x026C, 1, static_cast<WORD>(body.size())) + body);
    EXPECT_TRUE(RestIsZero(*packet));
}

TEST(Packet, QuerySqlKeepsTheCodeOneLiteral)
{
    auto packet = NewPacket();
    ASSERT_TRUE(BuildQuerySqlRequest(*packet, L"x' or '1'='1"));
    EXPECT_NE(packet->BodyText().find("companycode='x'' or ''1''=''1'\x01"), std::string::npos);
}

TEST(Packet, QueryByCodeAndSetupRequests)
{
    auto packet = NewPacket();
    ASSERT_TRUE(BuildQueryByCodeRequest(*packet, L"DIR7"));
    EXPECT_EQ(Wire(*packet), Header(0x0081, 1, 5) + "DIR7\x02");
    EXPECT_TRUE(RestIsZero(*packet));

    ASSERT_TRUE(BuildSetupUrlRequest(*packet, L"prod-1"));
    EXPECT_EQ(Wire(*packet), Header(0x07D4, 1, 7) + "prod-1\x02");
    ASSERT_TRUE(BuildSetupExUrlRequest(*packet, L"prod-1"));
    EXPECT_EQ(Wire(*packet), Header(0x07D6, 1, 7) + "prod-1\x02");

    // An empty value is still one (empty) field.
    ASSERT_TRUE(BuildSetupUrlRequest(*packet, L""));
    EXPECT_EQ(Wire(*packet), Header(0x07D4, 1, 1) + "\x02");
    ASSERT_TRUE(BuildQueryByCodeRequest(*packet, nullptr));
    EXPECT_EQ(Wire(*packet), Header(0x0081, 1, 1) + "\x02");
}

TEST(Packet, UpdateUrlRequestHasAnEmptyBody)
{
    auto packet = NewPacket();
    ASSERT_TRUE(BuildUpdateUrlRequest(*packet));
    EXPECT_EQ(Wire(*packet), Header(0x07D3, 1, 0));
    EXPECT_TRUE(RestIsZero(*packet));
}

TEST(Packet, ManifestRequests)
{
    auto packet = NewPacket();
    std::string xml = "<files_info ver=\"3\"><file>a.dll</file></files_info>";
    ASSERT_TRUE(BuildManifestRequest(*packet, CMD_MASTER_XML, L"master_1.xml", xml));
    EXPECT_EQ(Wire(*packet), Header(0x07D1, 1, static_cast<WORD>(12 + 1 + xml.size() + 1)) +
                                 "master_1.xml\x01" + xml + "\x02");
    // A missing manifest goes out as its name and an empty content.
    ASSERT_TRUE(BuildManifestRequest(*packet, CMD_PRODUCT_XML, L"P1.xml", ""));
    EXPECT_EQ(Wire(*packet), Header(0x07D2, 1, 8) + "P1.xml\x01\x02");
    // The content is text: it ends at its first zero byte.
    ASSERT_TRUE(BuildManifestRequest(*packet, CMD_PRODUCT_XML, L"P1.xml", std::string("ab\0cd", 5)));
    EXPECT_EQ(Wire(*packet),
              Header(0x07D2, 1, 10) + "P1.xml" + std::string(1, FIELD_SEP) + "ab" + std::string(1, LIST_END));
    EXPECT_FALSE(BuildManifestRequest(*packet, CMD_SETUP_URL, L"P1.xml", "x"));
}

TEST(Packet, BodiesBeyondTheCapacityAreRefused)
{
    auto packet = NewPacket();
    // Name, separator, content and end byte fill the body exactly.
    std::string fits(PACKET_BODY_CAPACITY - 7, 'x');
    ASSERT_TRUE(BuildManifestRequest(*packet, CMD_MASTER_XML, L"m.xml", fits));
    EXPECT_EQ(packet->header.DataLength, PACKET_BODY_CAPACITY);
    EXPECT_EQ(packet->WireSize(), 38408u);
    std::string tooLong(PACKET_BODY_CAPACITY - 6, 'x');
    EXPECT_FALSE(BuildManifestRequest(*packet, CMD_MASTER_XML, L"m.xml", tooLong));
    EXPECT_EQ(packet->header.Command, 0);
    EXPECT_EQ(packet->header.DataLength, 0);
    std::wstring longCode(PACKET_BODY_CAPACITY, L'c');
    EXPECT_FALSE(BuildQuerySqlRequest(*packet, longCode.c_str()));
    EXPECT_FALSE(BuildRequest(*packet, CMD_UPDATE_URL, fits.data(), PACKET_BODY_CAPACITY + 1));
}

TEST(Packet, FieldsHoldingTerminatorBytesAreRefused)
{
    auto packet = NewPacket();
    EXPECT_FALSE(BuildQueryByCodeRequest(*packet, (std::wstring(L"a\x01") + L"b").c_str()));
    EXPECT_FALSE(BuildSetupUrlRequest(*packet, L"a\x02"));
    EXPECT_FALSE(BuildManifestRequest(*packet, CMD_MASTER_XML, L"m.xml", "x\x01y"));
    EXPECT_EQ(packet->header.DataLength, 0);
}

TEST(Packet, ReplyBodyIsReadWithinItsLength)
{
    auto packet = NewPacket();
    packet->Clear();
    memcpy(packet->body, "http://h/u.zip\x02tail", 19);
    packet->header.DataLength = 14;
    EXPECT_EQ(packet->BodyText(), "http://h/u.zip");
    packet->header.DataLength = 19;
    EXPECT_EQ(packet->BodyText(), "http://h/u.zip\x02tail"); // no terminator is stripped
    // A hostile length never reads past the buffer.
    memset(packet->body, 'z', PACKET_BODY_CAPACITY);
    packet->header.DataLength = 0xFFFF;
    EXPECT_FALSE(packet->HasValidLength());
    EXPECT_EQ(packet->BodyText().size(), static_cast<size_t>(PACKET_BODY_CAPACITY));
    EXPECT_EQ(packet->WireSize(), 38408u);
}
