#pragma once
// A loopback TCP relay that stands for the link between a terminal and its
// server: every byte is held back by half the round-trip time in each
// direction, and the TDS messages that cross it are counted (a message ends
// with the packet whose status carries end-of-message). It needs no
// privileges, unlike a delay set on the network interface, and sees the
// traffic of only the connections pointed at it. Asked to, it keeps a copy
// of every byte in each direction (tests look for what crossed the link in
// the clear). Not for production: it trusts both ends and keeps every
// connection in memory.
//
// Header-only, like BenchKit.h, so that a test can use it as the benchmark does.

#include "wire/Packet.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>

namespace bench
{

// Follows one direction of a TDS stream packet by packet and counts the
// messages that end in it. TLS records (the login's encryption travels as
// bare records between the handshake and the first clear packet) are
// stepped over whole and counted apart. A stream that is neither stops
// being counted rather than being counted wrong.
class TdsMessageCounter
{
public:
    void feed(const std::uint8_t* data, std::size_t size)
    {
        while (size > 0 && !m_lost) {
            if (m_skip > 0) {
                const std::size_t n = std::min(m_skip, size);
                m_skip -= n;
                data += n;
                size -= n;
                continue;
            }
            m_header[m_have++] = *data++;
            --size;
            if (isTlsRecord()) {
                if (m_have == 5) {
                    m_skip = std::size_t(m_header[3]) << 8 | m_header[4];
                    if (m_header[0] == 0x17)
                        ++m_tlsRecords;
                    m_have = 0;
                }
            } else if (m_have == lectora::wire::kHeaderSize) {
                const lectora::wire::PacketHeader h = *lectora::wire::readHeader(
                    {reinterpret_cast<const char*>(m_header.data()), m_have});
                if (h.length < lectora::wire::kHeaderSize || !lectora::wire::knownType(h.type)) {
                    m_lost = true;
                    return;
                }
                if (h.endOfMessage())
                    ++m_messages[h.type];
                m_skip = h.length - lectora::wire::kHeaderSize;
                m_have = 0;
            }
        }
    }

    std::uint64_t messages() const
    {
        std::uint64_t total = 0;
        for (std::uint64_t n : m_messages)
            total += n;
        return total;
    }
    std::uint64_t messages(std::uint8_t type) const { return m_messages[type]; }
    std::uint64_t tlsRecords() const { return m_tlsRecords; }
    bool lost() const { return m_lost; }

private:
    // 0x14-0x17 and a 3.x version: a TLS record's header, never a TDS packet type.
    bool isTlsRecord() const
    {
        return m_header[0] >= 0x14 && m_header[0] <= 0x17 && (m_have < 2 || m_header[1] == 3);
    }
    std::array<std::uint8_t, lectora::wire::kHeaderSize> m_header{};
    std::size_t m_have = 0;
    std::size_t m_skip = 0;
    std::array<std::uint64_t, 256> m_messages{};
    std::uint64_t m_tlsRecords = 0;
    bool m_lost = false;
};

class DelayRelay
{
public:
    using Clock = std::chrono::steady_clock;

    // Listens on an ephemeral loopback port and forwards every connection to
    // 127.0.0.1:`targetPort`.
    explicit DelayRelay(int targetPort, std::chrono::microseconds roundTrip = {})
        : m_target(targetPort), m_stop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        setRoundTrip(roundTrip);
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (m_listener < 0 || m_stop < 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 64) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("delay relay: cannot listen on loopback");
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }

