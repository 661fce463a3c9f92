#pragma once
// One database connection of the data module (Cx, CxNordaPavrel, CxUlmar).
// It holds the configured settings and builds from them both the
// provider-style record the installation documents and the ODBC string the
// driver is opened with; neither is read back to make the other. Opening and
// every command are bounded by the configured timeouts (5000 s unless the
// profile says less), so a server that stops answering ends the command with
// a lost-link error instead of holding the window. A connection that failed
// because the link was lost is reopened by the next command that uses it; a
// failed command is never sent again.

#include "data/OdbcString.h"

#include <QSqlDatabase>
#include <QString>

class QSqlError;
struct ConnectionSettings;

class Connection
{
public:
    Connection(const QString& name, const QString& catalogue);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void configure(const ConnectionSettings& settings);

    QString name() const { return m_name; }           // "Cx", "CxNordaPavrel", "CxUlmar"
    QString catalogue() const { return m_catalogue; } // "KV_NORDA_PREVENTA", ...
    // The key=value record: Provider=SQLOLEDB.1;Password=...;...;Tag with column collation when
    // possible=False
    QString connectionString() const;
    // What the ODBC driver gets, in the keys of its family (see OdbcString).
    QString odbcConnectionString() const;
    int commandTimeoutSeconds() const { return m_commandTimeout; }
    int connectionTimeoutSeconds() const { return m_connectTimeout; }

    bool isOpen() const;
    // Opens if not open (or reopens after a lost link); throws DbError.
    void ensureOpen();
    void close();
    // The open database handle, opening it first if needed; throws DbError.
    QSqlDatabase database();
    // Called by a command that failed on a dead link: the next use reopens.
    void markLost();

    int timesOpened() const { return m_opened; } // for tests: first use opens, later ones don't

private:
    ConnectionSettings settings() const;
    // The reason for a failed open, in the best words at hand.
    QString openFailure(const QSqlError& error) const;

    QString m_name;
    QString m_catalogue;
    QString m_qtName; // QSqlDatabase connection name, unique per instance
    QString m_host, m_workstation, m_login, m_password, m_driver;
    int m_port = 1433;
    LinkSecurity m_security;
    int m_connectTimeout = 5000;
    int m_commandTimeout = 5000;
    bool m_lost = false;
    int m_opened = 0;
};
