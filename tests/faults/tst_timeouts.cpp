// Timeouts of the terminal's link: a server that stops answering in the
// middle of a scan, or one that accepts the connection and never answers the
// login. The window is given back within the configured limit, the next scan
// opens a new link, and nothing that timed out is sent again.
#include "app/Startup.h"
#include "app/shell/MessageService.h"
#include "inventory/U_Inventario.h"
#include "server/ProcedureHost.h"
#include "tests/support/TerminalFixture.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace lectora::server;

namespace
{

constexpr int kCommandTimeout = 2;
constexpr int kConnectTimeout = 2;

QStringList texts()
{
    QStringList out;
    for (const auto& s : MessageService::instance().shown())
        out << s.text;
    return out;
}

// The sockets of this process connected to `port` on loopback.
QList<int> socketsTo(int port)
{
    QList<int> found;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& name : fds.entryList(QDir::NoDotAndDotDot | QDir::System)) {
        const int fd = name.toInt();
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port)
            found << fd;
    }
    return found;
}

// An external stand-in whose process can be stopped and resumed, with the
// journal file that shows what it received.
class ServerProcess
{
public:
    explicit ServerProcess(const QString& folder)
        : m_port(TerminalFixture::closedPort()), m_journal(folder + "/journal.log")
    {
        const QString program =
            QCoreApplication::applicationDirPath() + "/../server/lectora-server";
        m_process.start(program, {"--listen", QStringLiteral("127.0.0.1:%1").arg(m_port), "--data",
                                  folder, "--journal", m_journal});
        m_process.waitForStarted();
        m_process.waitForReadyRead(10000); // it says when it listens
    }
    ~ServerProcess()
    {
        resume();
        m_process.terminate();
        m_process.waitForFinished();
    }
    int port() const { return m_port; }
    // kill() returns before every thread has stopped, and a thread still
    // running could answer the next command; wait until all of them have.
    bool stop()
    {
        const auto pid = static_cast<pid_t>(m_process.processId());
        ::kill(pid, SIGSTOP);
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
        for (int attempt = 0; attempt < 1000; ++attempt) {
            bool all = true;
            for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile stat(tasks.filePath(task + "/stat"));
                if (!stat.open(QIODevice::ReadOnly))
                    continue;
                const QByteArray line = stat.readAll();
                const qsizetype state = line.lastIndexOf(')') + 2;
                all = all && state < line.size() && (line[state] == 'T' || line[state] == 't');
            }
            if (all)
                return true;
            QThread::msleep(2);
        }
        return false;
    }
    void resume() { ::kill(static_cast<pid_t>(m_process.processId()), SIGCONT); }
    int linesWith(const QString& text) const
    {
        QFile file(m_journal);
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        return static_cast<int>(QString::fromUtf8(file.readAll()).count(text));
    }

private:
    int m_port;
    QString m_journal;
    QProcess m_process;
};

enum class Stall { SlowRecording, StoppedServer };

} // namespace

Q_DECLARE_METATYPE(Stall)

