#include "wire/Deframer.h"

#include <algorithm>

namespace lectora::wire
{

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

void Deframer::dropConsumed()
{
    m_buffer.erase(0, m_consumed);
    m_consumed = 0;
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

std::optional<PacketHeader> Deframer::wholePacket() const
{
    const std::optional<PacketHeader> h = readHeader(std::string_view(m_buffer).substr(m_consumed));
    if (!h)
        return std::nullopt;
    if (h->length < kHeaderSize)
        throw ProtocolError("packet length shorter than its header");
    if (!knownType(h->type))
        throw ProtocolError("unknown packet type");
    if (m_partial && static_cast<std::uint8_t>(m_partial->type) != h->type)
        throw ProtocolError("packet type changed inside a message");
    if (pending() < h->length)
        return std::nullopt;
    return h;
}

std::optional<Message> Deframer::next()
{
    while (const std::optional<PacketHeader> h = wholePacket()) {
        const auto type = static_cast<PacketType>(h->type);
        const std::size_t length = h->length;
        const bool end = h->endOfMessage();
        if (m_discarding) {
            m_consumed += length;
            m_discarding = !end;
            continue;
        }
        if (!m_partial)
            m_partial = Message{type, {}};
        if (!makeRoom(length - kHeaderSize)) {
            if (!m_answerOversized)
                throw ProtocolError("message too large");
            dropPartial();
            m_consumed += length;
            m_discarding = !end;
            return Message{type, {}, true};
        }
        m_partial->payload.append(m_buffer, m_consumed + kHeaderSize, length - kHeaderSize);
        m_consumed += length;
        if ((h->status & kStatusIgnore) && end) {
            // The client gave up on the message it was sending.
            dropPartial();
            continue;
        }
        if (end) {
            Message done = std::move(*m_partial);
            dropPartial();
            dropConsumed();
            return done;
        }
    }
    dropConsumed();
    return std::nullopt;
}

void Deframer::compact()
{
    dropConsumed();
    m_buffer.shrink_to_fit();
    if (m_partial && m_partial->payload.empty()) {
        m_partial->payload.shrink_to_fit();
        if (m_budget)
            m_budget->give(m_charged);
        m_charged = 0;
    }
}

} // namespace lectora::wire
