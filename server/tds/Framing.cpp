#include "server/tds/Framing.h"

#include "server/tds/Wire.h"

namespace lectora::server::tds
{

namespace
{
bool knownType(std::uint8_t t)
{
    switch (static_cast<PacketType>(t)) {
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
} // namespace

std::optional<Message> Deframer::next()
{
    for (;;) {
        if (pending() < kHeaderSize)
            break;
        const auto* h = reinterpret_cast<const unsigned char*>(m_buffer.data() + m_consumed);
        const std::uint8_t type = h[0];
        const std::uint8_t status = h[1];
        const std::size_t length = std::size_t(h[2]) << 8 | h[3];
        if (length < kHeaderSize)
            throw ProtocolError("packet length shorter than its header");
        if (!knownType(type))
            throw ProtocolError("unknown packet type");
        if (m_partial && static_cast<std::uint8_t>(m_partial->type) != type)
            throw ProtocolError("packet type changed inside a message");
        if (pending() < length)
            break;
        if (!m_partial)
            m_partial = Message{static_cast<PacketType>(type), {}};
        if (m_partial->payload.size() + length - kHeaderSize > m_max)
            throw ProtocolError("message too large");
        m_partial->payload.append(m_buffer, m_consumed + kHeaderSize, length - kHeaderSize);
        m_consumed += length;
        if ((status & kStatusIgnore) && (status & kStatusEndOfMessage)) {
            // The client gave up on the message it was sending.
            m_partial.reset();
            continue;
        }
        if (status & kStatusEndOfMessage) {
            Message done = std::move(*m_partial);
            m_partial.reset();
            m_buffer.erase(0, m_consumed);
            m_consumed = 0;
            return done;
        }
    }
    m_buffer.erase(0, m_consumed);
    m_consumed = 0;
    return std::nullopt;
}

void Deframer::compact()
{
    m_buffer.erase(0, m_consumed);
    m_consumed = 0;
    m_buffer.shrink_to_fit();
    if (m_partial)
        m_partial->payload.shrink_to_fit();
}

std::string framePackets(PacketType type, std::string_view payload, std::uint16_t spid,
                         std::size_t packetSize)
{
    const std::size_t chunk = packetSize - kHeaderSize;
    std::string out;
    out.reserve(payload.size() + (payload.size() / chunk + 1) * kHeaderSize);
    std::uint8_t packetId = 1;
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(chunk, payload.size() - at);
        const bool last = at + n == payload.size();
        const std::size_t length = n + kHeaderSize;
        out.push_back(static_cast<char>(type));
        out.push_back(static_cast<char>(last ? kStatusEndOfMessage : 0));
        out.push_back(static_cast<char>(length >> 8));
        out.push_back(static_cast<char>(length & 0xff));
        out.push_back(static_cast<char>(spid >> 8));
        out.push_back(static_cast<char>(spid & 0xff));
        out.push_back(static_cast<char>(packetId++));
        out.push_back(0);
        out.append(payload.substr(at, n));
        at += n;
    } while (at < payload.size());
    return out;
}

} // namespace lectora::server::tds
