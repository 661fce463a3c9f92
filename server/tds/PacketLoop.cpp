#include "server/tds/PacketLoop.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace lectora::server::tds
{

void servePackets(int fd, Session& session)
{
    Deframer deframer;
    std::string buffer(64 * 1024, '\0');
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        deframer.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        for (;;) {
            std::optional<Message> message;
            try {
                message = deframer.next();
            } catch (const ProtocolError&) {
                return;
            }
            if (!message)
                break;
            Session::Outcome outcome = session.handle(*message);
            std::size_t sent = 0;
            while (sent < outcome.reply.size()) {
                const ssize_t w = ::send(fd, outcome.reply.data() + sent,
                                         outcome.reply.size() - sent, MSG_NOSIGNAL);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    return;
                sent += static_cast<std::size_t>(w);
            }
            if (outcome.close)
                return;
        }
    }
}

} // namespace lectora::server::tds
