#include "server/tds/PacketLoop.h"

#include "server/tds/SecureChannel.h"

#include "platform/Memory.h"
#include "platform/Net.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace lectora::server::tds
{

namespace
{
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What is read at once: little for a stranger, more for a logged-in client's batches.
constexpr std::size_t kLoginReadSize = 4u << 10;
constexpr std::size_t kReadSize = 64u << 10;
// After a message this large its buffers are given back to the system.
constexpr std::size_t kLargeMessage = 1u << 20;
// Blocks this large come straight from the system and go straight back to
// it when freed (see memory::returnLargeBlocksAtOnce).
constexpr std::size_t kOwnMappingFrom = 256u << 10;

int clampedMs(long long ms)
{
    return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
}

// How long poll may wait now: what is left before the login deadline, the
// idle limit once logged in, or -1 for no limit. 0: the time is up.
int waitLimit(const Session& session, const LinkLimits& limits)
{
    if (!session.loggedIn()) {
        if (limits.loginBy == Clock::time_point::max())
            return -1;
        return clampedMs(
            std::chrono::duration_cast<milliseconds>(limits.loginBy - Clock::now()).count());
    }
    if (limits.idle.count() <= 0)
        return -1;
    return clampedMs(std::chrono::duration_cast<milliseconds>(limits.idle).count());
}

// Waits until `fd` is ready for `events` (or has failed, which the next
// read or write tells); false when the connection's time ran out.
bool waitFor(net::Socket fd, short events, const Session& session, const LinkLimits& limits)
{
    for (;;) {
        const int limit = waitLimit(session, limits);
        if (limit == 0)
            return false;
        net::Waiter w{fd, events, 0};
        const int r = net::wait(&w, 1, limit);
        if (r > 0)
            return true;
        if (r == 0 || !net::interrupted(net::lastError()))
            return false;
    }
}

bool sendAll(net::Socket fd, std::string_view bytes, const Session& session,
             const LinkLimits& limits)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const long w = net::sendNow(fd, bytes.data() + sent, bytes.size() - sent);
        if (w > 0) {
            sent += static_cast<std::size_t>(w);
            continue;
        }
        const int error = w < 0 ? net::lastError() : 0;
        if (w < 0 && net::interrupted(error))
            continue;
        if (w < 0 && net::wouldBlock(error) && waitFor(fd, net::kWritable, session, limits))
            continue;
        return false;
    }
    return true;
}

// Holds a reply back for `delay`; whatever the peer sends meanwhile does
// not shorten it, only a socket shut down or broken does.
void hold(net::Socket fd, milliseconds delay)
{
    const auto until = Clock::now() + delay;
    for (;;) {
        const int left =
            clampedMs(std::chrono::duration_cast<milliseconds>(until - Clock::now()).count());
        if (left == 0)
            return;
        net::Waiter w{fd, 0, 0};
        if (net::wait(&w, 1, left) > 0)
            return;
    }
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

struct Link {
    net::Socket fd;
    Session& session;
    SecureChannel& channel;
    Deframer& deframer;
    const LinkLimits& limits;
};

// Handles one message and sends its reply; false when the connection ends.
bool serveMessage(Link& link, const Message& message)
{
    const bool wasLoggedIn = link.session.loggedIn();
    const Session::Outcome outcome = link.session.handle(message);
    // Counted as logged in before the answer leaves, so that no room is
    // made at its expense once the client holds its acknowledgement.
    if (!wasLoggedIn && link.session.loggedIn()) {
        link.deframer.setLimit(link.limits.maxMessage, true);
        if (link.limits.loggedIn)
            link.limits.loggedIn();
    }
    if (outcome.delay.count() > 0)
        hold(link.fd, outcome.delay);
    try {
        if (!sendAll(link.fd, link.channel.send(outcome.reply), link.session, link.limits))
            return false;
    } catch (const std::exception&) {
        return false;
    }
    if (outcome.close)
        return false;
    return outcome.tls == EncryptionOutcome::Link::Clear ||
           beginTls(link.channel, link.session, outcome.tls, link.deframer);
}

// Serves every whole message the deframer holds; false when the connection ends.
bool serveMessages(Link& link)
{
    for (;;) {
        std::size_t size = 0;
        {
            std::optional<Message> message;
            try {
                message = link.deframer.next();
            } catch (const ProtocolError&) {
                return false;
            }
            if (!message)
                return true;
            size = message->payload.size();
            if (!serveMessage(link, *message))
                return false;
        }
        // The message, its text and its reply are gone by now; without this
        // the allocator keeps their pages for the next large one.
        if (size >= kLargeMessage) {
            link.deframer.compact();
            memory::giveBack();
        }
    }
}

// Reads and serves until the connection ends.
void serveLink(net::Socket fd, Session& session, const LinkLimits& limits, SecureChannel& channel,
               Deframer& deframer)
{
    Link link{fd, session, channel, deframer, limits};
    std::vector<char> buffer(session.loggedIn() ? kReadSize : kLoginReadSize);
    for (;;) {
        if (!waitFor(fd, net::kReadable, session, limits))
            return;
        const long n = net::receiveNow(fd, buffer.data(), buffer.size());
        if (n == 0)
            return;
        if (n < 0) {
            const int error = net::lastError();
            if (net::interrupted(error) || net::wouldBlock(error))
                continue;
            return;
        }
        SecureChannel::Received in;
        try {
            in = channel.receive(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        } catch (const std::exception&) {
            return;
        }
        if (!sendAll(fd, in.toClient, session, limits))
            return;
        if (channel.phase() == SecureChannel::Phase::Session)
            session.linkEncrypted();
        deframer.append(in.tds);
        if (!serveMessages(link))
            return;
        if (session.loggedIn() && buffer.size() < kReadSize)
            buffer.resize(kReadSize);
    }
}

} // namespace

void servePackets(net::Socket fd, Session& session, const LinkLimits& limits)
{
    memory::returnLargeBlocksAtOnce(kOwnMappingFrom);
    bool large = false;
    {
        SecureChannel channel;
        Deframer deframer(session.loggedIn() ? limits.maxMessage : kMaxLoginMessageSize,
                          limits.budget);
        if (session.loggedIn())
            deframer.setLimit(limits.maxMessage, true);
        serveLink(fd, session, limits, channel, deframer);
        large = deframer.largest() >= kLargeMessage;
    }
    // What an unfinished message held is gone with the deframer; the heaps
    // may keep the pieces it grew through.
    if (large)
        memory::giveBack();
}

} // namespace lectora::server::tds
