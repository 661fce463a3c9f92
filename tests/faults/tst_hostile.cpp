// Hostile and careless clients against `lectora-server` run as a process of
// its own, over loopback: sockets that never log in, unfinished messages,
// large batches, a full server and wrong logins. Every wait is bounded.
#include "bench/BenchKit.h"
#include "bench/RawClient.h"
#include "server/Admission.h"
#include "server/EmbeddedServer.h"
#include "server/tds/Wire.h"
#include "tests/support/TdsRequests.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>

#include <atomic>
#include <future>
#include <memory>
#include <sys/resource.h>

using namespace lectora::server;
using bench::closedByServer;
using bench::dial;

namespace
{

using Clock = std::chrono::steady_clock;

// A command every logged-in client may run.
const std::string kCommand = "EXECUTE sp_KVR_Persona 'demo','demo'";

QString serverBinary()
{
    return QCoreApplication::applicationDirPath() + "/../server/lectora-server";
}

// A driver login and one command on another thread, given `limit` to end;
// the exception text when it failed, "timed out" when it did not end.
QString loginWithin(int port, std::chrono::milliseconds limit,
                    const std::string& password = "tolvexra")
{
    auto done = std::make_shared<std::promise<std::string>>();
    auto result = done->get_future();
    std::string cs = bench::odbcConnectionString(port);
    cs.replace(cs.find("PWD=tolvexra"), 12, "PWD=" + password);
    std::thread([cs, done] {
        try {
            bench::BareOdbc odbc(cs);
            odbc.exec(kCommand);
            done->set_value({});
        } catch (const std::exception& e) {
            done->set_value(e.what());
        }
    }).detach();
    return QString::fromStdString(
        result.wait_for(limit) == std::future_status::ready ? result.get() : "timed out");
}

// Polls `fds` until the server has closed every one of them or `limit` passed.
std::size_t waitClosed(const std::vector<int>& fds, std::chrono::seconds limit)
{
    const auto until = Clock::now() + limit;
    std::size_t closed = 0;
    while (Clock::now() < until) {
        closed = std::count_if(fds.begin(), fds.end(), closedByServer);
        if (closed == fds.size())
            break;
        QThread::msleep(100);
    }
    return closed;
}

void closeAll(std::vector<int>& fds)
{
    for (int fd : fds)
        if (fd >= 0)
            ::close(fd);
    fds.clear();
}

// A client of our own on a raw socket, in clear: what a driver sends, or
// what someone who wants the server's memory or its passwords sends.
struct RawSession {
    int fd;
    lectora::server::tds::Deframer in;

    explicit RawSession(int port) : fd(dial(port)) {}
    ~RawSession()
    {
        if (fd >= 0)
            ::close(fd);
    }

