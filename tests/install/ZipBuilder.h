#pragma once
// Builds zip archives byte by byte for the unpacking tests, including damaged ones that
// no archiver would write: bad checksums, hostile names, wrong sizes.
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

struct ZipItem
{
    std::string name;
    std::string data;
    bool deflate = false;
    uint16_t dosTime = 0x6000; // 12:00:00
    uint16_t dosDate = 0x4A21; // 2017-01-01
    uint32_t externalAttributes = 0x20;
    // Damage: a CRC other than the data's, or a declared size other than the data's.
    bool badCrc = false;
    int64_t sizeDelta = 0;
    int methodOverride = -1; // a compression method we cannot read (14: LZMA)
};

inline void PutLE(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline std::string RawDeflate(const std::string& data)
{
    z_stream zs = {};
    deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, (uLong)data.size()) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = (uInt)data.size();
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = (uInt)out.size();
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// The fields the local header and the central directory both carry, in their order:
// method, time, date, CRC, both sizes, name length.
inline void PutEntryFields(std::string& out, uint16_t method, const ZipItem& item, uint32_t crc,
                           uint32_t csize, uint32_t usize)
{
    PutLE(out, method, 2);
    PutLE(out, item.dosTime, 2);
    PutLE(out, item.dosDate, 2);
    PutLE(out, crc, 4);
    PutLE(out, csize, 4);
    PutLE(out, usize, 4);
    PutLE(out, (uint32_t)item.name.size(), 2);
}

inline std::string BuildZip(const std::vector<ZipItem>& items)
{
    std::string body, central;
    for (const ZipItem& item : items)
    {
        uint32_t crc = crc32(0L, reinterpret_cast<const Bytef*>(item.data.data()), (uInt)item.data.size());
        if (item.badCrc)
            crc ^= 0x5A5A5A5A;
        std::string payload = item.deflate ? RawDeflate(item.data) : item.data;
        uint32_t usize = (uint32_t)((int64_t)item.data.size() + item.sizeDelta);
        uint32_t csize = item.deflate ? (uint32_t)payload.size() : usize;
        uint16_t method = item.methodOverride >= 0 ? (uint16_t)item.methodOverride : (item.deflate ? 8 : 0);
        uint32_t offset = (uint32_t)body.size();

        PutLE(body, 0x04034b50, 4);
        PutLE(body, 20, 2); // version needed
        PutLE(body, 0, 2);  // flags
        PutEntryFields(body, method, item, crc, csize, usize);
        PutLE(body, 0, 2); // extra field length
        body += item.name;
        body += payload;

        PutLE(central, 0x02014b50, 4);
        PutLE(central, 20, 2); // version made by
        PutLE(central, 20, 2); // version needed
        PutLE(central, 0, 2);  // flags
        PutEntryFields(central, method, item, crc, csize, usize);
        central.append(6, '\0'); // extra and comment lengths, disk number
        PutLE(central, 0, 2);    // internal attributes
        PutLE(central, item.externalAttributes, 4);
        PutLE(central, offset, 4);
        central += item.name;
    }
    std::string out = body + central;
    PutLE(out, 0x06054b50, 4);
    PutLE(out, 0, 2);
    PutLE(out, 0, 2);
    PutLE(out, (uint32_t)items.size(), 2);
    PutLE(out, (uint32_t)items.size(), 2);
    PutLE(out, (uint32_t)central.size(), 4);
    PutLE(out, (uint32_t)body.size(), 4);
    PutLE(out, 0, 2);
    return out;
}

inline ZipItem ZipFile(const std::string& name, const std::string& data, bool deflate = false)
{
    ZipItem item;
    item.name = name;
    item.data = data;
    item.deflate = deflate;
    return item;
}

inline ZipItem ZipFolder(const std::string& name)
{
    ZipItem item;
    item.name = name;
    item.externalAttributes = 0x10;
    return item;
}

// Deterministic bytes that do not compress to nothing.
inline std::string PatternBytes(size_t size, uint32_t seed = 1)
{
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i)
    {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>((x >> 16) & 0x3F) + 'A' - 1 + (i % 7 == 0 ? 0 : 1);
    }
    return out;
}