    ~DelayRelay()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_stop, &one, sizeof one);
        m_acceptor.join();
        std::vector<std::thread> pumps;
        {
            std::lock_guard lock(m_mutex);
            pumps.swap(m_pumps);
        }
        for (std::thread& t : pumps)
            t.join();
        ::close(m_listener);
        ::close(m_stop);
    }
    DelayRelay(const DelayRelay&) = delete;
    DelayRelay& operator=(const DelayRelay&) = delete;

    int port() const { return m_port; }

    // Takes effect for the bytes read from now on; each direction is held
    // back by half of it.
    void setRoundTrip(std::chrono::microseconds roundTrip)
    {
        m_oneWayNs = std::chrono::duration_cast<std::chrono::nanoseconds>(roundTrip).count() / 2;
    }
    std::chrono::microseconds roundTrip() const
    {
        return std::chrono::microseconds(m_oneWayNs.load() * 2 / 1000);
    }

    // TDS messages sent towards the server (requests) and back (replies),
    // over every connection since the relay started; a connection whose
    // stream could not be followed counts in unreadable().
    std::uint64_t requests() const { return sum(&Direction::toServer, nullptr); }
    std::uint64_t requests(std::uint8_t type) const { return sum(&Direction::toServer, &type); }
    std::uint64_t replies() const { return sum(&Direction::toClient, nullptr); }
    // TLS application records sent towards the server outside TDS packets:
    // what a session encrypted after its handshake sends, its login first.
    std::uint64_t encryptedRequests() const
    {
        std::lock_guard lock(m_mutex);
        std::uint64_t n = 0;
        for (const auto& c : m_counts) {
            std::lock_guard counted(c->mutex);
            n += c->counters.toServer.tlsRecords();
        }
        return n;
    }
    int connections() const { return m_connections.load(); }
    // How late the held pieces went out, on average, in microseconds: the
    // scheduler's share of a delayed round trip, which no client can avoid.
    double meanLatenessUs() const
    {
        const std::uint64_t n = m_piecesSent.load();
        return n ? static_cast<double>(m_latenessNs.load()) / 1000.0 / static_cast<double>(n) : 0;
    }
    void resetLateness()
    {
        m_latenessNs = 0;
        m_piecesSent = 0;
    }
    // From now on, keep every byte that crosses, per direction.
    void setCapture(bool on) { m_capture = on; }
    // Called with each piece read, before it is counted and forwarded, with
    // whether it goes towards the server and whether it is the connection's
    // first in that direction; it may change the bytes (tests of a relay
    // that tampers with the link). Set before any connection arrives.
    using Rewrite =
        std::function<void(bool towardsServer, bool first, std::uint8_t* data, std::size_t size)>;
    void setRewrite(Rewrite rewrite) { m_rewrite = std::move(rewrite); }
    // What was kept, every connection's bytes in the order they connected.
    std::string captured(bool towardsServer) const
    {
        std::lock_guard lock(m_mutex);
        std::string all;
        for (const auto& c : m_counts) {
            std::lock_guard counted(c->mutex);
            all += towardsServer ? c->capture.toServer : c->capture.toClient;
        }
        return all;
    }

    int unreadable() const
    {
        std::lock_guard lock(m_mutex);
        int n = 0;
        for (const auto& c : m_counts) {
            std::lock_guard counted(c->mutex);
            n += c->lost() ? 1 : 0;
        }
        return n;
    }

