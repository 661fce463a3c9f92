// Winsock 2. Sockets taken or made here are non-blocking, which stands in
// for the per-call MSG_DONTWAIT of BSD sockets; Winsock raises no SIGPIPE.
#include "platform/Net.h"
#include "platform/WindowsText.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <climits>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace lectora::net
{

namespace
{

// Winsock wants WSAStartup before the first call; once is enough.
void started()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
            throw std::runtime_error("cannot start Winsock");
    });
}

SOCKET sock(Socket s)
{
    return static_cast<SOCKET>(s);
}

void nonBlocking(SOCKET s)
{
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
}

void tune(SOCKET s)
{
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // The same two minutes as elsewhere: 60 s idle, then probes 10 s apart.
    tcp_keepalive keep{1, 60000, 10000};
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &returned, nullptr, nullptr);
}

std::string wsaText(int error)
{
    return windows::errorText(static_cast<unsigned long>(error));
}

} // namespace

int lastError()
{
    return ::WSAGetLastError();
}

std::string errorText(int error)
{
    return wsaText(error);
}

bool interrupted(int error)
{
    return error == WSAEINTR;
}

bool wouldBlock(int error)
{
    return error == WSAEWOULDBLOCK;
}

bool addressInUse(int error)
{
    return error == WSAEADDRINUSE;
}

bool outOfDescriptors(int error)
{
    return error == WSAEMFILE || error == WSAENOBUFS;
}

int wait(Waiter* waiters, std::size_t count, int timeoutMs)
{
    std::vector<WSAPOLLFD> p(count);
    for (std::size_t i = 0; i < count; ++i) {
        const short e = waiters[i].events;
        p[i].fd = sock(waiters[i].socket);
        p[i].events = short((e & kReadable ? POLLRDNORM : 0) | (e & kWritable ? POLLWRNORM : 0));
        p[i].revents = 0;
    }
    const int r = ::WSAPoll(p.data(), ULONG(p.size()), timeoutMs);
    for (std::size_t i = 0; i < count; ++i) {
        const short got = p[i].revents;
        waiters[i].ready = r > 0 ? short((got & (POLLRDNORM | POLLRDBAND) ? kReadable : 0) |
                                         (got & POLLWRNORM ? kWritable : 0) |
                                         (got & (POLLERR | POLLHUP | POLLNVAL) ? kBroken : 0))
                                 : 0;
    }
    return r == SOCKET_ERROR ? -1 : r;
}

bool waitOne(Socket socket, short events, int timeoutMs)
{
    Waiter w{socket, events, 0};
    return wait(&w, 1, timeoutMs) > 0;
}

long sendNow(Socket socket, const char* bytes, std::size_t size)
{
    const int n = ::send(sock(socket), bytes, int(std::min<std::size_t>(size, INT_MAX)), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long receiveNow(Socket socket, char* into, std::size_t size)
{
    const int n = ::recv(sock(socket), into, int(std::min<std::size_t>(size, INT_MAX)), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void close(Socket socket)
{
    if (socket != kNoSocket)
        ::closesocket(sock(socket));
}

void shutdownBoth(Socket socket)
{
    ::shutdown(sock(socket), SD_BOTH);
}

Socket listenTcp(const std::string& host, int port, int& boundPort)
{
    started();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    const std::string h = host.empty() || host == "localhost" ? "127.0.0.1" : host;
    if (::inet_pton(AF_INET, h.c_str(), &addr.sin_addr) != 1)
        throw std::runtime_error("cannot listen on " + host + ": not an IPv4 address");
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("cannot create a socket: " + wsaText(::WSAGetLastError()));
    // Windows lets SO_REUSEADDR steal a port in use; exclusive use is what
    // the other platforms' default means.
    const BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                 sizeof one);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = ::WSAGetLastError();
        ::closesocket(s);
        if (err == WSAEADDRINUSE || err == WSAEACCES)
            throw std::runtime_error("port " + std::to_string(port) + " on " + h +
                                     " is already in use");
        throw std::runtime_error("cannot listen on " + h + ":" + std::to_string(port) + ": " +
                                 wsaText(err));
    }
    if (::listen(s, 128) != 0) {
        const int err = ::WSAGetLastError();
        ::closesocket(s);
        throw std::runtime_error("cannot listen: " + wsaText(err));
    }
    int len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    boundPort = ntohs(addr.sin_port);
    return static_cast<Socket>(s);
}

Socket accept(Socket listener, std::string& peer)
{
    sockaddr_in from{};
    int length = sizeof from;
    const SOCKET s = ::accept(sock(listener), reinterpret_cast<sockaddr*>(&from), &length);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    nonBlocking(s);
    tune(s);
    char text[INET_ADDRSTRLEN] = {};
    peer = length >= int(sizeof from) && from.sin_family == AF_INET &&
                   ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text)
               ? text
               : "";
    return static_cast<Socket>(s);
}

Socket connectTcp(const std::string& host, int port,
                  std::chrono::steady_clock::time_point deadline)
{
    started();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return kNoSocket;
    SOCKET connected = INVALID_SOCKET;
    for (addrinfo* a = found; a && connected == INVALID_SOCKET; a = a->ai_next) {
        const SOCKET s = ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET)
            continue;
        nonBlocking(s);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        int error = 0;
        int size = sizeof error;
        if (::connect(s, a->ai_addr, int(a->ai_addrlen)) == 0 ||
            (::WSAGetLastError() == WSAEWOULDBLOCK && left > 0 &&
             waitOne(static_cast<Socket>(s), kWritable, int(std::min<long long>(left, INT_MAX))) &&
             ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
             error == 0))
            connected = s;
        else
            ::closesocket(s);
    }
    ::freeaddrinfo(found);
    return connected == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(connected);
}

bool isIpAddress(const std::string& text)
{
    unsigned char address[16];
    return ::inet_pton(AF_INET, text.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, text.c_str(), address) == 1;
}

std::string addressText(const unsigned char* bytes, std::size_t length)
{
    started();
    char text[INET6_ADDRSTRLEN] = {};
    if ((length != 4 && length != 16) ||
        !::inet_ntop(length == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text))
        return {};
    return text;
}

std::string hostName()
{
    started();
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

// WSAPoll waits on sockets only: the wake-up is a connected loopback pair.
Wakeup::Wakeup()
{
    int port = 0;
    const Socket listener = listenTcp("127.0.0.1", 0, port);
    const Socket writer =
        connectTcp("127.0.0.1", port, std::chrono::steady_clock::now() + std::chrono::seconds(5));
    std::string peer;
    Socket reader = kNoSocket;
    if (writer != kNoSocket && waitOne(listener, kReadable, 5000))
        reader = accept(listener, peer);
    close(listener);
    if (reader == kNoSocket) {
        close(writer);
        throw std::runtime_error("cannot create a wake-up socket pair");
    }
    m_read = reader;
    m_write = writer;
}

Wakeup::~Wakeup()
{
    close(m_read);
    close(m_write);
}

void Wakeup::signal()
{
    const char byte = 0;
    ::send(sock(m_write), &byte, 1, 0);
}

} // namespace lectora::net
