#include "data/SqlFailure.h"

#include "data/Connection.h"

#include <QRegularExpression>

#include <algorithm>
#include <iterator>

namespace sqlfailure
{

namespace
{

// Messages the driver gives when the socket, not the server, failed.
bool looksLikeLostLink(const QString& text)
{
    static const char* const signs[] = {"communication link", "read from the server failed",
                                        "write to the server failed", "unexpected eof",
                                        "server closed", "connection closed", "not connected",
                                        "connection reset", "broken pipe", "connection refused",
                                        "unable to connect", "connection is dead", "login timeout",
                                        // a command or an open that ran out of time: the
                                        // driver has given the link up, or will at its next use
                                        "timeout expired", "timed out",
                                        // what the driver says when a write finds the socket closed
                                        "unknown error"};
    const QString lower = text.toLower();
    for (const char* s : signs) {
        if (lower.contains(QLatin1String(s)))
            return true;
    }
    return false;
}

} // namespace

bool isTimeout(const QString& text)
{
    const QString lower = text.toLower();
    return lower.contains(QLatin1String("timeout expired")) ||
           lower.contains(QLatin1String("timed out")) ||
           lower.contains(QLatin1String("login timeout"));
}

QString serverText(const QSqlError& error)
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    // Several diagnostic records come joined by blanks or line breaks; each
    // starts with the bracketed component names.
    static const QRegularExpression prefix(QStringLiteral("(\\[[^\\]]*\\])+\\s*"));
    text.replace(prefix, QString());
    return text.trimmed();
}

void raise(const QSqlError& error, Connection& connection, const QString& what)
{
    const QString text = serverText(error);
    bool ok = false;
    const int native = error.nativeErrorCode().toInt(&ok);
    const QString shown = text.isEmpty() ? what : text;
    // SQL Server's own errors are numbered below 20000 or from 50000 on; the
    // driver's library errors (20000-20999) and unnumbered ones mean the
    // client side failed.
    const bool serverAnswer = ok && native > 0 && (native < 20000 || native >= 50000);
    if (!serverAnswer && looksLikeLostLink(error.text())) {
        connection.markLost();
        throw DbError(
            DbError::Kind::ConnectionLost,
            QStringLiteral("The connection %1 to %2 was lost (%3). The next command reconnects.")
                .arg(connection.name(), connection.catalogue(), shown),
            ok ? native : 0);
    }
    if (serverAnswer)
        throw DbError(DbError::Kind::Server, shown, native);
    // Whatever else went wrong on the client side, a fresh connection for the
    // next command costs little and rules out a half-broken one.
    connection.markLost();
    throw DbError(DbError::Kind::Other, shown, ok ? native : 0);
}

bool fitsServerCodePage(const QString& value, QChar* offending)
{
    // The catalogues' collation uses code page 1252: Latin-1 plus these in 0x80-0x9F.
    static const char16_t extra[] = {0x20AC, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                     0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x017D, 0x2018,
                                     0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC,
                                     0x2122, 0x0161, 0x203A, 0x0153, 0x017E, 0x0178};
    for (const QChar c : value) {
        const char16_t u = c.unicode();
        if ((u >= 0x01 && u < 0x80) || (u >= 0xA0 && u <= 0xFF))
            continue;
        if (std::find(std::begin(extra), std::end(extra), u) == std::end(extra)) {
            if (offending)
                *offending = c;
            return false;
        }
    }
    return true;
}

} // namespace sqlfailure
