// Security checks: no password is written anywhere the terminal or the
// stand-in writes (diagnostic output, journal, error texts shown to the
// operator), the stand-in listens on loopback unless told otherwise, and it
// refuses wrong credentials.
#include "app/Startup.h"
#include "app/U_Menu.h"
#include "app/shell/MessageService.h"
#include "bench/BenchKit.h"
#include "data/DbError.h"
#include "data/U_Data.h"
#include "server/Database.h"
#include "server/EmbeddedServer.h"
#include "server/Journal.h"
#include "server/PasswordHash.h"

#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

using namespace lectora::server;

namespace
{

// Markers that cannot appear by chance in any text.
const QString kServerPassword = QStringLiteral("Srv-Pw-9f3Kq");
const QString kOperatorPassword = QStringLiteral("Op-Pw-7xR2m");

QMutex outputMutex;
QStringList output; // every qDebug/qWarning/qCritical of the run
QtMessageHandler previousHandler = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    {
        QMutexLocker lock(&outputMutex);
        output << text;
    }
    if (previousHandler)
        previousHandler(type, context, text);
}

bool containsSecret(const QString& text)
{
    return text.contains(kServerPassword) || text.contains(kOperatorPassword);
}

// Local address of the socket listening on `port`, from /proc/net/tcp
// ("0100007F" is 127.0.0.1), or "" when none listens there.
QString listeningAddress(int port)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QString portHex = QStringLiteral("%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // sl local_address rem_address st(0A = listen)
        if (fields.size() > 3 && fields[3] == "0A" && fields[1].endsWith(":" + portHex.toLatin1()))
            return QString::fromLatin1(fields[1].left(fields[1].indexOf(':')));
    }
    return {};
}

} // namespace