private:
    struct Direction {
        TdsMessageCounter toServer, toClient;
    };
    struct Chunk {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
    };

    static sockaddr_in loopback(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }

    std::uint64_t sum(TdsMessageCounter Direction::*side, const std::uint8_t* type) const
    {
        std::lock_guard lock(m_mutex);
        std::uint64_t n = 0;
        for (const auto& c : m_counts) {
            std::lock_guard counted(c->mutex);
            const TdsMessageCounter& counter = c->counters.*side;
            n += type ? counter.messages(*type) : counter.messages();
        }
        return n;
    }

    void acceptLoop()
    {
        for (;;) {
            pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents)
                return;
            if (!(fds[0].revents & POLLIN))
                continue;
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in target = loopback(m_target);
            if (server < 0 ||
                ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
                ::close(client);
                if (server >= 0)
                    ::close(server);
                continue;
            }
            for (int fd : {client, server}) {
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            }
            auto link = std::make_shared<Link>(client, server);
            {
                std::lock_guard lock(m_mutex);
                m_counts.push_back(link);
                m_pumps.emplace_back([this, link] {
                    pump(link->client, link->server, link->counters.toServer,
                         link->capture.toServer, *link, true);
                });
                m_pumps.emplace_back([this, link] {
                    pump(link->server, link->client, link->counters.toClient,
                         link->capture.toClient, *link, false);
                });
            }
            ++m_connections;
        }
    }

    // One connection: both sockets, closed when both directions are done.
    struct Link {
        Link(int c, int s) : client(c), server(s) {}
        ~Link()
        {
            ::close(client);
            ::close(server);
        }
        int client, server;
        std::mutex mutex; // guards counters and capture
        Direction counters;
        struct {
            std::string toServer, toClient;
        } capture;
        bool lost() const { return counters.toServer.lost() || counters.toClient.lost(); }
    };

    static bool writeAll(int fd, const std::vector<std::uint8_t>& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return true;
    }

    // Reads `from`, holds each piece until it is due, writes it to `to`.
    // The wait for the next due piece is a ppoll with a timer slack of one
    // nanosecond, so a piece goes out within microseconds of its time
    // instead of the default slack's fifty.
    void pump(int from, int to, TdsMessageCounter& counter, std::string& capture, Link& link,
              bool towardsServer)
    {
        bool first = true;
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        std::deque<Chunk> held;
        bool open = true;
        std::vector<std::uint8_t> buffer(64 * 1024);
        while (open || !held.empty()) {
            timespec wait{};
            timespec* timeout = nullptr;
            if (!held.empty()) {
                const auto left =
                    std::max(held.front().due - Clock::now(), Clock::duration::zero());
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                wait.tv_sec = ns / 1000000000;
                wait.tv_nsec = ns % 1000000000;
                timeout = &wait;
            }
            pollfd fds[2] = {{open ? from : -1, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (::ppoll(fds, 2, timeout, nullptr) < 0 && errno != EINTR)
                break;
            if (fds[1].revents)
                break;
            if (fds[0].revents) {
                const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
                if (n > 0) {
                    if (m_rewrite)
                        m_rewrite(towardsServer, first, buffer.data(), std::size_t(n));
                    first = false;
                    {
                        std::lock_guard lock(link.mutex);
                        counter.feed(buffer.data(), std::size_t(n));
                        if (m_capture)
                            capture.append(reinterpret_cast<const char*>(buffer.data()),
                                           std::size_t(n));
                    }
                    held.push_back({Clock::now() + std::chrono::nanoseconds(m_oneWayNs.load()),
                                    {buffer.begin(), buffer.begin() + n}});
                } else if (n == 0 || errno != EINTR) {
                    open = false;
                }
            }
            while (!held.empty() && held.front().due <= Clock::now()) {
                m_latenessNs += std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    Clock::now() - held.front().due)
                                    .count();
                ++m_piecesSent;
                if (!writeAll(to, held.front().bytes)) {
                    held.clear();
                    open = false;
                    break;
                }
                held.pop_front();
            }
        }
        // The other side learns of the end once everything before it is through.
        ::shutdown(to, SHUT_WR);
        ::shutdown(from, SHUT_RD);
    }

    int m_target;
    int m_stop;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<std::int64_t> m_oneWayNs{0};
    std::atomic<int> m_connections{0};
    std::atomic<bool> m_capture{false};
    Rewrite m_rewrite;
    std::atomic<std::int64_t> m_latenessNs{0};
    std::atomic<std::uint64_t> m_piecesSent{0};
    mutable std::mutex m_mutex; // guards m_counts and m_pumps
    std::vector<std::shared_ptr<Link>> m_counts;
    std::vector<std::thread> m_pumps;
    std::thread m_acceptor;
};

} // namespace bench
