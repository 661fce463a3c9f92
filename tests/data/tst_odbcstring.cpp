// The connection string each driver family gets for the profile's settings,
// what cannot be expressed for a family, and values that need braces (the
// data module's tests carry the FreeTDS ones to the stand-in).

#include "data/OdbcString.h"
#include "data/U_Data.h"

#include <QTest>

namespace
{

const QString kFreeTds = QStringLiteral("FreeTDS");
const QString kDriver17 = QStringLiteral("ODBC Driver 17 for SQL Server");
const QString kDriver18 = QStringLiteral("ODBC Driver 18 for SQL Server");

LinkEncryption encryption(const QString& name)
{
    for (LinkEncryption e :
         {LinkEncryption::Off, LinkEncryption::Login, LinkEncryption::On, LinkEncryption::Strict})
        if (linkEncryptionName(e) == name)
            return e;
    qFatal("no encryption %s", qPrintable(name));
}

// "off", "on+trust", "strict+ca+host": the encrypt value, then what is added.
ConnectionSettings site(const QString& driver, const QString& link)
{
    ConnectionSettings s;
    s.host = QStringLiteral("db.lan");
    s.port = 1433;
    s.workstation = QStringLiteral("WS-1");
    s.login = QStringLiteral("sa");
    s.password = QStringLiteral("pw");
    s.driver = driver;
    const QStringList parts = link.split(QLatin1Char('+'));
    s.security.encrypt = encryption(parts.first());
    if (parts.contains(QLatin1String("ca")))
        s.security.caFile = QStringLiteral("/etc/lectora/ca.pem");
    if (parts.contains(QLatin1String("trust")))
        s.security.trustServerCertificate = true;
    if (parts.contains(QLatin1String("notrust")))
        s.security.trustServerCertificate = false;
    if (parts.contains(QLatin1String("host")))
        s.security.hostInCertificate = QStringLiteral("sql01.example");
    // The certificate the terminal checked itself and pins for one open.
    if (parts.contains(QLatin1String("pinned"))) {
        s.security.caFile = QStringLiteral("/run/server.pem");
        s.security.pinnedCertificate = true;
    }
    return s;
}

QString freeTdsSection(const QString& caFile, const char* checkName = "yes")
{
    return QStringLiteral("[lectora-link]\n\thost = db.lan\n\tport = 1433\n\tca file = %1\n"
                          "\tcheck certificate hostname = %2\n")
        .arg(caFile, QLatin1String(checkName));
}

} // namespace

class OdbcStringTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stringPerFamily_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("configuration");

        const QString plain = QStringLiteral(
            "Driver={FreeTDS};Server=db.lan;Port=1433;Database=KV_ULMAR;UID=sa;PWD=pw;"
            "TDS_Version=7.4;ClientCharset=UTF-8;Encryption=%1;Timeout=5000;APP=LectoraVelmor;WSID="
            "WS-1");
        const QString section = QStringLiteral(
            "Driver={FreeTDS};Servername=lectora-link;Database=KV_ULMAR;UID=sa;PWD=pw;"
            "TDS_Version=7.4;ClientCharset=UTF-8;Encryption=%1;Timeout=5000;APP=LectoraVelmor;WSID="
            "WS-1");
        QTest::newRow("FreeTDS off") << kFreeTds << "off" << plain.arg("off") << "";
        QTest::newRow("FreeTDS login") << kFreeTds << "login" << plain.arg("request") << "";
        QTest::newRow("FreeTDS on: system CAs")
            << kFreeTds << "on" << section.arg("require") << freeTdsSection("system");
        QTest::newRow("FreeTDS on, trusted")
            << kFreeTds << "on+trust" << plain.arg("require") << "";
        QTest::newRow("FreeTDS on with CA") << kFreeTds << "on+ca" << section.arg("require")
                                            << freeTdsSection("/etc/lectora/ca.pem");
        QTest::newRow("FreeTDS on, pinned: any name")
            << kFreeTds << "on+pinned" << section.arg("require")
            << freeTdsSection("/run/server.pem", "no");
        QTest::newRow("FreeTDS login with CA") << kFreeTds << "login+ca" << section.arg("request")
                                               << freeTdsSection("/etc/lectora/ca.pem");
        QTest::newRow("FreeTDS login, verified")
            << kFreeTds << "login+notrust" << section.arg("request") << freeTdsSection("system");
        QTest::newRow("FreeTDS by library path")
            << "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so"
            << "login"
            << QString(plain.arg("request"))
                   .replace("{FreeTDS}", "{/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so}")
            << "";

        const QString ms = QStringLiteral(
            "Driver={%1};Server=tcp:db.lan,1433;Database=KV_ULMAR;UID=sa;PWD=pw;Encrypt=%2;"
            "TrustServerCertificate=%3;%4AutoTranslate=yes;APP=LectoraVelmor;WSID=WS-1");
        for (const QString& driver : {kDriver17, kDriver18}) {
            const QByteArray v = driver == kDriver17 ? "17 " : "18 ";
            QTest::newRow((v + "off").constData())
                << driver << "off" << ms.arg(driver, "no", "yes", "") << "";
            QTest::newRow((v + "login").constData())
                << driver << "login" << ms.arg(driver, "no", "yes", "") << "";
            QTest::newRow((v + "on").constData())
                << driver << "on" << ms.arg(driver, "yes", "no", "") << "";
            QTest::newRow((v + "on, trusted").constData())
                << driver << "on+trust" << ms.arg(driver, "yes", "yes", "") << "";
        }
        QTest::newRow("18 on, pinned: checked before, trusted by the driver")
            << kDriver18 << "on+pinned" << ms.arg(kDriver18, "yes", "yes", "") << "";
        QTest::newRow("18 strict")
            << kDriver18 << "strict" << ms.arg(kDriver18, "strict", "no", "") << "";
        QTest::newRow("18 strict with the server's certificate")
            << kDriver18 << "strict+ca"
            << ms.arg(kDriver18, "strict", "no", "ServerCertificate=/etc/lectora/ca.pem;") << "";
        QTest::newRow("18 on, certificate of another name")
            << kDriver18 << "on+host"
            << ms.arg(kDriver18, "yes", "no", "HostNameInCertificate=sql01.example;") << "";
    }

    void stringPerFamily()
    {
        QFETCH(QString, driver);
        QFETCH(QString, link);
        QFETCH(QString, expected);
        QFETCH(QString, configuration);
        const ConnectionSettings s = site(driver, link);
        QVERIFY(!OdbcString::refusal(s));
        const OdbcString odbc(s, QStringLiteral("KV_ULMAR"));
        QCOMPARE(odbc.text(), expected);
        QCOMPARE(odbc.freeTdsConfiguration(), configuration);
        QVERIFY(odbc.problem().isEmpty());
        QCOMPARE(odbc.connectOptions(), QStringLiteral("SQL_ATTR_PACKET_SIZE=4096"));
    }

    void refusedPerFamily_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("key");
        QTest::newRow("FreeTDS strict") << kFreeTds << "strict"
                                        << "encrypt";
        QTest::newRow("FreeTDS certificate name") << kFreeTds << "on+host"
                                                  << "host_in_certificate";
        QTest::newRow("17 strict") << kDriver17 << "strict"
                                   << "encrypt";
        QTest::newRow("17 certificate name") << kDriver17 << "on+host"
                                             << "host_in_certificate";
        QTest::newRow("18 CA file without strict") << kDriver18 << "on+ca"
                                                   << "ca_file";
        QTest::newRow("CA file with trust") << kFreeTds << "on+ca+trust"
                                            << "trust_server_certificate";
        QTest::newRow("CA file, nothing encrypted") << kFreeTds << "off+ca"
                                                    << "ca_file";
        QTest::newRow("certificate name, nothing encrypted") << kDriver18 << "off+host"
                                                             << "host_in_certificate";
        QTest::newRow("unknown driver") << "Oracle 21 ODBC driver"
                                        << "login"
                                        << "driver";
    }

    void refusedPerFamily()
    {
        QFETCH(QString, driver);
        QFETCH(QString, link);
        QFETCH(QString, key);
        const std::optional<OdbcString::Refusal> refusal = OdbcString::refusal(site(driver, link));
        QVERIFY(refusal);
        QCOMPARE(refusal->key, key);
        // The reason names the driver where the driver is what cannot do it.
        if (key == QLatin1String("encrypt") || key == QLatin1String("driver"))
            QVERIFY2(refusal->reason.contains(driver), qPrintable(refusal->reason));
    }

    void freeTdsCannotVerifyAPathItCannotRead()
    {
        ConnectionSettings s = site(kFreeTds, QStringLiteral("on"));
        s.security.caFile = QStringLiteral("/etc/lectora;old/ca.pem");
        QCOMPARE(OdbcString::refusal(s)->key, QStringLiteral("ca_file"));
    }

    void values_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("freeTds");
        QTest::addColumn<QString>("standard");
        QTest::newRow("plain") << "s3cret"
                               << "s3cret"
                               << "s3cret";
        QTest::newRow("semicolon") << "a;b"
                                   << "{a;b}"
                                   << "{a;b}";
        QTest::newRow("closing brace alone") << "a}b"
                                             << "a}b"
                                             << "{a}}b}";
        QTest::newRow("closing brace and semicolon") << "a}b;c"
                                                     << "{a}b;c}"
                                                     << "{a}}b;c}";
        QTest::newRow("brace before semicolon") << "a};b"
                                                << ""
                                                << "{a}};b}";
        QTest::newRow("ends in a brace") << "ab}"
                                         << "ab}"
                                         << "{ab}}}";
        QTest::newRow("opening brace") << "{ab"
                                       << "{{ab}"
                                       << "{{ab}";
        QTest::newRow("blanks around") << " ab "
                                       << "{ ab }"
                                       << "{ ab }";
        QTest::newRow("equals") << "a=b"
                                << "a=b"
                                << "a=b";
    }

    void values()
    {
        QFETCH(QString, value);
        QFETCH(QString, freeTds);
        QFETCH(QString, standard);
        QCOMPARE(OdbcString::value(OdbcString::Family::FreeTds, value).value_or(QString()),
                 freeTds);
        QCOMPARE(OdbcString::value(OdbcString::Family::Microsoft18, value).value_or(QString()),
                 standard);
    }

    void uncarriableValueStopsTheString()
    {
        ConnectionSettings s = site(kFreeTds, QStringLiteral("login"));
        s.password = QStringLiteral("x};UID=other");
        const OdbcString odbc(s, QStringLiteral("KV_ULMAR"));
        QVERIFY(odbc.text().isEmpty());
        QVERIFY2(odbc.problem().contains(QLatin1String("PWD")), qPrintable(odbc.problem()));
    }

    void siteKeysForAnotherDriver_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("expected"); // empty: refused
        QTest::newRow("every placeholder")
            << "Host=${host}:${port};DB=${database};User=${login};Pass=${password};"
               "Client=${workstation};TLS=1"
            << "Driver={Acme TDS};Host=db.lan:1433;DB=KV_ULMAR;User=sa;Pass={p;w};"
               "Client=WS-1;TLS=1";
        QTest::newRow("no database") << "Host=${host};Pass=${password};X=1"
                                     << "";
        QTest::newRow("unknown placeholder") << "DB=${database};Pwd=${secret};X=1"
                                             << "";
        QTest::newRow("password last") << "DB=${database};Pwd=${password}"
                                       << "";
    }

    void siteKeysForAnotherDriver()
    {
        QFETCH(QString, keys);
        QFETCH(QString, expected);
        ConnectionSettings s = site(QStringLiteral("Acme TDS"), QStringLiteral("login"));
        s.password = QStringLiteral("p;w");
        s.security.odbcString = keys;
        const std::optional<OdbcString::Refusal> refusal = OdbcString::refusal(s);
        if (expected.isEmpty()) {
            QVERIFY(refusal);
            QCOMPARE(refusal->key, QStringLiteral("odbc_string"));
            return;
        }
        QVERIFY2(!refusal, qPrintable(refusal ? refusal->reason : QString()));
        QCOMPARE(OdbcString(s, QStringLiteral("KV_ULMAR")).text(), expected);
    }
};

QTEST_GUILESS_MAIN(OdbcStringTest)
#include "tst_odbcstring.moc"
