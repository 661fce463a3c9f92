// A data-module connection. The settings live in the members; the
// provider-style record and the ODBC string are two renderings of them, and
// the ODBC one is built afresh at each open so new settings take effect then.
#include "data/Connection.h"

#include "data/DbError.h"
#include "data/SqlFailure.h"
#include "data/U_Data.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QSysInfo>

#include <optional>

namespace
{

QAtomicInt instances;

// An ODBC attribute value, braced when it holds a character that would end
// or split it. The driver ends a braced value at the first '}' and knows no
// escape for it, so a value needing braces cannot also hold one: empty then.
std::optional<QString> odbcValue(const QString& value)
{
    const bool braces = value.contains(QLatin1Char(';')) || value.startsWith(QLatin1Char('{')) ||
                        value.trimmed() != value;
    if (!braces)
        return value;
    if (value.contains(QLatin1Char('}')))
        return std::nullopt;
    return QLatin1Char('{') + value + QLatin1Char('}');
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
    m_host = settings.host;
    m_port = settings.port;
    m_workstation =
        settings.workstation.isEmpty() ? QSysInfo::machineHostName() : settings.workstation;
    m_login = settings.login;
    m_password = settings.password;
    m_driver = settings.driver;
    // New settings take effect at the next open.
    if (isOpen())
        m_lost = true;
}

QString Connection::connectionString() const
{
    const QStringList pairs = {
        QStringLiteral("Provider=SQLOLEDB.1"),
        QStringLiteral("Password=") + m_password,
        QStringLiteral("Persist Security Info=True"),
        QStringLiteral("User ID=") + m_login,
        QStringLiteral("Initial Catalog=") + m_catalogue,
        QStringLiteral("Data Source=%1,%2").arg(m_host).arg(m_port),
        QStringLiteral("Use Procedure for Prepare=1"),
        QStringLiteral("Auto Translate=True"),
        QStringLiteral("Packet Size=4096"),
        QStringLiteral("Workstation ID=") + m_workstation,
        QStringLiteral("Use Encryption for Data=False"),
        QStringLiteral("Tag with column collation when possible=False"),
    };
    return pairs.join(QLatin1Char(';'));
}

QString Connection::odbcConnectionString() const
{
    // Qt 6.4 appends a NUL to the last value it passes, so the password must
    // not be last; WSID takes that place.
    const QStringList pairs = {
        QStringLiteral("Driver={%1}").arg(m_driver),
        QStringLiteral("Server=") + odbcValue(m_host).value_or(QString()),
        QStringLiteral("Port=%1").arg(m_port),
        QStringLiteral("Database=") + odbcValue(m_catalogue).value_or(QString()),
        QStringLiteral("UID=") + odbcValue(m_login).value_or(QString()),
        QStringLiteral("PWD=") + odbcValue(m_password).value_or(QString()),
        QStringLiteral("TDS_Version=7.4"),
        QStringLiteral("ClientCharset=UTF-8"),
        QStringLiteral("Encryption=off"),
        QStringLiteral("APP=LectoraVelmor"),
        QStringLiteral("WSID=") + odbcValue(m_workstation).value_or(QString()),
    };
    return pairs.join(QLatin1Char(';'));
}

bool Connection::isOpen() const
{
    return !m_lost && QSqlDatabase::database(m_qtName, false).isOpen();
}

void Connection::ensureOpen()
{
    QSqlDatabase db = QSqlDatabase::database(m_qtName, false);
    if (m_lost) {
        db.close();
        m_lost = false;
    }
    if (db.isOpen())
        return;
    for (const QString* value : {&m_host, &m_login, &m_password, &m_workstation}) {
        if (!odbcValue(*value)) {
            m_lost = true;
            throw DbError(
                DbError::Kind::Conversion,
                QStringLiteral(
                    "Cannot connect to %1 (%2): a setting holds both ';' and '}', which the "
                    "ODBC driver cannot take")
                    .arg(m_catalogue, m_name));
        }
    }
    db.setDatabaseName(odbcConnectionString());
    db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2")
                             .arg(connectionTimeoutSeconds())
                             .arg(commandTimeoutSeconds()));
    if (!db.open()) {
        const QSqlError error = db.lastError();
        QString text = sqlfailure::serverText(error);
        if (text.isEmpty())
            text = error.text();
        // The next command tries again from scratch.
        db.close();
        m_lost = true;
        throw DbError(
            DbError::Kind::ConnectionLost,
            QStringLiteral("Cannot connect to %1 (%2): %3").arg(m_catalogue, m_name, text),
            error.nativeErrorCode().toInt());
    }
    ++m_opened;
}

void Connection::close()
{
    QSqlDatabase db = QSqlDatabase::database(m_qtName, false);
    db.close();
    m_lost = false;
}

QSqlDatabase Connection::database()
{
    ensureOpen();
    return QSqlDatabase::database(m_qtName, false);
}

void Connection::markLost()
{
    m_lost = true;
}
