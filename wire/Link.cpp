#include "wire/Link.h"

namespace lectora::wire
{

Link::Link(const std::string& host, int port, Clock::time_point deadline)
    : m_fd(net::connectTcp(host, port, deadline)), m_deadline(deadline)
{
}

Link::~Link()
{
    net::close(m_fd);
}

bool Link::send(std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const long n = net::sendNow(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += std::size_t(n);
        else if (n < 0 && !retry(net::kWritable))
            return false;
    }
    return true;
}

std::optional<ReceivedMessage> Link::receive()
{
    ReceivedMessage m;
    for (;;) {
        char bytes[kHeaderSize];
        if (!readExactly(bytes, kHeaderSize))
            return std::nullopt;
        const PacketHeader h = *readHeader(std::string_view(bytes, kHeaderSize));
        if (h.length < kHeaderSize)
            return std::nullopt;
        std::string body(h.length - kHeaderSize, '\0');
        if (!readExactly(body.data(), body.size()))
            return std::nullopt;
        m.type = h.type;
        m.payload += body;
        if (h.endOfMessage())
            return m;
    }
}

bool Link::retry(short events)
{
    const int error = net::lastError();
    if (net::interrupted(error))
        return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
    return net::wouldBlock(error) && left.count() > 0 &&
           net::waitOne(m_fd, events, int(left.count()));
}

bool Link::readExactly(char* out, std::size_t size)
{
    while (size > 0) {
        const long n = net::receiveNow(m_fd, out, size);
        if (n > 0) {
            out += n;
            size -= std::size_t(n);
        } else if (n == 0 || !retry(net::kReadable)) {
            return false;
        }
    }
    return true;
}

} // namespace lectora::wire
