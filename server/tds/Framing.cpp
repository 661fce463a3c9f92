#include "server/tds/Framing.h"

#include "server/tds/Wire.h"

#include <algorithm>

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

bool MessageBudget::take(std::size_t bytes)
{
    std::size_t used = m_used.load();
    do {
        if (used + bytes > m_limit)
            return false;
    } while (!m_used.compare_exchange_weak(used, used + bytes));
    return true;
}

Deframer::~Deframer()
{
    dropPartial();
}

void Deframer::dropPartial()
{
    if (m_budget)
        m_budget->give(m_charged);
    m_charged = 0;
    m_partial.reset();
}

bool Deframer::makeRoom(std::size_t more)
{
    std::string& payload = m_partial->payload;
    const std::size_t need = payload.size() + more;
    if (need > m_max)
        return false;
    if (need <= payload.capacity())
        return true;
    // Grown by doubling as a string grows, but never past the cap. Growing
    // copies into new memory before the old goes, so the new room is charged
    // whole while the old is still held.
    const std::size_t room = std::min(std::max(need, 2 * payload.capacity()), m_max);
    if (m_budget && !m_budget->take(room))
        return false;
    payload.reserve(room);
    if (m_budget)
        m_budget->give(m_charged);
    m_charged = room;
    m_largest = std::max(m_largest, room);
    return true;
}

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
        const bool end = status & kStatusEndOfMessage;
        if (m_discarding) {
            m_consumed += length;
            m_discarding = !end;
            continue;
        }
        if (!m_partial)
            m_partial = Message{static_cast<PacketType>(type), {}};
        if (!makeRoom(length - kHeaderSize)) {
            if (!m_answerOversized)
                throw ProtocolError("message too large");
            dropPartial();
            m_consumed += length;
            m_discarding = !end;
            return Message{static_cast<PacketType>(type), {}, true};
        }
        m_partial->payload.append(m_buffer, m_consumed + kHeaderSize, length - kHeaderSize);
        m_consumed += length;
        if ((status & kStatusIgnore) && end) {
            // The client gave up on the message it was sending.
            dropPartial();
            continue;
        }
        if (end) {
            Message done = std::move(*m_partial);
            dropPartial();
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
    if (m_partial && m_partial->payload.empty()) {
        m_partial->payload.shrink_to_fit();
        if (m_budget)
            m_budget->give(m_charged);
        m_charged = 0;
    }
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
