// The PRELOGIN/TLS state machine of one connection under arbitrary input,
// through the real packet loop on one end of a socket pair. The first byte
// picks where the input goes:
//   0  after a PRELOGIN asking for TLS, where the wrapped handshake is due;
//   1  after a real client hello cut where the second byte says;
//   2  behind a real client hello sent bare, where clear TDS is due;
//   3  after a real handshake, sealed by the client: any TDS inside TLS;
//   4  after a real handshake, bare, where records are due.
// Bit 0x08 asks for the login only rather than the whole session. The loop
// must end the connection (never the process) on whatever it cannot use.
#include "server/Journal.h"
#include "server/ProcedureHost.h"
#include "server/tds/Wire.h"
#include "server/tds/Login.h"
#include "server/tds/PacketLoop.h"
#include "server/tds/Session.h"
#include "server/tds/Tls.h"
#include "tests/server/TlsTestClient.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace lectora::server;
using namespace lectora::server::tds;

namespace
{

struct World {
    ProcedureRegistry registry;
    ProcedureHost host{registry, [](std::string_view) { return nullptr; }};
    Journal journal;
    std::shared_ptr<const TlsCredentials> tls;
    std::string certificate;
    World()
    {
        char folder[] = "/tmp/fuzz-tls-XXXXXX";
        if (!::mkdtemp(folder))
            std::abort();
        const SelfSignedFiles files = ensureSelfSigned(folder, "127.0.0.1");
        tls = TlsCredentials::load(files.certificate, files.key);
        certificate = files.certificate.string();
    }
};

// Writes all of `bytes`; false once the server has gone.
bool put(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

// The server's next PRELOGIN-wrapped message, unwrapped; empty when it closed.
std::string wrappedReply(int fd, Deframer& in)
{
    char buffer[16384];
    for (;;) {
        if (auto m = in.next())
            return m->payload;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0)
            return {};
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return {};
        in.append(std::string_view(buffer, std::size_t(n)));
    }
}

std::string preLogin(bool loginOnly)
{
    return framePackets(PacketType::PreLogin, preLoginAnswer(loginOnly ? EncryptOff : EncryptOn),
                        0);
}

// Runs a real handshake from the client end; false when the server left.
bool shake(int fd, TlsTestClient& client, Deframer& in)
{
    int state = client.step({});
    for (int round = 0; round < 10 && state == 0; ++round) {
        if (!put(fd, framePackets(PacketType::PreLogin, client.take(), 0)))
            return false;
        const std::string reply = wrappedReply(fd, in);
        if (reply.empty())
            return false;
        state = client.step(reply);
    }
    const std::string last = client.take();
    return state == 1 && (last.empty() || put(fd, framePackets(PacketType::PreLogin, last, 0)));
}

void drive(int fd, const World& world, std::string_view input)
{
    const std::uint8_t mode = input.empty() ? 0 : std::uint8_t(input[0]);
    const bool loginOnly = mode & 0x08;
    input.remove_prefix(input.empty() ? 0 : 1);
    Deframer in;
    TlsTestClient client(world.certificate, "127.0.0.1");
    switch (mode % 5) {
    case 0:
        if (!put(fd, preLogin(loginOnly)) || wrappedReply(fd, in).empty())
            return;
        break;
    case 1: {
        if (!put(fd, preLogin(loginOnly)) || wrappedReply(fd, in).empty())
            return;
        client.step({});
        const std::string hello = framePackets(PacketType::PreLogin, client.take(), 0);
        const std::size_t cut = input.empty() ? 0 : hello.size() * std::uint8_t(input[0]) / 256;
        if (!put(fd, std::string_view(hello).substr(0, cut)))
            return;
        break;
    }
    case 2:
        client.step({});
        if (!put(fd, client.take()))
            return;
        break;
    case 3:
    case 4:
        if (!put(fd, preLogin(loginOnly)) || wrappedReply(fd, in).empty() || !shake(fd, client, in))
            return;
        if (mode % 5 == 3) {
            put(fd, client.seal(std::string(input)));
            return;
        }
        break;
    }
    put(fd, input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static World world;
    world.journal.clear();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    std::thread server([&] {
        SessionContext c;
        c.login = "sa";
        c.password = "tolvexra";
        c.registry = &world.registry;
        c.host = &world.host;
        c.journal = &world.journal;
        c.resolveCatalogue = [](std::string_view db) { return std::string(db); };
        c.encryption = ServerEncryption::On;
        c.tls = world.tls;
        Session session(c, 1);
        servePackets(pair[1], session);
        ::shutdown(pair[1], SHUT_RDWR);
    });
    drive(pair[0], world, std::string_view(reinterpret_cast<const char*>(data), size));
    // The client is done: the loop must finish whatever it holds and return.
    ::shutdown(pair[0], SHUT_WR);
    char sink[4096];
    while (::recv(pair[0], sink, sizeof sink, 0) > 0) {
    }
    server.join();
    ::close(pair[0]);
    ::close(pair[1]);
    return 0;
}
