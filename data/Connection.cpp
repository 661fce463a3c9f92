#include "data/Connection.h"

#include "data/DataEvents.h"
#include "data/DbError.h"
#include "data/LinkCheck.h"
#include "data/OdbcString.h"
#include "data/ServerTrust.h"
#include "data/SqlFailure.h"
#include "platform/DriverEnvironment.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlError>
#include <QSysInfo>
#include <QTemporaryDir>

#include <algorithm>

namespace
{

QAtomicInt instances;
// The most a failed first open waits for the check of its encryption.
constexpr int kLinkCheckSeconds = 10;

// FreeTDS takes a CA file only from a server section of its configuration
// file, and finds that file through FREETDSCONF: one private folder for the
// run holds that file and the certificate pinned for the server, each
// rewritten at every open, neither a secret. Empty when it cannot be written.
QString privateFile(const QString& name, const QByteArray& text)
{
    static QTemporaryDir folder;
    if (!folder.isValid())
        return {};
    const QString path = folder.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) < 0 ||
        !file.flush())
        return {};
    return path;
}

} // namespace

Connection::Connection(const QString& name, const QString& catalogue)
    : m_name(name), m_catalogue(catalogue),
      m_qtName(QStringLiteral("lectora-%1-%2").arg(name).arg(instances.fetchAndAddRelaxed(1)))
{
    QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_qtName);
}

Connection::~Connection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_qtName, false);
        if (db.isOpen()) {
            db.close();
            dataevents::linkClosed(*this);
        }
    }
    QSqlDatabase::removeDatabase(m_qtName);
}

void Connection::configure(const ConnectionSettings& settings)
{
    m_settings = settings;
    if (m_settings.workstation.isEmpty())
        m_settings.workstation = QSysInfo::machineHostName();
    // New settings take effect at the next open.
    if (isOpen())
        m_reopen = true;
}

QString Connection::odbcConnectionString() const
{
    return OdbcString(m_settings, m_catalogue).text();
}

bool Connection::isOpen() const
{
    return !m_reopen && QSqlDatabase::database(m_qtName, false).isOpen();
}

void Connection::ensureOpen()
{
    QSqlDatabase db = QSqlDatabase::database(m_qtName, false);
    if (m_reopen) {
        db.close();
        m_reopen = false;
    }
    if (db.isOpen())
        return;
    ConnectionSettings s = m_settings;
    // A value the driver cannot carry is refused before anything is sent.
    if (const OdbcString asked(s, m_catalogue); !asked.problem().isEmpty())
        fail(DbError::Kind::Conversion, asked.problem());
    QElapsedTimer opening;
    opening.start();
    if (servertrust::needsProbe(s.security))
        s.security = trustedLink(s);
    const OdbcString odbc(s, m_catalogue);
    if (!odbc.freeTdsConfiguration().isEmpty()) {
        const QString path =
            privateFile(QStringLiteral("freetds.conf"), odbc.freeTdsConfiguration().toUtf8());
        if (path.isEmpty())
            fail(DbError::Kind::Other,
                 QStringLiteral("no private folder for the driver's certificate settings"));
        qputenv("FREETDSCONF", QFile::encodeName(path));
    }
    db.setDatabaseName(odbc.text());
    // The login timeout bounds the whole open, TCP connect and login alike,
    // and the look at the server before it counts against it. The connection
    // timeout is what other drivers apply to each command. Keepalive needs
    // nothing here: FreeTDS turns it on for its socket.
    const qint64 loginSeconds =
        std::max<qint64>(1, m_settings.connectTimeout - opening.elapsed() / 1000);
    db.setConnectOptions(
        QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2;%3")
            .arg(loginSeconds)
            .arg(commandTimeoutSeconds())
            .arg(odbc.connectOptions()));
    if (!db.open()) {
        const QSqlError error = db.lastError();
        // The next command tries again from scratch.
        db.close();
        m_reopen = true;
        const QString why = QStringLiteral("Cannot connect to %1 (%2) on %3,%4: %5")
                                .arg(m_catalogue, m_name, m_settings.host)
                                .arg(m_settings.port)
                                .arg(openFailure(error, s));
        dataevents::linkFailed(*this, why);
        throw DbError(DbError::Kind::ConnectionLost, why, error.nativeErrorCode().toInt());
    }
    ++m_opened;
    dataevents::linkOpened(*this, opening.elapsed());
}

void Connection::fail(DbError::Kind kind, const QString& why)
{
    m_reopen = true;
    const QString text =
        kind == DbError::Kind::ConnectionLost
            ? QStringLiteral("Cannot connect to %1 (%2) on %3,%4: %5")
                  .arg(m_catalogue, m_name, m_settings.host)
                  .arg(m_settings.port)
                  .arg(why)
            : QStringLiteral("Cannot connect to %1 (%2): %3").arg(m_catalogue, m_name, why);
    dataevents::linkFailed(*this, text);
    throw DbError(kind, text);
}

LinkSecurity Connection::trustedLink(const ConnectionSettings& s)
{
    const servertrust::Decision d =
        servertrust::decide(s, linkcheck::probe(s, s.connectTimeout * 1000));
    if (!d.refusal.isEmpty())
        fail(DbError::Kind::ConnectionLost, d.refusal);
    LinkSecurity driver = d.driver;
    // A FreeTDS that cannot be pointed at a configuration file cannot be
    // pinned: the certificate the check just accepted is the one it trusts,
    // as the other drivers are told to.
    if (!d.pinnedPem.isEmpty() && OdbcString::familyOf(s.driver) == OdbcString::Family::FreeTds &&
        !lectora::driverenv::reachesDriver()) {
        driver.pinnedCertificate = false;
        driver.trustServerCertificate = true;
        return driver;
    }
    if (!d.pinnedPem.isEmpty()) {
        driver.caFile = privateFile(QStringLiteral("server-certificate.pem"), d.pinnedPem);
        if (driver.caFile.isEmpty())
            fail(DbError::Kind::Other,
                 QStringLiteral("no private folder for the server's certificate"));
    }
    return driver;
}

QString Connection::openFailure(const QSqlError& error, const ConnectionSettings& opened) const
{
    // The driver words a refused certificate or a server without TLS as a
    // failed login. A link that opened once has passed those checks, so only
    // a first open looks for them, and within the time the open was allowed.
    // A server that let the open run out of time would only let the check
    // wait as long again.
    const QString text = sqlfailure::serverText(error);
    const QString shown = text.isEmpty() ? error.text() : text;
    if (m_opened == 0 && !sqlfailure::isTimeout(shown)) {
        const int seconds = std::min(m_settings.connectTimeout, kLinkCheckSeconds);
        const QString reason = linkcheck::encryptionProblem(opened, seconds * 1000);
        if (!reason.isEmpty())
            return reason;
    }
    return shown;
}

void Connection::close()
{
    QSqlDatabase db = QSqlDatabase::database(m_qtName, false);
    const bool wasOpen = db.isOpen();
    db.close();
    m_reopen = false;
    if (wasOpen)
        dataevents::linkClosed(*this);
}

bool Connection::encrypted() const
{
    return m_settings.security.encrypt == LinkEncryption::On ||
           m_settings.security.encrypt == LinkEncryption::Strict;
}

QSqlDatabase Connection::database()
{
    ensureOpen();
    return QSqlDatabase::database(m_qtName, false);
}

void Connection::markLost()
{
    m_reopen = true;
}
