#pragma once
// TDS packet framing: an 8-byte header (type, status, big-endian length, spid,
// packet id, window) in front of each piece of a message. Requests are
// reassembled until the end-of-message bit; replies are cut at the
// packet size the server announces at login.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lectora::server::tds
{

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
// No request this server understands comes near this; a larger one is an
// attack or a broken client, and must not be buffered.
inline constexpr std::size_t kMaxMessageSize = 64u << 20;
// Before its login a connection is nobody's: PRELOGIN and LOGIN7 are a few
// hundred bytes, and more than this is not held for a stranger.
inline constexpr std::size_t kMaxLoginMessageSize = 64u << 10;

struct Message {
    PacketType type = PacketType::SqlBatch;
    std::string payload;
};

// Collects bytes as they arrive and hands out whole messages. Broken framing
// (a length shorter than the header, a type that changes inside a message, a
// message over the cap) raises ProtocolError: the stream cannot be resynchronised.
class Deframer
{
public:
    explicit Deframer(std::size_t maxMessage = kMaxMessageSize) : m_max(maxMessage) {}
    void append(std::string_view bytes) { m_buffer.append(bytes); }
    std::optional<Message> next();
    // Bytes held that do not yet make a message.
    std::size_t pending() const { return m_buffer.size() - m_consumed; }
    // The largest message accepted from now on (raised once a login is accepted).
    void setLimit(std::size_t maxMessage) { m_max = maxMessage; }
    // Gives back the room a large message left behind in the buffer.
    void compact();

private:
    std::string m_buffer;
    std::size_t m_consumed = 0;
    std::optional<Message> m_partial;
    std::size_t m_max;
};

// The packets of one reply message, each at most `packetSize` bytes.
std::string framePackets(PacketType type, std::string_view payload, std::uint16_t spid,
                         std::size_t packetSize = kPacketSize);

} // namespace lectora::server::tds
