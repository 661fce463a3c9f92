// BSD sockets, as Linux has them.
#include "platform/Net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace lectora::net
{

namespace
{

short toPoll(short events)
{
    return short((events & kReadable ? POLLIN : 0) | (events & kWritable ? POLLOUT : 0));
}

short fromPoll(short revents)
{
    return short((revents & POLLIN ? kReadable : 0) | (revents & POLLOUT ? kWritable : 0) |
                 (revents & (POLLERR | POLLHUP | POLLNVAL) ? kBroken : 0));
}

int fd(Socket s)
{
    return static_cast<int>(s);
}

// Replies go out at once, and a peer that vanished without a word (a
// terminal switched off, a dead link) is noticed within about two minutes.
void tune(int s)
{
    const int one = 1;
    const int idle = 60;
    const int interval = 10;
    const int count = 6;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

} // namespace

int lastError()
{
    return errno;
}

std::string errorText(int error)
{
    return std::strerror(error);
}

bool interrupted(int error)
{
    return error == EINTR;
}

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

bool addressInUse(int error)
{
    return error == EADDRINUSE;
}

bool outOfDescriptors(int error)
{
    return error == EMFILE || error == ENFILE;
}

int wait(Waiter* waiters, std::size_t count, int timeoutMs)
{
    std::vector<pollfd> p(count);
    for (std::size_t i = 0; i < count; ++i)
        p[i] = {fd(waiters[i].socket), toPoll(waiters[i].events), 0};
    const int r = ::poll(p.data(), p.size(), timeoutMs);
    for (std::size_t i = 0; i < count; ++i)
        waiters[i].ready = r > 0 ? fromPoll(p[i].revents) : 0;
    return r;
}

bool waitOne(Socket socket, short events, int timeoutMs)
{
    Waiter w{socket, events, 0};
    return wait(&w, 1, timeoutMs) > 0;
}

long sendNow(Socket socket, const char* bytes, std::size_t size)
{
    return ::send(fd(socket), bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

long receiveNow(Socket socket, char* into, std::size_t size)
{
    return ::recv(fd(socket), into, size, MSG_DONTWAIT);
}

void close(Socket socket)
{
    if (socket != kNoSocket)
        ::close(fd(socket));
}

void shutdownBoth(Socket socket)
{
    ::shutdown(fd(socket), SHUT_RDWR);
}

Socket listenTcp(const std::string& host, int port, int& boundPort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const std::string h = host.empty() || host == "localhost" ? "127.0.0.1" : host;
    if (::inet_pton(AF_INET, h.c_str(), &addr.sin_addr) != 1)
        throw std::runtime_error("cannot listen on " + host + ": not an IPv4 address");
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw std::runtime_error(std::string("cannot create a socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(s);
        if (err == EADDRINUSE)
            throw std::runtime_error("port " + std::to_string(port) + " on " + h +
                                     " is already in use");
        throw std::runtime_error("cannot listen on " + h + ":" + std::to_string(port) + ": " +
                                 std::strerror(err));
    }
    if (::listen(s, 128) != 0) {
        const int err = errno;
        ::close(s);
        throw std::runtime_error(std::string("cannot listen: ") + std::strerror(err));
    }
    socklen_t len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    boundPort = ntohs(addr.sin_port);
    return s;
}

Socket accept(Socket listener, std::string& peer)
{
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int s = ::accept4(fd(listener), reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (s < 0)
        return kNoSocket;
    tune(s);
    char text[INET_ADDRSTRLEN] = {};
    peer = length >= sizeof from && from.sin_family == AF_INET &&
                   ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text)
               ? text
               : "";
    return s;
}

Socket connectTcp(const std::string& host, int port,
                  std::chrono::steady_clock::time_point deadline)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return kNoSocket;
    int connected = -1;
    for (addrinfo* a = found; a && connected < 0; a = a->ai_next) {
        const int s =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0)
            continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        int error = 0;
        socklen_t size = sizeof error;
        if (::connect(s, a->ai_addr, a->ai_addrlen) == 0 ||
            (errno == EINPROGRESS && left > 0 &&
             waitOne(s, kWritable, int(std::min<long long>(left, INT_MAX))) &&
             ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0))
            connected = s;
        else
            ::close(s);
    }
    ::freeaddrinfo(found);
    return connected;
}

bool isIpAddress(const std::string& text)
{
    unsigned char address[16];
    return ::inet_pton(AF_INET, text.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, text.c_str(), address) == 1;
}

std::string addressText(const unsigned char* bytes, std::size_t length)
{
    char text[INET6_ADDRSTRLEN] = {};
    if ((length != 4 && length != 16) ||
        !::inet_ntop(length == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text))
        return {};
    return text;
}

std::string hostName()
{
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

Wakeup::Wakeup()
{
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
    m_read = p[0];
    m_write = p[1];
}

Wakeup::~Wakeup()
{
    ::close(fd(m_read));
    ::close(fd(m_write));
}

void Wakeup::signal()
{
    const char byte = 0;
    [[maybe_unused]] auto n = ::write(fd(m_write), &byte, 1);
}

} // namespace lectora::net
