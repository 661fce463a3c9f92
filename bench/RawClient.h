#pragma once
// What the hostile-client benchmark and the fault tests share: `lectora-server`
// run as a process of its own (so that its memory can be read from /proc),
// and raw loopback sockets that connect, send what a stranger sends, and
// tell whether the server has closed them. Header-only.

#include "wire/Packet.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench
{

// Resident memory of process `pid` in KiB, -1 when it cannot be read.
inline long rssKb(pid_t pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// A connection to 127.0.0.1:`port`, made from the loopback address `from`;
// -1 when it failed.
inline int dial(int port, const char* from = "127.0.0.1")
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the server has closed `fd` (end of stream or a reset waiting to be read).
inline bool closedByServer(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) <= 0;
}

// The first half of a PRELOGIN packet header: a message that never arrives.
inline void sendHalfHeader(int fd)
{
    using namespace lectora::wire;
    const std::string header =
        headerBytes({std::uint8_t(PacketType::PreLogin), kStatusEndOfMessage, 0x40, 0, 1, 0});
    ::send(fd, header.data(), kHeaderSize / 2, MSG_NOSIGNAL);
}

// One full-sized packet of a `type` message that goes on (no end of message),
// filled with 'x': what a client pushing an endless request sends again and
// again.
inline std::string unfinishedPacket(lectora::wire::PacketType type)
{
    using namespace lectora::wire;
    const PacketHeader header{std::uint8_t(type), 0, std::uint16_t(kPacketSize), 0, 1, 0};
    return headerBytes(header) + std::string(kPacketSize - kHeaderSize, 'x');
}

// `lectora-server` listening on a loopback port of its choosing, with a data
// folder of its own and `extra` flags; killed when this goes. ready() tells
// whether it said where it listens.
struct ServerProcess {
    pid_t pid = -1;
    int port = 0;
    QTemporaryDir data;

    explicit ServerProcess(const QString& binary, const QStringList& extra = {})
    {
        // Everything the child needs is made before fork: it only execs.
        std::vector<std::string> args{binary.toStdString(), "--listen", "127.0.0.1:0", "--data",
                                      data.path().toStdString()};
        for (const QString& e : extra)
            args.push_back(e.toStdString());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        std::fflush(stdout); // the child must not print what the parent buffered
        pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        port = listeningPort(out[0]);
        ::close(out[0]); // what it prints later (when stopping) goes nowhere
    }
    ~ServerProcess()
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    bool ready() const { return port > 0; }
    long rssKb() const { return bench::rssKb(pid); }

private:
    // The port of its "listening on HOST:PORT" line, read within 10 s; 0 without one.
    static int listeningPort(int fd)
    {
        std::string text;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            const auto at = text.find("listening on 127.0.0.1:");
            if (at != std::string::npos && text.find(' ', at + 23) != std::string::npos)
                return std::atoi(text.c_str() + at + 23);
            pollfd p{fd, POLLIN, 0};
            char buffer[512];
            const ssize_t n = ::poll(&p, 1, 100) > 0 ? ::read(fd, buffer, sizeof buffer) : -1;
            if (n == 0)
                return 0;
            if (n > 0)
                text.append(buffer, static_cast<std::size_t>(n));
        }
        return 0;
    }
};

} // namespace bench
