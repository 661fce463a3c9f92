#include "data/ResultRows.h"

#include "data/SqlFailure.h"

#include <QSqlError>
#include <QSqlRecord>

namespace resultrows
{

QList<QList<QVariant>> readAll(QSqlQuery& query, Connection& connection, const QString& what)
{
    const int columns = query.record().count();
    QList<QList<QVariant>> rows;
    while (query.next()) {
        QList<QVariant> row;
        row.reserve(columns);
        for (int i = 0; i < columns; ++i)
            row << query.value(i);
        rows << std::move(row);
    }
    const QSqlError error = query.lastError();
    if (error.isValid())
        sqlfailure::raise(error, connection, what);
    return rows;
}

void drain(QSqlQuery& query)
{
    // Errors raised by later parts of a command are not the first result's:
    // they are left to the server, as the first result set is all a command gives.
    while (query.nextResult()) {
    }
}

} // namespace resultrows
