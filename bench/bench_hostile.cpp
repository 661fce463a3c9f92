// What a hostile or careless client can do to `lectora-server`, measured from
// outside over loopback: idle and half-sent connections against a real
// login, unfinished PRELOGIN messages against the server's memory, large
// batches against memory given back, and how fast wrong passwords can be
// tried. Runs the server as a process of its own (--server PATH picks the
// binary; --before PATH runs every figure on that build first, so that two
// builds are compared in one run). Prints figures; asserts nothing.
#include "bench/BenchKit.h"
#include "bench/RawClient.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace
{

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

using bench::closedByServer;
using bench::dial;
using bench::ServerProcess;

// The build a figure is for: "" alone, "[before] " or "[after] " when two are compared.
QString tag;

// A login through the driver, waited for at most `limit` seconds; -1 when
// it failed or did not finish.
double timedLogin(int port, double limit)
{
    auto done = std::make_shared<std::promise<bool>>();
    auto result = done->get_future();
    const auto t0 = Clock::now();
    std::thread([port, done] {
        try {
            bench::BareOdbc odbc(bench::odbcConnectionString(port));
            odbc.exec("EXECUTE sp_KVR_Persona 'demo','demo'");
            done->set_value(true);
        } catch (const std::exception&) {
            done->set_value(false);
        }
    }).detach();
    if (result.wait_for(std::chrono::duration<double>(limit)) != std::future_status::ready)
        return -1;
    return result.get() ? secondsSince(t0) : -1;
}

void lockout(const QString& binary)
{
    ServerProcess server(binary);
    std::vector<int> idle;
    for (int i = 0; i < 600; ++i)
        idle.push_back(dial(server.port));
    std::vector<int> half;
    for (int i = 0; i < 4; ++i) {
        const int fd = dial(server.port);
        bench::sendHalfHeader(fd);
        half.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double login = timedLogin(server.port, 10);
    std::printf("%slockout: real login with 600 idle + 4 half-header sockets open: %s\n",
                qPrintable(tag),
                login < 0 ? "refused or not within 10 s" : (std::to_string(login) + " s").c_str());
    const auto t0 = Clock::now();
    std::size_t closed = 0;
    while (secondsSince(t0) < 15) {
        closed = 0;
        for (int fd : idle)
            closed += fd >= 0 && closedByServer(fd) ? 1 : 0;
        if (closed == idle.size())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::printf("%slockout: idle sockets closed by the server: %zu of %zu after %.1f s\n",
                qPrintable(tag), closed, idle.size(), secondsSince(t0));
    for (int fd : idle)
        ::close(fd);
    for (int fd : half)
        ::close(fd);
}

void preloginPushers(const QString& binary)
{
    ServerProcess server(binary);
    const long start = server.rssKb();
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    std::vector<std::thread> pushers;
    for (int i = 0; i < 32; ++i)
        pushers.emplace_back([&] {
            const int fd = dial(server.port);
            // Packets of a PRELOGIN message that never ends.
            const std::string packet = bench::unfinishedPacket(lectora::wire::PacketType::PreLogin);
            while (!stop) {
                const ssize_t n = ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += n;
            }
            ::close(fd);
        });
    long peak = start;
    const auto t0 = Clock::now();
    // Stopped early once far past any sane figure, to spare the machine.
    while (secondsSince(t0) < 10 && peak < 1500 * 1024) {
        peak = std::max(peak, server.rssKb());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    for (auto& t : pushers)
        t.join();
    std::printf(
        "%sprelogin: 32 unfinished PRELOGIN pushers: server RSS %ld MB at start, peak %ld MB "
        "within %.1f s, %ld MB pushed\n",
        qPrintable(tag), start / 1024, peak / 1024, secondsSince(t0), sent.load() >> 20);
}

void largeBatches(const QString& binary)
{
    ServerProcess server(binary);
    {
        bench::BareOdbc warm(bench::odbcConnectionString(server.port));
        warm.exec("EXECUTE sp_KVR_Persona 'demo','demo'");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long start = server.rssKb();
    long peak = start;
    const std::string text = "EXECUTE sp_KVR_Persona '" + std::string(1000000, 'a') + "','b'";
    for (int i = 0; i < 40; ++i) {
        bench::BareOdbc odbc(bench::odbcConnectionString(server.port));
        try {
            odbc.exec(text);
        } catch (const std::exception&) {
        }
        peak = std::max(peak, server.rssKb());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("%sbatches: 40 one-million-character batches: RSS %ld MB before, peak %ld MB, "
                "%ld MB after the sessions closed\n",
                qPrintable(tag), start / 1024, peak / 1024, server.rssKb() / 1024);
}

void wrongPasswords(const QString& binary)
{
    ServerProcess server(binary);
    bench::BareOdbc odbc(bench::odbcConnectionString(server.port));
    int tries = 0;
    auto t0 = Clock::now();
    while (secondsSince(t0) < 2) {
        odbc.exec("EXECUTE sp_KVR_Persona 'demo','wrong" + std::to_string(tries) + "'");
        ++tries;
    }
    std::printf("%spasswords: wrong operator passwords tried from one address: %.0f per second\n",
                qPrintable(tag), tries / secondsSince(t0));
    tries = 0;
    t0 = Clock::now();
    std::string cs = bench::odbcConnectionString(server.port);
    cs.replace(cs.find("PWD=tolvexra"), 12, "PWD=nottheone");
    while (secondsSince(t0) < 2) {
        try {
            bench::BareOdbc bad(cs);
        } catch (const std::exception&) {
        }
        ++tries;
    }
    std::printf("%spasswords: wrong server logins tried from one address: %.0f per second\n",
                qPrintable(tag), tries / secondsSince(t0));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString binary = QCoreApplication::applicationDirPath() + "/../server/lectora-server";
    QString before;
    QStringList only;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--server" && i + 1 < args.size())
            binary = args[++i];
        else if (args[i] == "--before" && i + 1 < args.size())
            before = args[++i];
        else
            only << args[i];
    }
    std::signal(SIGPIPE, SIG_IGN);
    // 600 idle sockets and more need more descriptors than a shell gives.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    auto wanted = [&](const char* name) { return only.isEmpty() || only.contains(name); };
    const std::pair<const char*, void (*)(const QString&)> figures[] = {
        {"lockout", lockout},
        {"prelogin", preloginPushers},
        {"batches", largeBatches},
        {"passwords", wrongPasswords}};
    for (const auto& [name, run] : figures) {
        if (!wanted(name))
            continue;
        if (!before.isEmpty()) {
            tag = QStringLiteral("[before] ");
            run(before);
            tag = QStringLiteral("[after] ");
        }
        run(binary);
    }
    std::fflush(stdout);
    ::_exit(0); // a login still waiting in a detached thread must not hold the exit
}
