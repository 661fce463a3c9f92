// The stand-in seen through the terminal's own data path: Qt QODBC over
// unixODBC and FreeTDS, opened with the connection string the data module uses.
#include "server/Database.h"
#include "server/EmbeddedServer.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace lectora::server;

class TdsQodbcTest : public QObject
{
    Q_OBJECT

private:
    EmbeddedServer m_server;

    QSqlDatabase open(const QString& name, const QString& catalogue = "KV_NORDA_PREVENTA",
                      const QString& password = "tolvexra")
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QODBC", name);
        // PWD is not last: Qt appends a NUL to the last value.
        db.setDatabaseName(QString("Driver=FreeTDS;Server=127.0.0.1;Port=%1;Database=%2;UID=sa;"
                                   "PWD=%3;TDS_Version=7.4;ClientCharset=UTF-8;Encryption=off")
                               .arg(m_server.port())
                               .arg(catalogue, password));
        db.open();
        return db;
    }

    static QVariant scalar(QSqlDatabase& db, const QString& sql, const QString& column)
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(sql) || !q.next())
            return QVariant();
        return q.value(column);
    }

private Q_SLOTS:
    void initTestCase()
    {
        ServerOptions options;
        m_server.start(options);
    }

    void cleanup()
    {
        m_server.procedures().clearScripts();
        for (const QString& name : QSqlDatabase::connectionNames())
            QSqlDatabase::removeDatabase(name);
    }

    void loginAndBatch()
    {
        {
            QSqlDatabase db = open("c1");
            QVERIFY2(db.isOpen(), qPrintable(db.lastError().text()));
            QSqlQuery q(db);
            q.setForwardOnly(true);
            QVERIFY2(q.exec("EXECUTE sp_KVR_Persona 'demo','demo'"),
                     qPrintable(q.lastError().text()));
            QVERIFY(q.next());
            QVERIFY(!q.value("ID_Persona").toString().isEmpty());
            QVERIFY2(q.exec("EXECUTE sp_KVR_Persona 'demo','wrong'"),
                     qPrintable(q.lastError().text()));
            QVERIFY(!q.next());
        }
        const auto journal = m_server.journal();
        QVERIFY(std::any_of(journal.begin(), journal.end(), [](const JournalEntry& e) {
            return e.text == "EXECUTE sp_KVR_Persona 'demo','****'" &&
                   e.procedure == "sp_KVR_Persona";
        }));
    }

    // {? = call name;1(?,...)} goes out as an RPC: inputs arrive by position
    // under the declared names, outputs come back in their own types.
    void callWithOutputs()
    {
        Call seen;
        m_server.script("sp_Test_Obtiene",
                        [&](Call& call) {
                            seen = call;
                            Reply r;
                            r.outputs["@id_producto"] = Value(std::int64_t{123456789});
                            r.outputs["@Error"] = Value(3);
                            r.outputs["@ErrorDescripcion"] = Value("Contraseña inválida en Velmór");
                            r.returnStatus = 7;
                            return r;
                        },
                        {"@Serie", "@id_producto", "@Error", "@ErrorDescripcion"});
        QSqlDatabase db = open("c2");
        QVERIFY2(db.isOpen(), qPrintable(db.lastError().text()));
        QSqlQuery q(db);
        q.setForwardOnly(true);
        QVERIFY(q.prepare("{? = call sp_Test_Obtiene;1(?,?,?,?)}"));
        q.bindValue(0, 0, QSql::Out);
        q.bindValue(1, QString("Cíclico 'x'"));
        q.bindValue(2, QVariant(QMetaType(QMetaType::Double)), QSql::InOut);
        q.bindValue(3, 0, QSql::InOut);
        q.bindValue(4, QString(500, QLatin1Char(' ')), QSql::InOut);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        while (q.nextResult()) {
        }
        QCOMPARE(seen.procedure, std::string("sp_Test_Obtiene;1"));
        QCOMPARE(seen.arg("@Serie").toText(), std::string("Cíclico 'x'"));
        QCOMPARE(q.boundValue(2).toLongLong(), 123456789LL);
        QCOMPARE(q.boundValue(3).toInt(), 3);
        QString description = q.boundValue(4).toString();
        description.truncate(description.indexOf(QChar(0)) < 0 ? description.size()
                                                               : description.indexOf(QChar(0)));
        QCOMPARE(description, QString("Contraseña inválida en Velmór"));
        QCOMPARE(q.boundValue(0).toInt(), 7);
    }

    void loginRefused_data()
    {
        QTest::addColumn<QString>("catalogue");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("code");
        QTest::newRow("wrong password") << "KV_NORDA_PREVENTA"
                                        << "otra"
                                        << "18456";
        QTest::newRow("unknown catalogue") << "KV_OTRA"
                                           << "tolvexra"
                                           << "4060";
    }

    void loginRefused()
    {
        QFETCH(QString, catalogue);
        QFETCH(QString, password);
        QFETCH(QString, code);
        QSqlDatabase db = open("refused", catalogue, password);
        QVERIFY(!db.isOpen());
        QVERIFY2(db.lastError().nativeErrorCode().contains(code) ||
                     db.lastError().text().contains(code) ||
                     db.lastError().text().contains(code == "18456" ? "Login failed"
                                                                    : "Cannot open database"),
                 qPrintable(db.lastError().text()));
    }

    void catalogueSelectsTheDatabase()
    {
        QSqlDatabase db = open("ulmar", "KV_ULMAR");
        QVERIFY2(db.isOpen(), qPrintable(db.lastError().text()));
        m_server.script("sp_Test_Donde", [](Call& call) {
            return Reply::rows(ResultSet::texts({"Catalogo"}).row({call.catalogue}));
        });
        QCOMPARE(scalar(db, "EXEC sp_Test_Donde", "Catalogo").toString(), QString("KV_ULMAR"));
    }

    // A server error fails the command with its number; the next command on
    // the same connection works.
    void errorsLeaveTheConnectionUsable()
    {
        m_server.script("sp_Test_Falla",
                        [](Call&) { return Reply::fail("Pallet inexistente", 50010); });
        QSqlDatabase db = open("c3");
        QSqlQuery q(db);
        q.setForwardOnly(true);
        QVERIFY(!q.exec("EXEC sp_Test_Falla 'P-1'"));
        QCOMPARE(q.lastError().nativeErrorCode(), QString("50010"));
        QVERIFY(q.lastError().text().contains("Pallet inexistente"));
        QVERIFY(!q.exec("EXEC sp_Test_NoExiste"));
        QCOMPARE(q.lastError().nativeErrorCode(), QString("2812"));
        QVERIFY(!q.exec("EXEC sp_KVR_Persona 'demo',,'demo'"));
        QCOMPARE(q.lastError().nativeErrorCode(), QString("102"));
        QVERIFY(q.exec("EXECUTE sp_KVR_Persona 'demo','demo'"));
        QVERIFY(q.next());
    }

    void resultValues()
    {
        m_server.script("sp_Test_Tipos", [](Call& call) {
            ResultSet rs;
            rs.columns = {{"Texto", ColumnType::Text},      {"Entero", ColumnType::Int},
                          {"Importe", ColumnType::Decimal}, {"Activo", ColumnType::Bit},
                          {"Peso", ColumnType::Float},      {"Nada", ColumnType::Text}};
            rs.row({call.arg(0), 42, "1234.56", 1, 2.5, Value()});
            rs.row({"3 ", -7, -1, 0, 0.0, Value()});
            return Reply::rows(rs);
        });
        QSqlDatabase db = open("c4");
        QSqlQuery q(db);
        q.setForwardOnly(true);
        QVERIFY2(q.exec("EXEC sp_Test_Tipos 'Cíclico – Velmór'"), qPrintable(q.lastError().text()));
        QVERIFY(q.next());
        QCOMPARE(q.value("Texto").toString(), QString("Cíclico – Velmór"));
        QCOMPARE(q.value("Entero").toInt(), 42);
        QCOMPARE(q.value("Importe").toString(), QString("1234.56"));
        QCOMPARE(q.value("Activo").toBool(), true);
        QCOMPARE(q.value("Peso").toDouble(), 2.5);
        QVERIFY(q.value("Nada").isNull());
        QVERIFY(q.next());
        QCOMPARE(q.value("Texto").toString(), QString("3 "));
        QCOMPARE(q.value("Entero").toInt(), -7);
        QVERIFY(!q.next());
    }

    // Several connections record at once; every recording is there afterwards.
    void concurrentRecording()
    {
        const int clients = 32;
        const int perClient = 25;
        Database& db = m_server.catalogue("KV_NORDA_PREVENTA");
        db.exec(
            "CREATE TABLE IF NOT EXISTS prueba_grabacion (cliente INTEGER, n INTEGER, texto TEXT)");
        db.exec("DELETE FROM prueba_grabacion");
        m_server.script("sp_Test_Graba",
                        [](Call& call) {
                            call.db->transaction([&] {
                                call.db->query("INSERT INTO prueba_grabacion VALUES (?1, ?2, ?3)",
                                               {call.arg(0), call.arg(1), call.arg(2)});
                            });
                            return Reply::rows(ResultSet::texts({"Error"}).row({"0"}));
                        },
                        {"@cliente", "@n", "@texto"});
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([&, c] {
                const QString name = QString("rec%1").arg(c);
                {
                    QSqlDatabase conn = open(name);
                    QSqlQuery q(conn);
                    q.setForwardOnly(true);
                    for (int n = 0; n < perClient; ++n) {
                        if (!q.exec(QString("EXEC sp_Test_Graba %1, %2, 'Velmór %1-%2'")
                                        .arg(c)
                                        .arg(n)) ||
                            !q.next() || q.value("Error").toString() != "0")
                            ++failures;
                    }
                }
                QSqlDatabase::removeDatabase(name);
            });
        }
        for (auto& t : threads)
            t.join();
        QCOMPARE(failures.load(), 0);
        QCOMPARE(db.scalar("SELECT COUNT(*) FROM prueba_grabacion").toInt(),
                 std::optional<std::int64_t>(clients * perClient));
        QCOMPARE(
            db.scalar("SELECT COUNT(DISTINCT cliente * 1000 + n) FROM prueba_grabacion").toInt(),
            std::optional<std::int64_t>(clients * perClient));
        QCOMPARE(db.scalar("SELECT COUNT(*) FROM prueba_grabacion WHERE texto = 'Velmór ' || "
                           "cliente || '-' || n")
                     .toInt(),
                 std::optional<std::int64_t>(clients * perClient));
    }

    // Garbage, truncated and oversized input closes only the connection it came on.
    void brokenClientsDoNotDisturbOthers_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("garbage") << QByteArray(64, '\xAB');
        QTest::newRow("truncated packet then close")
            << QByteArray("\x12\x01\x00\x40\x00\x00\x01\x00\x00", 9);
        QTest::newRow("length below header") << QByteArray("\x12\x01\x00\x02\x00\x00\x01\x00", 8);
        QTest::newRow("batch before login")
            << QByteArray("\x01\x01\x00\x0a\x00\x00\x01\x00A\x00", 10);
        QTest::newRow("garbage login")
            << QByteArray("\x10\x01\x00\x20\x00\x00\x01\x00", 8) + QByteArray(24, '\xff');
    }

    void brokenClientsDoNotDisturbOthers()
    {
        QFETCH(QByteArray, bytes);
        QSqlDatabase db = open("steady");
        QVERIFY(db.isOpen());
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(m_server.port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        QCOMPARE(::send(fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
        ::shutdown(fd, SHUT_WR);
        // The server closes its side: read until end of stream.
        char buf[4096];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
        ::close(fd);
        QVERIFY(
            !scalar(db, "EXECUTE sp_KVR_Persona 'demo','demo'", "ID_Persona").toString().isEmpty());
    }

    // Abandoning a result half read makes the driver cancel it; a slow
    // procedure still answers whole; the next command on the link is fine.
    void abandonedAndSlowResults()
    {
        m_server.script("sp_Test_Muchas", [](Call&) {
            ResultSet rs = ResultSet::texts({"n"});
            for (int i = 0; i < 3000; ++i)
                rs.row({std::to_string(i)});
            Reply r = Reply::rows(rs);
            r.results.push_back(ResultSet::texts({"otra"}).row({"x"}));
            return r;
        });
        m_server.script("sp_Test_Lenta", [](Call& call) {
            Reply r = Reply::rows(ResultSet::texts({"Eco"}).row({call.arg(0)}));
            r.delay = std::chrono::milliseconds(150);
            return r;
        });
        QSqlDatabase db = open("c5");
        for (int round = 0; round < 3; ++round) {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            QVERIFY2(q.exec("EXEC sp_Test_Muchas"), qPrintable(q.lastError().text()));
            QVERIFY(q.next());
            QCOMPARE(q.value("n").toString(), QString("0"));
        }
        QCOMPARE(scalar(db, "EXEC sp_Test_Lenta 'Velmór'", "Eco").toString(), QString("Velmór"));
        QCOMPARE(scalar(db, "EXECUTE sp_KVR_Persona 'demo','demo'", "ID_Persona").toInt(), 1);
    }

    // A dropped link fails the next command; a new connection works.
    void droppedConnections()
    {
        QSqlDatabase db = open("dropped");
        QVERIFY(db.isOpen());
        QVERIFY(m_server.openConnections() >= 1);
        m_server.dropConnections();
        QSqlQuery q(db);
        q.setForwardOnly(true);
        QVERIFY(!q.exec("EXECUTE sp_KVR_Persona 'demo','demo'"));
        QSqlDatabase again = open("again");
        QVERIFY(!scalar(again, "EXECUTE sp_KVR_Persona 'demo','demo'", "ID_Persona")
                     .toString()
                     .isEmpty());
    }
};

QTEST_GUILESS_MAIN(TdsQodbcTest)
#include "tst_tdsqodbc.moc"