class TstSecurity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        previousHandler = qInstallMessageHandler(capture);
        MessageService::instance().setScripted(true);
    }
    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }

    // A whole session against a stand-in with its own password: start-up,
    // refused and accepted logins, a refused connection. No password shows
    // up in what was printed, shown, journalled or raised.
    void noPasswordWrittenAnywhere()
    {
        QTemporaryDir dir;
        ServerOptions options;
        options.password = kServerPassword.toStdString();
        options.journalFile = dir.filePath("journal.log").toStdString();
        options.dataDir = dir.filePath("data").toStdString();
        std::filesystem::create_directories(options.dataDir);
        EmbeddedServer server;
        server.start(options);

        const QString profile = dir.filePath("lectora.ini");
        {
            QFile f(profile);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QStringLiteral("[server]\nport=%1\npassword=%2\n")
                        .arg(server.port())
                        .arg(kServerPassword)
                        .toUtf8());
        }
        const QByteArray savedProfile = qgetenv("LECTORA_PROFILE");
        qputenv("LECTORA_PROFILE", profile.toUtf8());
        MessageService::instance().clear();
        QStringList raised;
        {
            int exitCode = 0;
            std::unique_ptr<Terminal> terminal = startTerminal(exitCode);
            QVERIFY(terminal);
            auto* user = terminal->mainWindow->findChild<QLineEdit*>("edt_Usuario");
            auto* password = terminal->mainWindow->findChild<QLineEdit*>("edt_Contra");
            QVERIFY(user && password);
            // A wrong operator password, then the password of an operator whose
            // login makes the server fail.
            user->setText("demo");
            password->setText(kOperatorPassword);
            QTest::keyClick(password, Qt::Key_Return);
            server.script("sp_KVR_Persona", [](Call& call) {
                return Reply::fail("login failed for " + call.text(0) + "/" + call.text(1));
            });
            password->setText(kOperatorPassword);
            QTest::keyClick(password, Qt::Key_Return);
            server.procedures().unscript("sp_KVR_Persona");
            QVERIFY(terminal->mainWindow->IdPersona().isEmpty());
            // A data module whose password the server refuses: the error it
            // raises names no password, neither the one sent nor the right one.
            ConnectionSettings wrong;
            wrong.port = server.port();
            wrong.password = kOperatorPassword;
            wrong.security.certificateSha256 =
                QString::fromStdString(server.certificateFingerprint());
            Connection other(QStringLiteral("CxCheck"), QStringLiteral("KV_NORDA_PREVENTA"));
            other.configure(wrong);
            try {
                other.ensureOpen();
                QFAIL("a wrong password was accepted");
            } catch (const DbError& e) {
                raised << e.text() << QString::fromUtf8(e.what());
            }
        }
        qputenv("LECTORA_PROFILE", savedProfile);
        server.stop();

        QStringList shownTexts;
        for (const auto& m : MessageService::instance().shown())
            shownTexts << m.text << m.caption;
        QVERIFY2(shownTexts.contains("Usuario Incorrecto"), qPrintable(shownTexts.join('|')));
        QVERIFY(!raised.isEmpty());
        for (const QString& t : shownTexts + raised)
            QVERIFY2(!containsSecret(t), qPrintable(t));
        {
            QMutexLocker lock(&outputMutex);
            for (const QString& t : output)
                QVERIFY2(!containsSecret(t), qPrintable(t));
        }
        QFile journal(dir.filePath("journal.log"));
        QVERIFY(journal.open(QIODevice::ReadOnly));
        const QString journalText = QString::fromUtf8(journal.readAll());
        QVERIFY2(journalText.contains("sp_KVR_Persona"), "the journal saw the logins");
        QVERIFY2(!containsSecret(journalText), qPrintable(journalText));
        for (const JournalEntry& e : server.journal()) {
            QVERIFY(!containsSecret(QString::fromStdString(e.text)));
            for (const Value& v : e.args)
                QVERIFY(!containsSecret(QString::fromStdString(v.toText())));
        }
    }

    // The data folder and everything the stand-in writes in it are private,
    // also when an older version left them open to every local user, and
    // no operator password is stored as typed.
    void dataFilesArePrivate()
    {
        QTemporaryDir dir;
        const std::filesystem::path data = dir.filePath("data").toStdString();
        std::filesystem::create_directories(data);
        std::filesystem::permissions(data, std::filesystem::perms(0755));
        ServerOptions options;
        options.dataDir = data;
        options.journalFile = data / "journal.log";
        EmbeddedServer server;
        server.start(options);
        {
            bench::BareOdbc odbc(bench::odbcConnectionString(server.port()));
            QVERIFY(!odbc.exec("EXECUTE sp_KVR_Persona 'demo','demo'").empty());
        }
        QCOMPARE(int(std::filesystem::status(data).permissions() & std::filesystem::perms::mask),
                 0700);
        int files = 0;
        for (const auto& f : std::filesystem::directory_iterator(data)) {
            ++files;
            QVERIFY2(int(f.status().permissions() & std::filesystem::perms::mask) == 0600,
                     f.path().c_str());
        }
        QVERIFY(files >= 4);
        for (const char* catalogue : kCatalogues)
            for (const auto& row :
                 server.catalogue(catalogue).query("SELECT Contrasena FROM Persona").rows)
                QVERIFY2(password::isCurrent(row[0].toText()), row[0].toText().c_str());
    }

    // A folder that others may write into is refused, not changed.
    void sharedDataFolderRefused()
    {
        ServerOptions options;
        options.dataDir = "/tmp";
        EmbeddedServer server;
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, server.start(options));
    }

    // The journal keeps what fits its byte budget in memory, and its file
    // moves aside to FILE.1 once over its limit, the older ones along to
    // FILE.2 and FILE.3; the oldest past them goes.
    void journalIsBounded()
    {
        QTemporaryDir dir;
        const std::string file = dir.filePath("j.log").toStdString();
        Journal journal(64 * 1024);
        journal.openFile(file, 32 * 1024, 3);
        for (int i = 0; i < 200; ++i) {
            JournalEntry e;
            e.text = "EXECUTE sp_x '" + std::string(1000, 'a') + "' -- " + std::to_string(i);
            journal.record(std::move(e));
        }
        const auto kept = journal.entries();
        QVERIFY2(kept.size() > 10 && kept.size() < 100, std::to_string(kept.size()).c_str());
        QVERIFY(kept.back().text.ends_with("-- 199"));
        // Each file's last entry is older than the first of the next newer one.
        int newer = 200;
        for (const std::string& name : {file, file + ".1", file + ".2", file + ".3"}) {
            QVERIFY(std::filesystem::file_size(name) < 34 * 1024);
            std::ifstream in(name);
            std::string line, first, last;
            while (std::getline(in, line)) {
                if (first.empty())
                    first = line;
                last = line;
            }
            const auto number = [](const std::string& l) {
                return std::stoi(l.substr(l.rfind("-- ") + 3));
            };
            QVERIFY2(number(last) < newer, name.c_str());
            newer = number(first);
        }
        QVERIFY(!std::filesystem::exists(file + ".4"));
    }

    void listensOnLoopbackByDefault()
    {
        QCOMPARE(ServerOptions{}.host, std::string("127.0.0.1"));
        EmbeddedServer server;
        server.start();
        QCOMPARE(listeningAddress(server.port()), QStringLiteral("0100007F"));
    }

    void refusesWrongCredentials_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right pair") << "sa" << kServerPassword << true;
        QTest::newRow("wrong password") << "sa"
                                        << "tolvexra" << false;
        QTest::newRow("empty password") << "sa"
                                        << "" << false;
        QTest::newRow("password with a suffix") << "sa" << kServerPassword + "x" << false;
        QTest::newRow("wrong login") << "admin" << kServerPassword << false;
    }
    void refusesWrongCredentials()
    {
        QFETCH(QString, login);
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        ServerOptions options;
        options.password = kServerPassword.toStdString();
        EmbeddedServer server;
        server.start(options);
        const std::string cs =
            "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(server.port()) +
            ";Database=KV_NORDA_PREVENTA;UID=" + login.toStdString() +
            ";PWD=" + password.toStdString() +
            ";TDS_Version=7.4;ClientCharset=UTF-8;Encryption=off";
        bool connected = false;
        try {
            bench::BareOdbc odbc(cs);
            connected = !odbc.exec("EXECUTE sp_KVR_Persona 'demo','demo'").empty();
        } catch (const std::exception&) {
            connected = false;
        }
        QCOMPARE(connected, accepted);
    }
};

QTEST_MAIN(TstSecurity)
#include "tst_security.moc"
