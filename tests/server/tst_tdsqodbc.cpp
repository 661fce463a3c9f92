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

#include <atomic>
#include <thread>

using namespace lectora::server;

class TdsQodbcTest : public QObject {
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
            QVERIFY2(q.exec("EXECUTE sp_KVR_Persona 'demo','demo'"), qPrintable(q.lastError().text()));
            QVERIFY(q.next());
            QVERIFY(!q.value("ID_Persona").toString().isEmpty());
            QVERIFY2(q.exec("EXECUTE sp_KVR_Persona 'demo','wrong'"), qPrintable(q.lastError().text()));
            QVERIFY(!q.next());
        }
        const auto journal = m_server.journal();
        QVERIFY(std::any_of(journal.begin(), journal.end(), [](const JournalEntry& e) {
            return e.text == "EXECUTE sp_KVR_Persona 'demo','****'" && e.procedure == "sp_KVR_Persona";
        }));
    }

    // {? = call name;1(?,...)} goes out as an RPC: inputs arrive by position
    // under the declared names, outputs come back in their own types.
    void callWithOutputs()
    {
        Call seen;
        m_server.script(
            "sp_Test_Obtiene",
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
};

QTEST_GUILESS_MAIN(TdsQodbcTest)
#include "tst_tdsqodbc.moc"
