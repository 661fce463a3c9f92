#pragma once
// Reassembles TDS messages from a byte stream as it arrives, within a cap on
// one message and, shared by every connection, a budget on what unfinished
// messages may hold together.

#include "wire/Packet.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lectora::wire
{

// No request the stand-in understands comes near this; a larger one is an
// attack or a broken client, and must not be buffered. A logged-in client's
// default cap (--max-message) is well under it.
inline constexpr std::size_t kMaxMessageSize = 64u << 20;
// Before its login a connection is nobody's: PRELOGIN and LOGIN7 are a few
// hundred bytes, and more than this is not held for a stranger.
inline constexpr std::size_t kMaxLoginMessageSize = 64u << 10;

struct Message {
    PacketType type = PacketType::SqlBatch;
    std::string payload;
    // Past the cap or the budget: the payload was dropped, the rest of the
    // message will be, and the request is to be refused.
    bool oversized = false;
};

// The bytes every connection's unfinished messages may hold together, so
// that many clients each within the cap of one message cannot add up to
// more memory than the server means to give them. Thread-safe.
class MessageBudget
{
public:
    explicit MessageBudget(std::size_t limit) : m_limit(limit) {}
    // False, taking nothing, when `bytes` more would pass the limit.
    bool take(std::size_t bytes);
    void give(std::size_t bytes) { m_used -= bytes; }
    std::size_t used() const { return m_used; }

private:
    std::size_t m_limit;
    std::atomic<std::size_t> m_used{0};
};

// Collects bytes as they arrive and hands out whole messages. Broken framing
// (a length shorter than the header, a type that changes inside a message)
// raises ProtocolError: the stream cannot be resynchronised. So does a
// message over the cap, unless the deframer is told to answer for it: then
// it hands out an oversized message at once and drops the rest as it comes.
class Deframer
{
public:
    explicit Deframer(std::size_t maxMessage = kMaxMessageSize, MessageBudget* budget = nullptr)
        : m_max(maxMessage), m_budget(budget)
    {
    }
    ~Deframer();
    Deframer(const Deframer&) = delete;
    Deframer& operator=(const Deframer&) = delete;

    void append(std::string_view bytes) { m_buffer.append(bytes); }
    std::optional<Message> next();
    // Bytes held that do not yet make a message.
    std::size_t pending() const { return m_buffer.size() - m_consumed; }
    // The largest message accepted from now on (changed once a login is
    // accepted), and whether one past it is handed out oversized rather
    // than ending the stream.
    void setLimit(std::size_t maxMessage, bool answerOversized = false)
    {
        m_max = maxMessage;
        m_answerOversized = answerOversized;
    }
    // Gives back the room a large message left behind in the buffer.
    void compact();
    // The most room one message has taken so far.
    std::size_t largest() const { return m_largest; }

private:
    // The header of the next whole packet, checked; nullopt until it is whole.
    std::optional<PacketHeader> wholePacket() const;
    // Makes room for `more` bytes in the message being collected, within
    // the cap and the budget; false when there is none.
    bool makeRoom(std::size_t more);
    void dropPartial();
    void dropConsumed();

    std::string m_buffer;
    std::size_t m_consumed = 0;
    std::optional<Message> m_partial;
    std::size_t m_max;
    MessageBudget* m_budget;
    std::size_t m_charged = 0; // of the budget, for m_partial's capacity
    std::size_t m_largest = 0;
    bool m_answerOversized = false;
    bool m_discarding = false; // the rest of an oversized message
};

} // namespace lectora::wire
