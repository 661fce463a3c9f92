#pragma once
// Reading a statement's answer to the end. The driver allows one statement
// with pending results per connection, and a query left half-read would make
// the next command on that connection fail; so every answer is read whole as
// soon as it arrives, and what follows its first result set is discarded.

#include <QList>
#include <QSqlQuery>
#include <QVariant>

class Connection;

namespace resultrows
{

// Every row of the current result set; raises DbError when the fetch fails.
QList<QList<QVariant>> readAll(QSqlQuery& query, Connection& connection, const QString& what);
// Consumes the remaining result sets and row counts, which frees the connection.
void drain(QSqlQuery& query);

} // namespace resultrows