    bool send(lectora::server::tds::PacketType type, const std::string& payload) const
    {
        const std::string bytes = lectora::server::tds::framePackets(type, payload, 0);
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // The next reply; empty when none came by `until` or the server closed.
    std::string reply(Clock::time_point until)
    {
        char buffer[8192];
        for (;;) {
            if (auto m = in.next())
                return m->payload;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                return {};
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return {};
            in.append(std::string_view(buffer, std::size_t(n)));
        }
    }
    // The answer to a login as `password`, after a PRELOGIN that asks for no TLS.
    std::string login(const std::string& password, Clock::time_point until)
    {
        using lectora::server::tds::PacketType;
        if (fd < 0 || !send(PacketType::PreLogin, preLoginRequest(0x02)) || reply(until).empty() ||
            !send(PacketType::Login7, login7Request("sa", password)))
            return {};
        return reply(until);
    }
};

bool holds(const std::string& reply, const char* text)
{
    return reply.find(lectora::server::tds::utf8ToUtf16le(text)) != std::string::npos;
}

// A batch request: its headers, then the text.
std::string batchRequest(const std::string& text)
{
    lectora::server::tds::Writer w;
    w.u32le(22);
    w.u32le(18);
    w.u16le(2);
    w.bytes(std::string(8, '\0'));
    w.u32le(1);
    w.bytes(lectora::server::tds::utf8ToUtf16le(text));
    return std::move(w.data());
}

} // namespace

class HostileClients : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // 600 sockets of our own beside the driver's.
        rlimit files{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &files) == 0);
        files.rlim_cur = files.rlim_max;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &files) == 0);
        QVERIFY2(files.rlim_cur >= 1024, "too few file descriptors for the lock-out drill");
        QVERIFY2(QFile::exists(serverBinary()), qPrintable(serverBinary()));
    }

    // Who makes room for a newcomer, and when it is refused instead.
    void admission_data()
    {
        QTest::addColumn<QStringList>("occupants"); // "id address in|out", oldest first
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected"); // admit, evict N, refuse LIMIT

        QTest::newRow("room") << QStringList{"1 a in", "2 b out"} << "a"
                              << "admit";
        QTest::newRow("full: oldest not logged in goes")
            << QStringList{"1 a in", "2 b out", "3 a out", "4 c in"} << "c"
            << "evict 2";
        QTest::newRow("full and all logged in")
            << QStringList{"1 a in", "2 b in", "3 a in", "4 c in"} << "d"
            << "refuse 4";
        QTest::newRow("share: the address gives up its own, not an older stranger's")
            << QStringList{"1 b out", "2 a in", "3 a out"} << "a"
            << "evict 3";
        QTest::newRow("share all logged in, room elsewhere")
            << QStringList{"1 b out", "2 a in", "3 a in"} << "a"
            << "refuse 2";
        QTest::newRow("another address within its share") << QStringList{"1 a in", "2 a in"} << "b"
                                                          << "admit";
    }
    void admission()
    {
        QFETCH(QStringList, occupants);
        QFETCH(QString, address);
        QFETCH(QString, expected);
        std::vector<Occupant> list;
        for (const QString& o : occupants) {
            const QStringList f = o.split(' ');
            list.push_back({f[0].toInt(), f[1].toStdString(), f[2] == "in"});
        }
        const Admission a = admit(list, address.toStdString(), ConnectionLimits{4, 2});
        const QString got = a.kind == Admission::Kind::Admit ? QStringLiteral("admit")
                            : a.kind == Admission::Kind::Evict
                                ? QStringLiteral("evict %1").arg(a.evict)
                                : QStringLiteral("refuse %1").arg(a.limit);
        QCOMPARE(got, expected);
    }

    // 600 idle sockets and 4 that sent half a header do not keep a terminal
    // out; the login deadline closes them all, and not the terminal's
    // session, which outlives it.
    void idleSocketsDoNotLockOut()
    {
        bench::ServerProcess server(serverBinary(), {"--login-deadline", "2"});
        QVERIFY(server.ready());
        std::vector<int> strangers;
        for (int i = 0; i < 604; ++i) {
            strangers.push_back(dial(server.port));
            QVERIFY(strangers.back() >= 0);
            if (i >= 600)
                bench::sendHalfHeader(strangers.back());
        }
        QThread::msleep(200);
        QCOMPARE(loginWithin(server.port, std::chrono::seconds(2)), QString());
        bench::BareOdbc terminal(bench::odbcConnectionString(server.port));
        QCOMPARE(waitClosed(strangers, std::chrono::seconds(6)), strangers.size());
        terminal.exec(kCommand);
        closeAll(strangers);
    }

    // 32 connections pushing a PRELOGIN that never ends are cut off after a
    // small message's worth, and the server's memory stays small.
    void unfinishedPreLoginsStaySmall()
    {
        bench::ServerProcess server(serverBinary());
        QVERIFY(server.ready());
        std::atomic<int> cutOff{0};
        std::atomic<long> peakKb{server.rssKb()};
        std::vector<std::thread> pushers;
        const auto until = Clock::now() + std::chrono::seconds(5);
        for (int i = 0; i < 32; ++i)
            pushers.emplace_back([&] {
                const int fd = dial(server.port);
                const std::string packet = bench::unfinishedPacket(tds::PacketType::PreLogin);
                while (Clock::now() < until)
                    if (::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) <= 0) {
                        ++cutOff;
                        break;
                    }
                ::close(fd);
            });
        while (Clock::now() < until && cutOff < 32) {
            peakKb = std::max(peakKb.load(), server.rssKb());
            QThread::msleep(50);
        }
        for (auto& t : pushers)
            t.join();
        QVERIFY2(peakKb < 100 * 1024, qPrintable(QString::number(peakKb / 1024) + " MB"));
        QCOMPARE(cutOff.load(), 32);
        QCOMPARE(loginWithin(server.port, std::chrono::seconds(5)), QString());
    }

    // 32 logged-in connections each push a batch that never ends: each is
    // answered with SQL Server's error for a request it has no memory for
    // once it passes the cap (or the budget all of them share), the server
    // stays small meanwhile, and its memory comes back once they close.
    void oversizedBatchesAreRefused()
    {
        bench::ServerProcess server(serverBinary());
        QVERIFY(server.ready());
        QCOMPARE(loginWithin(server.port, std::chrono::seconds(5)), QString());
        const long startKb = server.rssKb();
        std::vector<std::unique_ptr<RawSession>> sessions;
        std::atomic<int> refused{0};
        std::atomic<int> running{32};
        std::vector<std::thread> pushers;
        for (int i = 0; i < 32; ++i) {
            sessions.push_back(std::make_unique<RawSession>(server.port));
            pushers.emplace_back([&, s = sessions.back().get()] {
                const auto until = Clock::now() + std::chrono::seconds(20);
                const std::string packet = bench::unfinishedPacket(tds::PacketType::SqlBatch);
                if (holds(s->login("tolvexra", until), "Microsoft SQL Server")) {
                    pollfd p{s->fd, POLLIN, 0};
                    for (int sent = 0; sent < 4096 && ::poll(&p, 1, 0) == 0; ++sent)
                        if (::send(s->fd, packet.data(), packet.size(), MSG_NOSIGNAL) <= 0)
                            break;
                    refused += holds(s->reply(until), "insufficient system memory");
                }
                --running;
            });
        }
        long peakKb = startKb;
        while (running > 0) {
            peakKb = std::max(peakKb, server.rssKb());
            QThread::msleep(20);
        }
        for (auto& t : pushers)
            t.join();
        peakKb = std::max(peakKb, server.rssKb());
        QCOMPARE(refused.load(), 32);
        QVERIFY2(peakKb < 100 * 1024, qPrintable(QString::number(peakKb / 1024) + " MB"));
        qInfo("RSS %ld MB at start, %ld MB at the peak", startKb / 1024, peakKb / 1024);
        sessions.clear();
        long afterKb = server.rssKb();
        for (int i = 0; i < 50 && afterKb - startKb >= 20 * 1024; ++i) {
            QThread::msleep(100);
            afterKb = server.rssKb();
        }
        qInfo("RSS %ld MB after they closed", afterKb / 1024);
        QVERIFY2(afterKb - startKb < 20 * 1024,
                 qPrintable(QStringLiteral("%1 MB at start, %2 MB at the peak, %3 MB after")
                                .arg(startKb / 1024)
                                .arg(peakKb / 1024)
                                .arg(afterKb / 1024)));
    }

    // 64 connections from one address guess passwords as fast as they are
    // answered, the server's login or an operator's through the login
    // procedure: the answers come one at a time with the growing delay, so
    // together they get no more than 2 a second; none is shut out for good.
    void parallelWrongLoginsTakeTurns_data()
    {
        QTest::addColumn<bool>("operatorPassword");
        QTest::newRow("server login") << false;
        QTest::newRow("operator password") << true;
    }
    void parallelWrongLoginsTakeTurns()
    {
        QFETCH(bool, operatorPassword);
        bench::ServerProcess server(serverBinary());
        QVERIFY(server.ready());
        constexpr int kSeconds = 8;
        const auto until = Clock::now() + std::chrono::seconds(kSeconds);
        std::atomic<int> answered{0};
        std::vector<std::thread> guessers;
        for (int i = 0; i < 64; ++i)
            guessers.emplace_back([&] {
                if (!operatorPassword) {
                    while (Clock::now() < until) {
                        RawSession s(server.port);
                        answered += holds(s.login("Wrong-Pw", until), "Login failed");
                    }
                    return;
                }
                RawSession s(server.port);
                if (!holds(s.login("tolvexra", until), "Microsoft SQL Server"))
                    return;
                const std::string guess = batchRequest("EXECUTE sp_KVR_Persona 'demo','nope'");
                while (s.send(lectora::server::tds::PacketType::SqlBatch, guess) &&
                       !s.reply(until).empty())
                    ++answered;
            });
        for (auto& t : guessers)
            t.join();
        const double rate = answered.load() / double(kSeconds);
        qInfo("%d answers in %d s", answered.load(), kSeconds);
        QVERIFY2(
            answered.load() >= 3 && rate <= 2.0,
            qPrintable(QStringLiteral("%1 answers in %2 s").arg(answered.load()).arg(kSeconds)));
    }

    // Memory taken by large batches is given back once their sessions close.
    void largeBatchesGiveMemoryBack()
    {
        bench::ServerProcess server(serverBinary());
        QVERIFY(server.ready());
        QCOMPARE(loginWithin(server.port, std::chrono::seconds(5)), QString());
        const long startKb = server.rssKb();
        // A series no product has: the procedure answers with its error.
        const std::string text =
            "EXECUTE sp_KVR_ObtieneIDProducto '" + std::string(1000000, 'a') + "'";
        for (int i = 0; i < 40; ++i) {
            bench::BareOdbc odbc(bench::odbcConnectionString(server.port));
            QVERIFY_THROWS_EXCEPTION(std::runtime_error, odbc.exec(text));
        }
        // The last session's thread ends just after the client has left.
        long afterKb = server.rssKb();
        for (int i = 0; i < 20 && afterKb - startKb >= 20 * 1024; ++i) {
            QThread::msleep(100);
            afterKb = server.rssKb();
        }
        QVERIFY2(afterKb - startKb < 20 * 1024,
                 qPrintable(QStringLiteral("%1 MB at start, %2 MB after")
                                .arg(startKb / 1024)
                                .arg(afterKb / 1024)));
    }

    // At the cap a socket that has not logged in gives its place to a
    // terminal; when every place is logged in the newcomer is told why in
    // the error its driver shows; a quiet session ends at the idle timeout.
    void fullServerAnswersWithAnError()
    {
        bench::ServerProcess server(serverBinary(),
                                    {"--max-connections", "2", "--max-per-address", "2",
                                     "--idle-timeout", "2", "--login-deadline", "30"});
        QVERIFY(server.ready());
        bench::BareOdbc first(bench::odbcConnectionString(server.port));
        std::vector<int> stranger{dial(server.port, "127.0.0.2")};
        QThread::msleep(100);
        auto second = std::make_unique<bench::BareOdbc>(bench::odbcConnectionString(server.port));
        QCOMPARE(waitClosed(stranger, std::chrono::seconds(2)), std::size_t(1));
        closeAll(stranger);

        const QString refused = loginWithin(server.port, std::chrono::seconds(5));
        QVERIFY2(refused.contains("[17809]"), qPrintable(refused));
        QVERIFY2(refused.contains("maximum number of '2' user connections"), qPrintable(refused));

        // Both places stay quiet past the idle timeout; the one kept busy lives on.
        for (int i = 0; i < 6; ++i) {
            second->exec(kCommand);
            QThread::msleep(500);
        }
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, first.exec(kCommand));
        second.reset();
        QCOMPARE(loginWithin(server.port, std::chrono::seconds(5)), QString());
    }

    // A wrong server login is journaled with the name and the address it
    // came from, never with the password.
    void wrongLoginsAreJournaledWithoutThePassword()
    {
        QTemporaryDir dir;
        const QString journal = dir.filePath("journal.log");
        bench::ServerProcess server(serverBinary(), {"--journal", journal});
        QVERIFY(server.ready());
        const std::string secret = "Wrong-Pw-4kZ9";
        for (int i = 0; i < 2; ++i) {
            const QString refused = loginWithin(server.port, std::chrono::seconds(5), secret);
            QVERIFY2(refused.contains("[18456]"), qPrintable(refused));
        }
        QFile f(journal);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray lines = f.readAll();
        QCOMPARE(lines.count("login refused for 'sa' from 127.0.0.1"), 2);
        QVERIFY(!lines.contains(QByteArray::fromStdString(secret)));
    }

    // Procedures learn the address a call came from (limits are kept per address).
    void callsCarryThePeerAddress()
    {
        EmbeddedServer server;
        server.start();
        std::string client;
        server.script("sp_Quien", [&](Call& call) {
            client = call.client;
            ResultSet rs;
            rs.columns = {Column{"Listo", ColumnType::Int}};
            rs.rows.push_back({Value(std::int64_t{1})});
            return Reply::rows(std::move(rs));
        });
        bench::BareOdbc odbc(bench::odbcConnectionString(server.port()));
        odbc.exec("EXECUTE sp_Quien");
        QCOMPARE(client, std::string("127.0.0.1"));
    }
};

QTEST_GUILESS_MAIN(HostileClients)
#include "tst_hostile.moc"
