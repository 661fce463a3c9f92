#pragma once
// Reading a statement's answer to the end. The driver allows one statement
// with pending results per connection, and a query left half-read would make
// the next command on that connection fail; so every answer is read whole as
// soon as it arrives, and what follows its first result set is discarded.

#include <QList>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

class Connection;

// One result set held whole, walked row by row from the first: what the
// shared query and the procedure components give their readers. Columns are
// found by name without regard to letter case; past the last row every value
// reads null. Holding no result at all (after clear()) differs from holding
// one without rows: only a held result can lack a column.
class ResultRows
{
public:
    // Reads the query's current result set whole, names and rows; raises
    // DbError when the fetch fails, and then still holds what it held.
    void read(QSqlQuery& query, Connection& connection, const QString& what);
    // Holds a result set without columns or rows: every column is missing.
    void holdEmpty();
    // Holds no result: every column reads null.
    void clear();

    bool isEmpty() const { return m_rows.isEmpty(); }
    bool eof() const { return m_pos >= m_rows.size(); }
    void next();

    const QStringList& columns() const { return m_columns; }
    qsizetype rowCount() const { return m_rows.size(); }
    // Row `i` of the result, whatever the cursor's place (empty past the end).
    QList<QVariant> row(qsizetype i) const { return m_rows.value(i); }
    // The current row's column `name`; null past the end or when no result
    // is held. Throws DbError when a held result has no such column.
    QVariant value(const QString& column) const;
    // The column as text (null reads ""), untrimmed.
    QString text(const QString& column) const;
    // The column as a whole number (see wholenumber::read); throws DbError
    // (a conversion failure) when it is not one that fits an int.
    int integer(const QString& column) const;
    // The current row and every one after it; the cursor is then at the end.
    QList<QList<QVariant>> takeRest();

private:
    void reset(QStringList columns, QList<QList<QVariant>> rows, bool held);
    int columnIndex(const QString& name) const; // the first column called `name`, or -1

    QStringList m_columns;
    QList<QList<QVariant>> m_rows;
    qsizetype m_pos = 0;
    bool m_held = false;
};

namespace resultrows
{

// Consumes the remaining result sets and row counts, which frees the connection.
void drain(QSqlQuery& query);

} // namespace resultrows
