// Round trips against the stand-in over loopback: the terminal's path (Qt
// QODBC -> unixODBC -> FreeTDS) beside bare ODBC calls through the same
// driver without Qt, for 1 and 32 clients. Prints latency percentiles and
// commands per second; nothing here asserts.
#include "bench/BenchKit.h"
#include "server/EmbeddedServer.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace
{

const char* const kCommand = "EXECUTE sp_KVR_Persona 'demo','demo'";

struct Result {
    std::vector<double> micros; // one per command, every client
    double seconds = 0;
    int errors = 0;
};

// Each client connects, warms up, waits for the others, then runs `count`
// commands; the wall time covers the timed part only.
template <typename Client> Result runClients(int clients, int count, Client client)
{
    Result result;
    std::vector<std::vector<double>> perClient(clients);
    std::atomic<int> errors{0};
    std::barrier start(clients + 1);
    std::barrier finish(clients + 1);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] { client(c, count, perClient[c], errors, start, finish); });
    start.arrive_and_wait();
    const auto t0 = Clock::now();
    finish.arrive_and_wait();
    result.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    for (auto& t : threads)
        t.join();
    for (auto& v : perClient)
        result.micros.insert(result.micros.end(), v.begin(), v.end());
    result.errors = errors;
    return result;
}

// One client's part: warm up, wait for the others, time `n` commands one by
// one, and say when done.
template <typename Once, typename Barrier>
void timedRuns(Once& once, int n, std::vector<double>& micros, Barrier& start, Barrier& finish)
{
    for (int i = 0; i < 50; ++i)
        once();
    start.arrive_and_wait();
    micros.reserve(n);
    for (int i = 0; i < n; ++i) {
        const auto t = Clock::now();
        once();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    finish.arrive_and_wait();
}

// --- the terminal's path ----------------------------------------------------------

Result qtClients(int port, int clients, int count)
{
    return runClients(
        clients, count,
        [port](int c, int n, std::vector<double>& micros, std::atomic<int>& errors, auto& start,
               auto& finish) {
            const QString name = QString("bench%1").arg(c);
            {
                QSqlDatabase db = QSqlDatabase::addDatabase("QODBC", name);
                db.setDatabaseName(QString::fromStdString(bench::odbcConnectionString(port)));
                if (!db.open())
                    ++errors;
                QSqlQuery q(db);
                q.setForwardOnly(true);
                auto once = [&] {
                    if (!q.exec(kCommand) || !q.next() || q.value("ID_Persona").toInt() != 1)
                        ++errors;
                };
                timedRuns(once, n, micros, start, finish);
            }
            QSqlDatabase::removeDatabase(name);
        });
}

// --- bare ODBC through the same driver, no Qt ----------------------------------------

Result odbcClients(const bench::OdbcApi& odbc, int port, int clients, int count)
{
    return runClients(
        clients, count,
        [&odbc, port](int, int n, std::vector<double>& micros, std::atomic<int>& errors,
                      auto& start, auto& finish) {
            SQLHENV env = nullptr;
            SQLHDBC dbc = nullptr;
            SQLHSTMT stmt = nullptr;
            odbc.allocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
            odbc.setEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                            0);
            odbc.allocHandle(SQL_HANDLE_DBC, env, &dbc);
            std::string cs = bench::odbcConnectionString(port);
            const bool connected = SQL_SUCCEEDED(
                odbc.driverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(cs.data()), SQL_NTS,
                                   nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
            if (connected)
                odbc.allocHandle(SQL_HANDLE_STMT, dbc, &stmt);
            auto once = [&] {
                if (!connected ||
                    !SQL_SUCCEEDED(odbc.execDirect(
                        stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(kCommand)), SQL_NTS)) ||
                    !SQL_SUCCEEDED(odbc.fetch(stmt))) {
                    ++errors;
                    return;
                }
                SQLINTEGER id = 0;
                SQLLEN ind = 0;
                odbc.getData(stmt, 1, SQL_C_SLONG, &id, sizeof id, &ind);
                if (id != 1)
                    ++errors;
                while (SQL_SUCCEEDED(odbc.fetch(stmt))) {
                }
                while (SQL_SUCCEEDED(odbc.moreResults(stmt))) {
                }
                odbc.closeCursor(stmt);
            };
            timedRuns(once, n, micros, start, finish);
            if (stmt)
                odbc.freeHandle(SQL_HANDLE_STMT, stmt);
            odbc.disconnect(dbc);
            odbc.freeHandle(SQL_HANDLE_DBC, dbc);
            odbc.freeHandle(SQL_HANDLE_ENV, env);
        });
}

void print(const char* path, int clients, const Result& r)
{
    std::printf("| %-26s | %7d | %8zu | %10.0f | %8.0f | %8.0f | %6d |\n", path, clients,
                r.micros.size(), static_cast<double>(r.micros.size()) / r.seconds,
                bench::percentile(r.micros, 0.50), bench::percentile(r.micros, 0.99), r.errors);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    lectora::server::EmbeddedServer server;
    server.start();
    const int port = server.port();
    const int single = 5000;
    const int each = 500;

    std::printf("Round trips of \"%s\" over loopback (one result row each)\n", kCommand);
    std::printf("cores: %u\n\n", std::thread::hardware_concurrency());
    std::printf("| %-26s | %7s | %8s | %10s | %8s | %8s | %6s |\n", "client path", "clients",
                "commands", "commands/s", "p50 us", "p99 us", "errors");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(28, '-').c_str(),
                std::string(9, '-').c_str(), std::string(10, '-').c_str(),
                std::string(12, '-').c_str(), std::string(10, '-').c_str(),
                std::string(10, '-').c_str(), std::string(8, '-').c_str());

    print("Qt QODBC (the terminal)", 1, qtClients(port, 1, single));
    print("Qt QODBC (the terminal)", 32, qtClients(port, 32, each));
    const bench::OdbcApi* odbc = nullptr;
    try {
        odbc = &bench::OdbcApi::get();
    } catch (const std::runtime_error&) {
    }
    if (odbc) {
        print("bare ODBC/FreeTDS, no Qt", 1, odbcClients(*odbc, port, 1, single));
        print("bare ODBC/FreeTDS, no Qt", 32, odbcClients(*odbc, port, 32, each));
    } else {
        std::printf("bare ODBC: libodbc.so.2 not found, skipped\n");
    }
    server.stop();
    return 0;
}