class TstTimeouts : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

    template <typename T> T* field(QWidget* w, const char* name)
    {
        auto* f = w->findChild<T*>(QString::fromLatin1(name));
        if (!f)
            qFatal("no field %s", name);
        return f;
    }

    // A count window on NP-CIC-01 with the focus in the product field.
    QLineEdit* countWindow(TerminalFixture& fx, TfrInventario*& window)
    {
        window = new TfrInventario;
        fx.open(window, "Inventario Norda Preventa");
        auto* combo = field<QComboBox>(window, "cmbRegConteo");
        const int i = combo->findText("NP-CIC-01");
        if (i < 0)
            qFatal("no count NP-CIC-01");
        combo->setCurrentIndex(i);
        Q_EMIT combo->activated(i);
        auto* product = field<QLineEdit>(window, "EdProducto");
        product->setFocus();
        return product;
    }

    static void scan(QLineEdit* product, const QString& series)
    {
        product->clear();
        TerminalFixture::scan(product, series);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_DATA_HOME", m_home.filePath("data").toUtf8());
        qputenv("XDG_CONFIG_HOME", m_home.filePath("config").toUtf8());
    }

    // The server stops answering while the window waits: the count window
    // shows its notice once the command timeout (and the driver's wait for
    // its cancel) has passed, keeps working, and once the server answers
    // again the next scan goes through on a new link. The command that timed
    // out was not sent again. A stopped server also stalls the product
    // lookup, which the window drops silently; its recording then finds no
    // server to reconnect to within the connect timeout.
    void stalledCommandEndsAndTheNextScanReconnects_data()
    {
        QTest::addColumn<Stall>("stall");
        QTest::newRow("recording answered too late") << Stall::SlowRecording;
        QTest::newRow("server process stopped") << Stall::StoppedServer;
    }
    void stalledCommandEndsAndTheNextScanReconnects()
    {
        QFETCH(Stall, stall);
        TerminalFixture fx;
        QTemporaryDir folder;
        std::unique_ptr<ServerProcess> external;
        ConnectionSettings settings = fx.settings();
        settings.commandTimeout = kCommandTimeout;
        settings.connectTimeout = kConnectTimeout;
        if (stall == Stall::StoppedServer) {
            external = std::make_unique<ServerProcess>(folder.path());
            settings.port = external->port();
            settings.security.certificateSha256.clear();
            settings.security.caFile = folder.filePath("lectora-server.crt");
        }
        fx.dm().Cx.configure(settings);
        QVERIFY(fx.dm().Cx.odbcConnectionString().contains(
            QStringLiteral(";Timeout=%1;").arg(kCommandTimeout)));

        TfrInventario* window = nullptr;
        QLineEdit* product = countWindow(fx, window);
        scan(product, "S-1001");
        QCOMPARE(field<QLabel>(window, "lblMensaje")->text(),
                 QStringLiteral("1 Producto(s) Escaneado"));
        // The driver keeps the idle link probed, so a dead network is noticed.
        const QList<int> sockets = socketsTo(settings.port);
        QVERIFY(!sockets.isEmpty());
        for (int fd : sockets) {
            int on = 0;
            socklen_t size = sizeof on;
            QCOMPARE(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size), 0);
            QCOMPARE(on, 1);
        }

        if (stall == Stall::SlowRecording) {
            auto real = fx.server().procedures().find("sp_KVR_ScaneoInventarioDet");
            QVERIFY(real);
            fx.server().script(
                "sp_KVR_ScaneoInventarioDet",
                [body = real->body](Call& call) {
                    Reply r = body(call);
                    r.delay = std::chrono::seconds(3 * kCommandTimeout);
                    return r;
                },
                real->params);
        } else {
            QVERIFY(external->stop());
        }
        TerminalFixture::clearMessages();
        QElapsedTimer waited;
        waited.start();
        scan(product, "S-1002");
        const qint64 seconds = waited.elapsed() / 1000;
        QCOMPARE(texts(), QStringList{"No es posible realizar la operacion"});
        const int limit =
            2 * kCommandTimeout + (stall == Stall::StoppedServer ? kConnectTimeout : 0);
        QVERIFY2(seconds >= kCommandTimeout - 1 && seconds <= limit + 2,
                 qPrintable(QString::number(seconds)));
        QVERIFY(window->isVisible());

        if (stall == Stall::SlowRecording)
            fx.server().procedures().unscript("sp_KVR_ScaneoInventarioDet");
        else
            external->resume();
        TerminalFixture::clearMessages();
        scan(product, "S-1003");
        QVERIFY2(texts().isEmpty(), qPrintable(texts().join('|')));
        QCOMPARE(field<QLabel>(window, "lblMensaje")->text(),
                 QStringLiteral("1 Producto(s) Escaneado"));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("EdProducto"));

        if (stall == Stall::SlowRecording) {
            // The server did record the late scan, once; the terminal did not repeat it.
            int late = 0;
            for (const auto& call : fx.calls("sp_KVR_ScaneoInventarioDet"))
                late += call.text.find("'S-1002'") != std::string::npos;
            QCOMPARE(late, 1);
        } else {
            // The lookup the stopped server had been sent reaches it once when
            // it resumes; the recording never went out, and the next scan's
            // lookup and recording went out once each.
            QCOMPARE(external->linesWith("S-1002"), 1);
            QCOMPARE(external->linesWith("S-1003"), 2);
        }
    }

    // A server that accepts the connection and never answers: with
    // connect_timeout=2 the terminal shows the failure and ends after about
    // two seconds instead of leaving the operator with no window.
    void silentServerAtStartIsGivenUp()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QCOMPARE(::listen(listener, 8), 0); // never accepted: the kernel completes the handshake
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

        const QString profile = m_home.filePath("silent.ini");
        QFile f(profile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[server]\nport=%1\nconnect_timeout=2\n")
                    .arg(ntohs(address.sin_port))
                    .toUtf8());
        f.close();
        qputenv("LECTORA_PROFILE", profile.toUtf8());
        MessageService::instance().setScripted(true);
        MessageService::instance().clear();

        QElapsedTimer waited;
        waited.start();
        int exitCode = 0;
        std::unique_ptr<Terminal> terminal = startTerminal(exitCode);
        const qint64 seconds = waited.elapsed() / 1000;
        ::close(listener);
        qputenv("LECTORA_PROFILE", "");
        QVERIFY(!terminal);
        QCOMPARE(exitCode, 1);
        QVERIFY2(seconds <= 4, qPrintable(QString::number(seconds)));
        QCOMPARE(MessageService::instance().shown().size(), 1);
        QVERIFY2(MessageService::instance().shown().first().text.contains("did not answer"),
                 qPrintable(MessageService::instance().shown().first().text));
    }
};

QTEST_MAIN(TstTimeouts)
#include "tst_timeouts.moc"
