#pragma once
// The TDS packet: an 8-byte header (type, status, big-endian length, spid,
// packet id, window) in front of each piece of a message. The one place that
// reads and writes that header; a message's contents are the callers'.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lectora::wire
{

// Raised for any malformed input; the reader decides whether the link can go
// on (a bad request) or must close (broken framing).
class ProtocolError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum class PacketType : std::uint8_t {
    SqlBatch = 0x01,
    Rpc = 0x03,
    Reply = 0x04,
    Attention = 0x06,
    BulkLoad = 0x07,
    TransactionManager = 0x0E,
    Login7 = 0x10,
    Sspi = 0x11,
    PreLogin = 0x12,
};

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::uint8_t kStatusEndOfMessage = 0x01;
inline constexpr std::uint8_t kStatusIgnore = 0x02;
inline constexpr std::size_t kPacketSize = 4096;

struct PacketHeader {
    std::uint8_t type = 0;
    std::uint8_t status = 0;
    std::uint16_t length = 0; // of the whole packet, header included
    std::uint16_t spid = 0;
    std::uint8_t packetId = 0;
    std::uint8_t window = 0;

    bool endOfMessage() const { return status & kStatusEndOfMessage; }
};

// Whether `type` is one of the packet types above.
bool knownType(std::uint8_t type);

// The header at the front of `bytes`; nullopt while fewer than kHeaderSize
// bytes have arrived. The length is as sent: callers check it.
std::optional<PacketHeader> readHeader(std::string_view bytes);
// The header as it goes on the wire.
std::string headerBytes(const PacketHeader& header);

// The packets of one message, each at most `packetSize` bytes; an empty
// payload is one packet of a bare header.
std::string framePackets(PacketType type, std::string_view payload, std::uint16_t spid,
                         std::size_t packetSize = kPacketSize);

} // namespace lectora::wire
