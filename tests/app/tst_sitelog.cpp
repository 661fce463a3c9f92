// What a site sees and keeps of a session: the main window's status line
// (operator, server, the front window's database, the link's state) and the
// diagnostic log (each event of a session, no secret in any form, bounded on
// disk, and a log folder that cannot be written leaving the terminal at work).

#include "app/Startup.h"
#include "app/StatusLine.h"
#include "app/U_Menu.h"
#include "app/shell/DiagnosticLog.h"
#include "app/shell/MessageService.h"
#include "app/shell/SessionLog.h"
#include "data/U_Data.h"
#include "server/EmbeddedServer.h"
#include "tests/support/TerminalFixture.h"

#include <QAction>
#include <QComboBox>
#include <QDirIterator>
#include <QLineEdit>
#include <QMdiArea>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

class SiteLogTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    std::unique_ptr<lectora::server::EmbeddedServer> m_server;
    std::unique_ptr<Terminal> m_terminal;

    QString logFolder() const { return m_home.filePath(QStringLiteral("state/LectoraVelmor")); }

    // The terminal on the embedded default, or on a profile's server.
    void start(const QString& profile = {})
    {
        QString path;
        if (!profile.isEmpty()) {
            path = m_home.filePath(QStringLiteral("lectora.ini"));
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(profile.toUtf8());
        }
        qputenv("LECTORA_PROFILE", path.toUtf8());
        int exitCode = -1;
        m_terminal = startTerminal(exitCode);
        QVERIFY2(m_terminal, qPrintable(TerminalFixture::shown().value(0).text));
    }
    // A stand-in of the test's own, and the [server] keys that reach it.
    QString ownServer(const QString& keys)
    {
        m_server = std::make_unique<lectora::server::EmbeddedServer>();
        m_server->start();
        QString server = QStringLiteral("[server]\nport=%1\n").arg(m_server->port());
        if (!keys.contains(QStringLiteral("encrypt=off")))
            server += QStringLiteral("certificate_sha256=%1\n")
                          .arg(QString::fromStdString(m_server->certificateFingerprint()));
        return server + keys;
    }
    TFr_Menu* menu() const { return m_terminal->mainWindow.get(); }
    QString status() const { return menu()->statusLine()->text(); }

    void login(const QString& user, const QString& password)
    {
        menu()->findChild<QLineEdit*>(QStringLiteral("edt_Usuario"))->setText(user);
        TerminalFixture::scan(menu()->findChild<QLineEdit*>(QStringLiteral("edt_Contra")),
                              password);
    }
    // The first count window with the cyclic count chosen.
    void openCount()
    {
        menu()->entry(QStringLiteral("Inventario1"))->trigger();
        auto* counts = menu()->findChild<QComboBox*>(QStringLiteral("cmbRegConteo"));
        QVERIFY(counts);
        counts->setCurrentIndex(counts->findText(QStringLiteral("NP-CIC-01")));
        Q_EMIT counts->activated(counts->currentIndex());
    }
    void scanSeries(const QString& series)
    {
        TerminalFixture::scan(menu()->findChild<QLineEdit*>(QStringLiteral("EdProducto")), series);
    }
    // Every file of the log folder, each whole.
    QList<QByteArray> logFiles() const
    {
        SessionLog::instance().drain();
        diagnosticlog::flush();
        QList<QByteArray> files;
        for (QDirIterator it(logFolder(), QDir::Files); it.hasNext();) {
            QFile f(it.next());
            if (f.open(QIODevice::ReadOnly))
                files << f.readAll();
        }
        return files;
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char* place : {"DATA", "CONFIG", "STATE"})
            qputenv(QByteArray("XDG_") + place + "_HOME",
                    m_home.filePath(QString::fromLatin1(place).toLower()).toUtf8());
        MessageService::instance().setScripted(true);
    }
    void init()
    {
        TerminalFixture::clearMessages();
        QDir(logFolder()).removeRecursively();
        // Each test's demo afresh: no scan of an earlier one is counted.
        QDir(m_home.filePath(QStringLiteral("data"))).removeRecursively();
    }
    void cleanup()
    {
        m_terminal.reset();
        m_server.reset();
    }

    void statusLine_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("catalogue");
        QTest::newRow("no window") << ""
                                   << "KV_NORDA_PREVENTA";
        QTest::newRow("Ulmar count") << "Ulmar1"
                                     << "KV_ULMAR";
        QTest::newRow("Pavrel count") << "NordaPavrel1"
                                      << "KV_NORDAPAVREL";
    }
    void statusLine()
    {
        QFETCH(QString, entry);
        QFETCH(QString, catalogue);
        start();
        QVERIFY(!menu()->statusBar()->isVisible());
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        if (!entry.isEmpty())
            menu()->entry(entry)->trigger();
        const QString port = QString::number(Dm_Velmor->Cx.settings().port);
        QVERIFY2(status().startsWith("demo (1) · demo · " + catalogue + " · cifrada "),
                 qPrintable(status()));
        QVERIFY(menu()->statusBar()->isVisible());
        QVERIFY(menu()->statusLine()->toolTip().endsWith(" · 127.0.0.1," + port));
    }

    void linkState_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("state");
        QTest::newRow("encrypt=on") << "encrypt=on\n"
                                    << "cifrada";
        QTest::newRow("encrypt=off") << "encrypt=off\n"
                                     << "sin cifrar";
    }
    void linkState()
    {
        QFETCH(QString, keys);
        QFETCH(QString, state);
        start(ownServer(keys));
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        QVERIFY2(status().contains(QStringLiteral("KV_NORDA_PREVENTA · ") + state),
                 qPrintable(status()));
        QVERIFY2(!status().contains(QStringLiteral(" · demo · ")), qPrintable(status()));
    }

    // Lost from the failed command on the dropped link until a command on it
    // succeeds again (the next scan reopens the link).
    void lostUntilTheNextCommand()
    {
        start();
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        openCount();
        m_terminal->embedded->dropConnections();
        openCount(); // the count's command finds the link gone
        QVERIFY2(status().contains(QStringLiteral("perdida")), qPrintable(status()));
        scanSeries(QStringLiteral("S-1002"));
        QVERIFY2(status().contains(QStringLiteral("cifrada")), qPrintable(status()));
        QVERIFY(!status().contains(QStringLiteral("perdida")));
    }

    // A scripted session: a refused login (a box answered), the login, a
    // count scan, a refusal, a dropped link and its reopening.
    void sessionLog()
    {
        const QString typed = QStringLiteral("Zq'9-secreto");
        start();
        login(QStringLiteral("demo"), typed);
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        openCount();
        scanSeries(QStringLiteral("S-1001"));
        scanSeries(QStringLiteral("S-1001"));
        m_terminal->embedded->dropConnections();
        scanSeries(QStringLiteral("S-1002"));
        scanSeries(QStringLiteral("S-1003"));
        const QByteArray log = logFiles().join();
        const QStringList events{
            "Z start version 0\\.1 profile none \\(demo\\) driver",
            "Z connection CxUlmar KV_ULMAR : .*PWD=\\{?\\*\\*\\*\\*",
            "Z open Cx KV_NORDA_PREVENTA 127\\.0\\.0\\.1,\\d+ encrypted in \\d+ ms",
            "Z command window=\"Inventarios\" link=Cx KV_NORDA_PREVENTA [\\d.]+ ms: EXECUTE "
            "sp_KVR_Persona 'demo','\\*\\*\\*\\*' -> 0 row",
            "Z box error caption=\"[^\"]*\" text=\"Usuario Incorrecto\" answered Ok",
            "Z command window=\"Inventario Norda Preventa\" .* sp_KVR_ScaneoInventarioDet;1 .*"
            "@serie='S-1001' .*-> .*@Error=0",
            "Z command .* sp_KVR_ScaneoInventarioDet;1 .* -> refused: .*@Error=[1-9]",
            "Z box retry-ignore caption=\"[^\"]*\" text=\".+\" answered Ignore",
            "Z lost Cx KV_NORDA_PREVENTA : ",
            "Z command .* -> error: ",
        };
        for (const QString& event : events)
            QVERIFY2(QRegularExpression(event).match(QString::fromUtf8(log)).hasMatch(),
                     qPrintable(event));
        // The reopening after the loss.
        QVERIFY(log.count("Z open Cx KV_NORDA_PREVENTA") >= 2);
        const QByteArray lostAt = log.mid(log.indexOf("Z lost Cx"));
        QVERIFY(lostAt.contains("Z open Cx KV_NORDA_PREVENTA"));
    }

    // The typed password and the server's appear in no form in any file.
    void noSecretInTheFolder()
    {
        const QString typed = QStringLiteral("Zq'9-secreto");
        start();
        login(QStringLiteral("demo"), typed);
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        openCount();
        scanSeries(QStringLiteral("S-1001"));
        const QList<QByteArray> files = logFiles();
        QVERIFY(!files.isEmpty());
        for (const QString& secret : {typed, QStringLiteral("tolvexra")}) {
            QString quoted = secret;
            quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
            const QByteArray utf16(reinterpret_cast<const char*>(secret.utf16()),
                                   secret.size() * 2);
            for (const QByteArray& file : files)
                for (const QByteArray& form :
                     {secret.toUtf8(), quoted.toUtf8(), utf16, secret.toUtf8().toHex(),
                      secret.toUtf8().toBase64(), QByteArray("-secreto"), QByteArray("tolvex")})
                    QVERIFY2(!file.contains(form), form.constData());
        }
    }

    void rotationKeepsTheFolderBounded()
    {
        start(ownServer(QStringLiteral("[log]\nmax_kb=16\nfiles=2\n")));
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        openCount();
        for (int i = 0; i < 150; ++i)
            scanSeries(QStringLiteral("S-0000"));
        const QList<QByteArray> files = logFiles();
        qint64 bytes = 0;
        for (const QByteArray& f : files)
            bytes += f.size();
        QCOMPARE(files.size(), 3);
        QVERIFY2(bytes <= 3 * 16 * 1024 + 16 * 1024, qPrintable(QString::number(bytes)));
        QVERIFY(QFile(logFolder() + "/lectora.log.2").exists());
        QCOMPARE(int(QFile(logFolder() + "/lectora.log").permissions()) & 0x0077, 0);
        QCOMPARE(int(QFileInfo(logFolder()).permissions()) & 0x0077, 0);
    }

    // A folder that cannot take the log: the terminal goes on, without it.
    void unwritableFolderLeavesTheTerminalWorking_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("a file in the way") << "in-the-way/log";
        QTest::newRow("read-only file system") << "/proc/lectora-log";
    }
    void unwritableFolderLeavesTheTerminalWorking()
    {
        QFETCH(QString, folder);
        QFile inTheWay(m_home.filePath(QStringLiteral("in-the-way")));
        QVERIFY(inTheWay.open(QIODevice::WriteOnly));
        start(ownServer(QStringLiteral("[log]\nfolder=%1\n").arg(folder)));
        QVERIFY(diagnosticlog::filePath().isEmpty());
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        openCount();
        scanSeries(QStringLiteral("S-1001"));
        QVERIFY2(TerminalFixture::shown().isEmpty(),
                 qPrintable(TerminalFixture::shown().value(0).text));
        QVERIFY(status().contains(QStringLiteral("demo (1)")));
    }

    // A disk that fills up under the log: one warning on stderr, the log off
    // for the run, the scans go on.
    void fullDiskTurnsTheLogOff()
    {
        start(ownServer({}));
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        openCount();
        const QString path = diagnosticlog::filePath();
        QVERIFY(!path.isEmpty());
        // Files of this process may not grow past this: writes then fail as on a full disk.
        const rlimit before = [] {
            rlimit r{};
            getrlimit(RLIMIT_FSIZE, &r);
            return r;
        }();
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit full{rlim_t(QFileInfo(path).size() + 4096), before.rlim_max};
        QTemporaryFile err;
        QVERIFY(err.open());
        const int savedErr = dup(2);
        dup2(err.handle(), 2);
        setrlimit(RLIMIT_FSIZE, &full);
        for (int i = 0; i < 60; ++i)
            scanSeries(QStringLiteral("S-0000"));
        SessionLog::instance().drain();
        diagnosticlog::flush();
        setrlimit(RLIMIT_FSIZE, &before);
        std::fflush(stderr);
        dup2(savedErr, 2);
        ::close(savedErr);
        QVERIFY(err.seek(0)); // the file's offset moved with what stderr wrote
        QCOMPARE(err.readAll().count("the diagnostic log is off for this run"), 1);
        QVERIFY(diagnosticlog::filePath().isEmpty());
        QCOMPARE(TerminalFixture::shown().size(), 60);
        QVERIFY(status().contains(QStringLiteral("cifrada")));
    }

    void cleanupTestCase() { qputenv("LECTORA_PROFILE", ""); }
};

QTEST_MAIN(SiteLogTest)
#include "tst_sitelog.moc"
