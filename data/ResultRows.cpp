#include "data/ResultRows.h"

#include "data/DbError.h"
#include "data/SqlFailure.h"
#include "data/WholeNumber.h"

#include <QSqlError>
#include <QSqlRecord>

void ResultRows::reset(QStringList columns, QList<QList<QVariant>> rows, bool held)
{
    m_columns = std::move(columns);
    m_rows = std::move(rows);
    m_pos = 0;
    m_held = held;
}

void ResultRows::read(QSqlQuery& query, Connection& connection, const QString& what)
{
    const QSqlRecord record = query.record();
    const int count = record.count();
    QStringList columns;
    columns.reserve(count);
    for (int i = 0; i < count; ++i)
        columns << record.fieldName(i);
    QList<QList<QVariant>> rows;
    while (query.next()) {
        QList<QVariant> row;
        row.reserve(count);
        for (int i = 0; i < count; ++i)
            row << query.value(i);
        rows << std::move(row);
    }
    const QSqlError error = query.lastError();
    if (error.isValid())
        sqlfailure::raise(error, connection, what);
    reset(std::move(columns), std::move(rows), true);
}

void ResultRows::holdEmpty()
{
    reset({}, {}, true);
}

void ResultRows::clear()
{
    reset({}, {}, false);
}

void ResultRows::next()
{
    if (!eof())
        ++m_pos;
}

int ResultRows::columnIndex(const QString& name) const
{
    for (int i = 0; i < m_columns.size(); ++i) {
        if (m_columns[i].compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QVariant ResultRows::value(const QString& column) const
{
    const int index = columnIndex(column);
    if (index < 0) {
        if (m_held)
            throw DbError(DbError::Kind::MissingColumn,
                          QStringLiteral("Field '%1' not found").arg(column));
        return {};
    }
    if (eof())
        return {};
    return m_rows[m_pos].value(index);
}

QString ResultRows::text(const QString& column) const
{
    const QVariant v = value(column);
    return v.isNull() ? QString() : v.toString();
}

int ResultRows::integer(const QString& column) const
{
    const QVariant v = value(column);
    const std::optional<int> n = wholenumber::read<int>(v);
    if (!n)
        throw DbError(DbError::Kind::Conversion,
                      QStringLiteral("'%1' is not a valid integer value").arg(v.toString()));
    return *n;
}

QList<QList<QVariant>> ResultRows::takeRest()
{
    QList<QList<QVariant>> rest = m_rows.mid(m_pos);
    m_pos = m_rows.size();
    return rest;
}

namespace resultrows
{

void drain(QSqlQuery& query)
{
    // Errors raised by later parts of a command are not the first result's:
    // they are left to the server, as the first result set is all a command gives.
    while (query.nextResult()) {
    }
}

} // namespace resultrows
