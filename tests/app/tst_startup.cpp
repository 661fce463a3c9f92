// Start-up as a site meets it: the embedded default with no profile, a profile
// that points at a server, and the ways start-up refuses to go on (with the
// reason shown and a non-zero exit, never the demo in place of the site's
// server).

#include "app/Startup.h"
#include "app/U_Menu.h"
#include "app/shell/MessageService.h"
#include "data/U_Data.h"
#include "server/EmbeddedServer.h"
#include "tests/support/TerminalFixture.h"

#include <QAction>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTemporaryDir>
#include <QTest>

class StartupTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    QByteArray m_savedProfile;

    QString writeProfile(const QString& name, const QString& content)
    {
        const QString path = m_home.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        file.write(content.toUtf8());
        return path;
    }

    const QList<MessageService::Shown>& shown() const { return MessageService::instance().shown(); }

    // Logs in as the operator would, on the window start-up showed.
    static void login(TFr_Menu* menu, const QString& user, const QString& password)
    {
        auto* u = menu->findChild<QLineEdit*>(QStringLiteral("edt_Usuario"));
        auto* p = menu->findChild<QLineEdit*>(QStringLiteral("edt_Contra"));
        QTest::keyClicks(u, user);
        QTest::keyClick(u, Qt::Key_Return);
        QTest::keyClicks(p, password);
        QTest::keyClick(p, Qt::Key_Return);
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
        qputenv("LECTORA_PROFILE", "");
    }

    void embeddedDefaultWithoutProfile()
    {
        int exitCode = -1;
        std::unique_ptr<Terminal> terminal = startTerminal(exitCode);
        QVERIFY(terminal);
        QCOMPARE(exitCode, 0);
        QVERIFY(terminal->embedded && terminal->embedded->running());
        QVERIFY(QDir(m_home.filePath(QStringLiteral("data/LectoraVelmor"))).exists());
        QVERIFY(terminal->mainWindow->isVisible());
        QCOMPARE(Dm_Velmor, terminal->dataModule.get());

        login(terminal->mainWindow.get(), QStringLiteral("demo"), QStringLiteral("demo"));
        QVERIFY(shown().isEmpty());
        QCOMPARE(terminal->mainWindow->IdPersona(), QStringLiteral("1"));
        QVERIFY(!terminal->mainWindow->entry(QStringLiteral("Embarque1"))->isVisible());
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("profile");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("malformed") << "[server]\nhots=127.0.0.1\n" << 2 << "hots";
        QTest::newRow("missing file") << "" << 2 << "cannot be read";
        // A port where nothing listens: the main connection cannot open.
        QTest::newRow("no server") << "[server]\nhost=127.0.0.1\nport=%1\n" << 1 << "";
    }

    void refusals()
    {
        QFETCH(QString, profile);
        QFETCH(int, exitCode);
        QFETCH(QString, reason);
        QString path = m_home.filePath(QStringLiteral("missing.ini"));
        if (!profile.isEmpty()) {
            path = writeProfile(QStringLiteral("refused.ini"),
                                profile.arg(TerminalFixture::closedPort()));
        }
        qputenv("LECTORA_PROFILE", path.toUtf8());
        int code = 0;
        std::unique_ptr<Terminal> terminal = startTerminal(code);
        QVERIFY(!terminal);
        QCOMPARE(code, exitCode);
        QCOMPARE(shown().size(), 1);
        QCOMPARE(shown()[0].caption, QStringLiteral("LectoraVelmor"));
        QCOMPARE(shown()[0].icon, QMessageBox::Critical);
        QVERIFY2(shown()[0].text.contains(reason), qPrintable(shown()[0].text));
        QVERIFY(!shown()[0].text.isEmpty());
        QCOMPARE(Dm_Velmor, nullptr);
    }

    // Run by external_server.test.sh with a `lectora-server` it started and a
    // profile pointing at it; skipped in the plain test run.
    void externalServerByProfile()
    {
        const QByteArray profile = qgetenv("LECTORA_TEST_EXTERNAL_PROFILE");
        if (profile.isEmpty())
            QSKIP("needs a separately started lectora-server (external_server.test.sh)");
        qputenv("LECTORA_PROFILE", profile);
        int exitCode = -1;
        std::unique_ptr<Terminal> terminal = startTerminal(exitCode);
        QVERIFY(terminal);
        QVERIFY(!terminal->embedded);
        login(terminal->mainWindow.get(), QStringLiteral("demo"), QStringLiteral("demo"));
        QVERIFY(shown().isEmpty());
        QCOMPARE(terminal->mainWindow->IdPersona(), QStringLiteral("1"));

        QAction* shipment = terminal->mainWindow->entry(QStringLiteral("Embarque1"));
        QVERIFY(shipment->isVisible());
        shipment->trigger();
        QMdiSubWindow* child = terminal->mainWindow->mdiArea()->activeSubWindow();
        QVERIFY(child);
        QCOMPARE(child->windowTitle(), QStringLiteral("Embarque"));
    }

    void cleanupTestCase() { qputenv("LECTORA_PROFILE", m_savedProfile); }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
