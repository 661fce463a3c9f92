#pragma once
// One database connection of the data module (Cx, CxNordaPavrel, CxUlmar).
// It holds the configured settings and opens the driver with the ODBC string
// built from them afresh at each open, so new settings take effect then. Opening and
// every command are bounded by the configured timeouts (5000 s unless the
// profile says less), so a server that stops answering ends the command with
// a lost-link error instead of holding the window. A connection that failed
// because the link was lost is reopened by the next command that uses it; a
// failed command is never sent again.

#include "data/ConnectionSettings.h"
#include "data/DbError.h"

#include <QSqlDatabase>
#include <QString>

class QSqlError;

class Connection
{
public:
    Connection(const QString& name, const QString& catalogue);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void configure(const ConnectionSettings& settings);
    // The settings as configured (the workstation filled in).
    const ConnectionSettings& settings() const { return m_settings; }

    QString name() const { return m_name; }           // "Cx", "CxNordaPavrel", "CxUlmar"
    QString catalogue() const { return m_catalogue; } // "KV_NORDA_PREVENTA", ...
    // What the ODBC driver gets, in the keys of its family (see OdbcString).
    QString odbcConnectionString() const;
    int commandTimeoutSeconds() const { return m_settings.commandTimeout; }
    int connectionTimeoutSeconds() const { return m_settings.connectTimeout; }

    bool isOpen() const;
    // Opens if not open (or reopens after a lost link); throws DbError.
    void ensureOpen();
    void close();
    // The open database handle, opening it first if needed; throws DbError.
    QSqlDatabase database();
    // Called by a command that failed on a dead link: the next use reopens.
    void markLost();

    // Whether the commands travel encrypted: the settings ask for the whole
    // session encrypted (a connection opens so or not at all).
    bool encrypted() const;

    int timesOpened() const { return m_opened; } // for tests: first use opens, later ones don't

private:
    // What the driver is to be given after a look at the server (see
    // ServerTrust); throws DbError when the server is not to get the login.
    LinkSecurity trustedLink(const ConnectionSettings& s);
    [[noreturn]] void fail(DbError::Kind kind, const QString& why);
    // The reason for a failed open of `opened`, in the best words at hand.
    QString openFailure(const QSqlError& error, const ConnectionSettings& opened) const;

    QString m_name;
    QString m_catalogue;
    QString m_qtName; // QSqlDatabase connection name, unique per instance
    // The workstation is filled in with this machine's name when the profile gives none.
    ConnectionSettings m_settings;
    // The open handle, if any, is not to be used again: the link was lost, an
    // open failed half-way, or the settings changed. The next use closes it
    // and opens afresh.
    bool m_reopen = false;
    int m_opened = 0;
};
