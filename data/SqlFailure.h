#pragma once
// Turns a failed Qt SQL call into the DbError the windows see, and tells a
// dead link (the connection must be reopened) from an answer of the server.

#include "data/DbError.h"

#include <QSqlError>
#include <QString>

class Connection;

namespace sqlfailure
{

// The server's own words, without the driver's "[FreeTDS][SQL Server]" prefixes.
QString serverText(const QSqlError& error);
// Whether a driver's message says the server did not answer in time.
bool isTimeout(const QString& text);
// Raises the failure of `what` on `connection`; marks the connection lost when
// the link is what failed, so that the next command reopens it.
[[noreturn]] void raise(const QSqlError& error, Connection& connection, const QString& what);
// Characters an RPC string parameter can carry to the server unchanged.
bool fitsServerCodePage(const QString& value, QChar* offending = nullptr);

} // namespace sqlfailure
