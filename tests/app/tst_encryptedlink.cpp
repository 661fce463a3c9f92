// The link to the server as someone on the network sees it: the terminal
// starts from a profile, logs in and records a count scan through a relay
// that keeps every byte, and the test looks for the password and the command
// texts in what crossed. Then the links start-up must refuse before any login
// is sent: someone between the terminal and the server who strips the offer
// of encryption or shows a certificate of their own, a certificate from
// another CA or for another name, and a server that cannot encrypt.
#include "app/Startup.h"
#include "app/U_Menu.h"
#include "app/shell/MessageService.h"
#include "inventory/U_Inventario.h"
#include "server/Database.h"
#include "server/EmbeddedServer.h"
#include "server/tds/Tls.h"
#include "tests/support/CaptureRelay.h"
#include "tests/support/TerminalFixture.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

using namespace lectora::server;

namespace
{

const QString kPassword = QStringLiteral("Wire-Pw-4417");

QByteArray utf16le(const QString& text)
{
    QByteArray bytes;
    for (const QChar c : text)
        bytes.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    return bytes;
}

// The password as LOGIN7 carries it without TLS.
QByteArray scrambled(const QString& text)
{
    const QByteArray plain = utf16le(text);
    return QByteArray::fromStdString(
        tds::obfuscatePassword(std::string_view(plain.constData(), std::size_t(plain.size()))));
}

QString path(const std::filesystem::path& p)
{
    return QString::fromStdString(p.string());
}

} // namespace

class EncryptedLinkTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QByteArray m_savedProfile;

    static const QList<MessageService::Shown>& shown()
    {
        return MessageService::instance().shown();
    }

    void useProfile(const QString& host, int port, const QString& keys)
    {
        const QString file = m_home.filePath(QStringLiteral("lectora.ini"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QStringLiteral("[server]\nhost=%1\nport=%2\npassword=%3\n%4")
                    .arg(host)
                    .arg(port)
                    .arg(kPassword, keys)
                    .toUtf8());
        qputenv("LECTORA_PROFILE", file.toUtf8());
    }

    // The operator logs in, opens the first count window, chooses a count,
    // scans a location and a series.
    static void countScan(TFr_Menu* menu)
    {
        menu->findChild<QLineEdit*>(QStringLiteral("edt_Usuario"))->setText(QStringLiteral("demo"));
        TerminalFixture::scan(menu->findChild<QLineEdit*>(QStringLiteral("edt_Contra")), "demo");
        menu->entry(QStringLiteral("Inventario1"))->trigger();
        auto* window = menu->findChild<TfrInventario*>();
        QVERIFY(window);
        auto* counts = window->findChild<QComboBox*>(QStringLiteral("cmbRegConteo"));
        counts->setCurrentIndex(counts->findText(QStringLiteral("NP-CIC-01")));
        Q_EMIT counts->activated(counts->currentIndex());
        TerminalFixture::scan(window->findChild<QLineEdit*>(QStringLiteral("edLocalidad")),
                              "A-01-01");
        TerminalFixture::scan(window->findChild<QLineEdit*>(QStringLiteral("EdProducto")),
                              "S-1001");
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_savedProfile = qgetenv("LECTORA_PROFILE");
        qputenv("XDG_DATA_HOME", m_home.filePath(QStringLiteral("data")).toUtf8());
        qputenv("XDG_CONFIG_HOME", m_home.filePath(QStringLiteral("config")).toUtf8());
        MessageService::instance().setScripted(true);
    }
    void init()
    {
        MessageService::instance().clear();
        QFile::remove(knownServers());
        QFile::remove(m_home.filePath(QStringLiteral("known-servers")));
    }

    static QString knownServers()
    {
        return QDir(qEnvironmentVariable("XDG_DATA_HOME")).filePath("LectoraVelmor/known-servers");
    }
    void cleanupTestCase() { qputenv("LECTORA_PROFILE", m_savedProfile); }

    void whatCrossesTheLink_data()
    {
        QTest::addColumn<QString>("keys"); // %1: the server's certificate
        QTest::addColumn<bool>("passwordScrambled");
        QTest::addColumn<bool>("commandsInClear");
        QTest::newRow("encrypt=off") << "encrypt=off\n" << true << true;
        QTest::newRow("encrypt=login") << "encrypt=login\n" << false << true;
        // Only host and port, a stand-in with a certificate of its own no CA
        // vouches for: trusted on first use, the whole session encrypted.
        QTest::newRow("default profile") << "" << false << false;
        QTest::newRow("encrypt=on, the server's certificate as CA") << "encrypt=on\nca_file=%1\n"
                                                                    << false << false;
    }
    void whatCrossesTheLink()
    {
        QFETCH(QString, keys);
        QFETCH(bool, passwordScrambled);
        QFETCH(bool, commandsInClear);
        EmbeddedServer server;
        ServerOptions options;
        options.password = kPassword.toStdString();
        server.start(options);
        CaptureRelay relay(server.port());
        useProfile(QStringLiteral("127.0.0.1"), relay.port(),
                   QString(keys).replace(QStringLiteral("%1"), path(server.certificateFile())));

        int exitCode = -1;
        std::unique_ptr<Terminal> terminal = startTerminal(exitCode);
        QVERIFY2(terminal, qPrintable(shown().value(0).text));
        countScan(terminal->mainWindow.get());
        QVERIFY2(shown().isEmpty(), qPrintable(shown().value(0).text));
        Database& db = server.catalogue("KV_NORDA_PREVENTA");
        std::unique_lock lock(db.mutex());
        QCOMPARE(db.scalar("SELECT count(*) FROM inv_escaneo WHERE serie = 'S-1001'").toText(),
                 "1");
        lock.unlock();
        QVERIFY(!relay.crossed(utf16le(kPassword)));
        QVERIFY(!relay.crossed(kPassword.toUtf8()));
        QCOMPARE(relay.crossed(scrambled(kPassword)), passwordScrambled);
        for (const char* command : {"sp_KVR_Persona", "sp_KVR_ScaneoInventarioDet"})
            QCOMPARE(relay.towardsServer().contains(utf16le(QString::fromLatin1(command))),
                     commandsInClear);
    }

    // Someone on the network between the terminal and its server, at the
    // server's address: a relay that strips the offer of encryption, or a
    // server of its own with its own certificate. The terminal refuses before
    // any login is sent, and says why. A terminal that met the real server
    // first holds it to its encryption and its certificate; certificate_sha256
    // or the site's known-servers file does so from the very first contact.
    void attackerGetsNoLogin_data()
    {
        QTest::addColumn<QString>("keys"); // %1: the real server's fingerprint
        QTest::addColumn<bool>("metBefore");
        QTest::addColumn<bool>("impostor"); // else the offer is stripped
        QTest::addColumn<QString>("siteFile");
        QTest::addColumn<QString>("reason");
        QTest::newRow("default profile, offer stripped") << "" << false << false << ""
                                                         << "server does not offer encryption";
        QTest::newRow("default profile, offer stripped after a first contact")
            << "" << true << false << ""
            << "offers no encryption, yet it encrypted";
        QTest::newRow("encrypt=login, offer stripped after a first contact")
            << "encrypt=login\n"
            << true << false << ""
            << "offers no encryption, yet it encrypted";
        QTest::newRow("default profile, impostor after a first contact") << "" << true << true << ""
                                                                         << "has changed";
        QTest::newRow("certificate_sha256, impostor at first contact")
            << "certificate_sha256=%1\n"
            << false << true << ""
            << "not the one certificate_sha256 names";
        QTest::newRow("site's known servers, impostor at first contact")
            << "" << false << true << "127.0.0.1,%2 %1\n"
            << "has changed";
    }
    void attackerGetsNoLogin()
    {
        QFETCH(QString, keys);
        QFETCH(bool, metBefore);
        QFETCH(bool, impostor);
        QFETCH(QString, siteFile);
        QFETCH(QString, reason);
        ServerOptions options;
        options.password = kPassword.toStdString();
        auto server = std::make_unique<EmbeddedServer>();
        server->start(options);
        const QString real = QString::fromStdString(server->certificateFingerprint());
        CaptureRelay relay(server->port());
        const auto fill = [&](QString text) {
            return text.replace("%1", real).replace("%2", QString::number(relay.port()));
        };
        useProfile(QStringLiteral("127.0.0.1"), relay.port(), fill(keys));
        const QString site = m_home.filePath(QStringLiteral("known-servers"));
        if (!siteFile.isEmpty()) {
            QFile f(site);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(fill(siteFile).toUtf8());
        }
        int exitCode = -1;
        if (metBefore) {
            QVERIFY2(startTerminal(exitCode), qPrintable(shown().value(0).text));
            MessageService::instance().clear();
        }
        QString shownNow = real;
        if (impostor) {
            // Another stand-in, with a certificate of its own, at the same address.
            options.port = server->port();
            server = std::make_unique<EmbeddedServer>();
            server->start(options);
            shownNow = QString::fromStdString(server->certificateFingerprint());
            QVERIFY(shownNow != real);
        } else {
            relay.stripEncryptionOffer(true);
        }
        const std::uint64_t loginsBefore = relay.logins();

        QVERIFY(!startTerminal(exitCode));
        QCOMPARE(exitCode, 1);
        QCOMPARE(relay.logins(), loginsBefore);
        QVERIFY(!relay.crossed(scrambled(kPassword)));
        QCOMPARE(shown().size(), 1);
        const QString text = shown()[0].text;
        QVERIFY2(text.contains(reason), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("127.0.0.1,%1").arg(relay.port())), qPrintable(text));
        if (reason == QLatin1String("has changed")) {
            // Both certificates and the file to edit when the change is intended.
            QVERIFY2(text.contains(real) && text.contains(shownNow), qPrintable(text));
            QVERIFY2(text.contains(siteFile.isEmpty() ? knownServers() : site), qPrintable(text));
        }
    }

    // The profile asks for encryption, with the pair the test makes as its CA.
    void refusedLink_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("pairFor");     // the name the test's pair is made for
        QTest::addColumn<bool>("serverUsesPair"); // else its own
        QTest::addColumn<bool>("serverEncrypts");
        QTest::addColumn<QString>("reason");
        QTest::newRow("another CA") << "127.0.0.1"
                                    << "other-ca.example" << false << true
                                    << "certificate not trusted (issued by "
                                       "CN=127.0.0.1,O=lectora-server, not by the CA in ";
        // The pair names 127.0.0.1 and localhost; the server listens on another loopback address.
        QTest::newRow("another name") << "127.0.0.2"
                                      << "127.0.0.1" << true << true
                                      << "certificate is for localhost, 127.0.0.1, not 127.0.0.2";
        QTest::newRow("server without TLS")
            << "127.0.0.1"
            << "127.0.0.1" << false << false << "server does not offer encryption";
    }
    void refusedLink()
    {
        QFETCH(QString, host);
        QFETCH(QString, pairFor);
        QFETCH(bool, serverUsesPair);
        QFETCH(bool, serverEncrypts);
        QFETCH(QString, reason);
        const QString folder = m_home.filePath(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(folder));
        const tds::SelfSignedFiles pair =
            tds::ensureSelfSigned(folder.toStdString(), pairFor.toStdString());
        EmbeddedServer server;
        ServerOptions options;
        options.host = host.toStdString();
        if (serverUsesPair) {
            options.tlsCertificate = pair.certificate;
            options.tlsKey = pair.key;
        }
        if (!serverEncrypts)
            options.encryption = tds::ServerEncryption::Off;
        server.start(options);
        useProfile(host, server.port(),
                   QStringLiteral("encrypt=on\nca_file=%1\n").arg(path(pair.certificate)));

        int exitCode = 0;
        QVERIFY(!startTerminal(exitCode));
        QCOMPARE(exitCode, 1);
        QCOMPARE(shown().size(), 1);
        QCOMPARE(shown()[0].form, MessageService::Form::ErrorBox);
        const QString text = shown()[0].text;
        QVERIFY2(text.contains(QStringLiteral("%1,%2").arg(host).arg(server.port())),
                 qPrintable(text));
        QVERIFY2(text.contains(reason), qPrintable(text));
    }
};

QTEST_MAIN(EncryptedLinkTest)
#include "tst_encryptedlink.moc"
