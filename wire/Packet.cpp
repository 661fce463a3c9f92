#include "wire/Packet.h"

#include <algorithm>

namespace lectora::wire
{

bool knownType(std::uint8_t type)
{
    switch (static_cast<PacketType>(type)) {
    case PacketType::SqlBatch:
    case PacketType::Rpc:
    case PacketType::Reply:
    case PacketType::Attention:
    case PacketType::BulkLoad:
    case PacketType::TransactionManager:
    case PacketType::Login7:
    case PacketType::Sspi:
    case PacketType::PreLogin:
        return true;
    }
    return false;
}

std::optional<PacketHeader> readHeader(std::string_view bytes)
{
    if (bytes.size() < kHeaderSize)
        return std::nullopt;
    const auto* h = reinterpret_cast<const unsigned char*>(bytes.data());
    PacketHeader header;
    header.type = h[0];
    header.status = h[1];
    header.length = static_cast<std::uint16_t>(h[2] << 8 | h[3]);
    header.spid = static_cast<std::uint16_t>(h[4] << 8 | h[5]);
    header.packetId = h[6];
    header.window = h[7];
    return header;
}

std::string headerBytes(const PacketHeader& header)
{
    const unsigned char h[kHeaderSize] = {
        header.type,
        header.status,
        static_cast<unsigned char>(header.length >> 8),
        static_cast<unsigned char>(header.length & 0xff),
        static_cast<unsigned char>(header.spid >> 8),
        static_cast<unsigned char>(header.spid & 0xff),
        header.packetId,
        header.window,
    };
    return std::string(reinterpret_cast<const char*>(h), kHeaderSize);
}

std::string framePackets(PacketType type, std::string_view payload, std::uint16_t spid,
                         std::size_t packetSize)
{
    const std::size_t chunk = packetSize - kHeaderSize;
    std::string out;
    out.reserve(payload.size() + (payload.size() / chunk + 1) * kHeaderSize);
    PacketHeader header{static_cast<std::uint8_t>(type), 0, 0, spid, 1, 0};
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(chunk, payload.size() - at);
        header.status = at + n == payload.size() ? kStatusEndOfMessage : 0;
        header.length = static_cast<std::uint16_t>(n + kHeaderSize);
        out += headerBytes(header);
        out.append(payload.substr(at, n));
        ++header.packetId;
        at += n;
    } while (at < payload.size());
    return out;
}

} // namespace lectora::wire
