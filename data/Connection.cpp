#include "data/Connection.h"

#include "data/DbError.h"
#include "data/LinkCheck.h"
#include "data/OdbcString.h"
#include "data/SqlFailure.h"

#include <QAtomicInt>
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
// file, and finds that file through FREETDSCONF: one private file for the
// run, rewritten when the settings change, holding no secret.
QString freeTdsConfigurationFile(const QString& text)
{
    static QTemporaryDir folder;
    if (!folder.isValid())
        return {};
    const QString path = folder.filePath(QStringLiteral("freetds.conf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0 ||
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
        if (db.isOpen())
            db.close();
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
    const OdbcString odbc(m_settings, m_catalogue);
    if (!odbc.problem().isEmpty()) {
        m_reopen = true;
        throw DbError(DbError::Kind::Conversion, QStringLiteral("Cannot connect to %1 (%2): %3")
                                                     .arg(m_catalogue, m_name, odbc.problem()));
    }
    if (!odbc.freeTdsConfiguration().isEmpty()) {
        const QString path = freeTdsConfigurationFile(odbc.freeTdsConfiguration());
        if (path.isEmpty()) {
            m_reopen = true;
            throw DbError(DbError::Kind::Other,
                          QStringLiteral("Cannot connect to %1 (%2): no private folder for the "
                                         "driver's certificate settings")
                              .arg(m_catalogue, m_name));
        }
        qputenv("FREETDSCONF", QFile::encodeName(path));
    }
    db.setDatabaseName(odbc.text());
    // The login timeout bounds the whole open, TCP connect and login alike.
    // The connection timeout is what other drivers apply to each command.
    // Keepalive needs nothing here: FreeTDS turns it on for its socket.
    db.setConnectOptions(
        QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2;%3")
            .arg(connectionTimeoutSeconds())
            .arg(commandTimeoutSeconds())
            .arg(odbc.connectOptions()));
    if (!db.open()) {
        const QSqlError error = db.lastError();
        // The next command tries again from scratch.
        db.close();
        m_reopen = true;
        throw DbError(DbError::Kind::ConnectionLost,
                      QStringLiteral("Cannot connect to %1 (%2) on %3,%4: %5")
                          .arg(m_catalogue, m_name, m_settings.host)
                          .arg(m_settings.port)
                          .arg(openFailure(error)),
                      error.nativeErrorCode().toInt());
    }
    ++m_opened;
}

QString Connection::openFailure(const QSqlError& error) const
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
        const QString reason = linkcheck::encryptionProblem(m_settings, seconds * 1000);
        if (!reason.isEmpty())
            return reason;
    }
    return shown;
}

void Connection::close()
{
    QSqlDatabase db = QSqlDatabase::database(m_qtName, false);
    db.close();
    m_reopen = false;
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
