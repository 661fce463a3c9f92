// The main connection cannot be opened at start: nobody listens, the server
// refuses the profile's credentials, or it goes away right after accepting
// them. The reason is shown once and the run ends without the main window.
#include "app/Startup.h"
#include "app/U_Menu.h"
#include "app/shell/MessageService.h"
#include "data/U_Data.h"
#include "server/EmbeddedServer.h"
#include "tests/support/TerminalFixture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace lectora::server;

class TstStartFailure : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_DATA_HOME", m_home.filePath("data").toUtf8());
        qputenv("XDG_CONFIG_HOME", m_home.filePath("config").toUtf8());
        MessageService::instance().setScripted(true);
    }

    void mainConnectionUnreachable_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("nothing listens") << "closed";
        QTest::newRow("credentials refused") << "refused";
        QTest::newRow("login name refused") << "login";
    }
    void mainConnectionUnreachable()
    {
        QFETCH(QString, how);
        EmbeddedServer server;
        ServerOptions options;
        options.password = "Right-Pw-31";
        server.start(options);
        int port = server.port();
        QString password = QStringLiteral("Right-Pw-31");
        if (how == "closed") {
            server.stop();
            port = TerminalFixture::closedPort();
        } else if (how == "refused") {
            password = QStringLiteral("Wrong-Pw-77");
        } else {
            // The right password, but the server knows another login name.
            server.stop();
            options.login = "someone-else";
            options.port = port;
            server.start(options);
        }
        const QString profile = m_home.filePath("p.ini");
        QFile f(profile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(
            QStringLiteral("[server]\nport=%1\npassword=%2\n").arg(port).arg(password).toUtf8());
        f.close();
        qputenv("LECTORA_PROFILE", profile.toUtf8());
        MessageService::instance().clear();

        int exitCode = 0;
        std::unique_ptr<Terminal> terminal = startTerminal(exitCode);
        QVERIFY(!terminal);
        QCOMPARE(exitCode, 1);
        QCOMPARE(Dm_Velmor, nullptr);
        const auto& shown = MessageService::instance().shown();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].form, MessageService::Form::ErrorBox);
        QCOMPARE(shown[0].caption, QStringLiteral("LectoraVelmor"));
        QVERIFY(!shown[0].text.trimmed().isEmpty());
        QVERIFY2(!shown[0].text.contains("Pw-"), qPrintable(shown[0].text));
        qputenv("LECTORA_PROFILE", "");
    }
};

QTEST_MAIN(TstStartFailure)
#include "tst_startfailure.moc"
