#include "server/tds/PacketLoop.h"

#include "server/tds/SecureChannel.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace lectora::server::tds
{

namespace
{
bool sendAll(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t w = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        sent += static_cast<std::size_t>(w);
    }
    return true;
}
// Starts what the PRELOGIN answer agreed on; false when the connection must
// end instead.
bool beginTls(SecureChannel& channel, const Session& session, EncryptionOutcome::Link link,
              const Deframer& deframer)
{
    // Anything sent behind the PRELOGIN, before its answer, would be read as
    // clear packets past the agreed TLS.
    if (!session.credentials() || deframer.pending() > 0)
        return false;
    if (link == EncryptionOutcome::Link::Refused)
        channel.offerTls(*session.credentials());
    else
        channel.startTls(*session.credentials(), link);
    return true;
}
} // namespace

void servePackets(int fd, Session& session)
{
    SecureChannel channel;
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
        SecureChannel::Received in;
        try {
            in = channel.receive(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        } catch (const std::exception&) {
            return;
        }
        if (!sendAll(fd, in.toClient))
            return;
        if (channel.phase() == SecureChannel::Phase::Session)
            session.linkEncrypted();
        deframer.append(in.tds);
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
            try {
                if (!sendAll(fd, channel.send(outcome.reply)))
                    return;
            } catch (const std::exception&) {
                return;
            }
            if (outcome.close)
                return;
            if (outcome.tls != EncryptionOutcome::Link::Clear &&
                !beginTls(channel, session, outcome.tls, deframer))
                return;
        }
    }
}

} // namespace lectora::server::tds
