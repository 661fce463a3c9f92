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
// reads null.
class ResultRows
{
public:
    void reset(QStringList columns, QList<QList<QVariant>> rows);
    void clear();

    bool isEmpty() const { return m_rows.isEmpty(); }
    bool eof() const { return m_pos >= m_rows.size(); }
    void next();

    const QStringList& columns() const { return m_columns; }
    // The first column called `name`, or -1.
    int columnIndex(const QString& name) const;
    // The current row's value in column `index` (null past the end or for -1).
    QVariant value(int index) const;
    // The current row and every one after it; the cursor is then at the end.
    QList<QList<QVariant>> takeRest();

    // A value read as a whole number: null or blank is 0; a decimal counts
    // when it has no fraction. Throws DbError for anything else.
    static int wholeNumber(const QVariant& value);

private:
    QStringList m_columns;
    QList<QList<QVariant>> m_rows;
    qsizetype m_pos = 0;
};

namespace resultrows
{

// Every row of the current result set; raises DbError when the fetch fails.
QList<QList<QVariant>> readAll(QSqlQuery& query, Connection& connection, const QString& what);
// Consumes the remaining result sets and row counts, which frees the connection.
void drain(QSqlQuery& query);

} // namespace resultrows
