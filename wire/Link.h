#pragma once
// A client's TCP connection that carries whole TDS messages, with a single
// deadline for everything done on it: what a short exchange ahead of a real
// login (the terminal's link check) needs. Not for a session's traffic.

#include "platform/Net.h"
#include "wire/Packet.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace lectora::wire
{

struct ReceivedMessage {
    std::uint8_t type = 0;
    std::string payload;
};

class Link
{
public:
    using Clock = std::chrono::steady_clock;

    Link(const std::string& host, int port, Clock::time_point deadline);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    bool connected() const { return m_fd != net::kNoSocket; }
    // False when the link failed or the deadline passed.
    bool send(std::string_view bytes);
    // One whole message; nullopt when the server closed, broke the framing
    // or took past the deadline. Reads no byte past the message.
    std::optional<ReceivedMessage> receive();

private:
    // After a failed call: waits for `events` when the call would have
    // blocked; false when the link failed or the deadline passed.
    bool retry(short events);
    bool readExactly(char* out, std::size_t size);

    net::Socket m_fd;
    Clock::time_point m_deadline;
};

} // namespace lectora::wire
