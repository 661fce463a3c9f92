#pragma once
// Sockets the same way on every platform the terminal and the stand-in run
// on. Everything above this unit speaks of `net::Socket` and these calls;
// which system interface answers them (BSD sockets, Winsock) is decided
// here and nowhere else. No call ever raises SIGPIPE; errors come back as
// numbers that the predicates below classify and errorText() words.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace lectora::net
{

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// What a wait asks for or reports.
enum Events : short {
    kReadable = 1,
    kWritable = 2,
    kBroken = 4, // reported only: hung up or failed
};

struct Waiter {
    Socket socket = kNoSocket;
    short events = 0; // 0: wait only for the link to break
    short ready = 0;
};

// The last error of a socket call on this thread.
int lastError();
std::string errorText(int error);
bool interrupted(int error);
bool wouldBlock(int error);
bool addressInUse(int error);
bool outOfDescriptors(int error);

// Waits until one of `waiters` is ready or `timeoutMs` (-1: no limit) has
// passed: the number ready, 0 on time out, -1 on error.
int wait(Waiter* waiters, std::size_t count, int timeoutMs);
// One socket: true when it is ready for `events` before `timeoutMs`.
bool waitOne(Socket socket, short events, int timeoutMs);

// Never blocks, never raises SIGPIPE: the bytes taken, or -1 (lastError()).
long sendNow(Socket socket, const char* bytes, std::size_t size);
// Never blocks: the bytes read, 0 when the peer closed, -1 (lastError()).
long receiveNow(Socket socket, char* into, std::size_t size);

void close(Socket socket);
// Ends both directions so that a thread waiting on it wakes up.
void shutdownBoth(Socket socket);

// A listening IPv4 socket on `host` ("", "localhost" or a dotted address)
// and `port` (0: any free one); `boundPort` gets the port taken. Throws
// std::runtime_error saying why not.
Socket listenTcp(const std::string& host, int port, int& boundPort);
// The next connection, tuned for prompt replies and noticing dead peers;
// kNoSocket when none could be taken (lastError() tells why). `peer` gets
// its dotted address.
Socket accept(Socket listener, std::string& peer);

// Connects to `host`:`port` (any address family the name resolves to)
// before `deadline`; kNoSocket when it cannot.
Socket connectTcp(const std::string& host, int port,
                  std::chrono::steady_clock::time_point deadline);

// Whether `text` is an IPv4 or IPv6 address, and the text of an address's
// 4 or 16 bytes ("" for any other length).
bool isIpAddress(const std::string& text);
std::string addressText(const unsigned char* bytes, std::size_t length);

// The machine's own name, "" when it has none.
std::string hostName();

// Wakes a thread blocked in wait(): one side is waited on, the other
// signalled from any thread.
class Wakeup
{
public:
    Wakeup(); // throws std::runtime_error when the system cannot make one
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    Socket waitable() const { return m_read; }
    void signal();

private:
    Socket m_read = kNoSocket;
    Socket m_write = kNoSocket;
};

} // namespace lectora::net
