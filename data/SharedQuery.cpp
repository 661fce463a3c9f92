// The shared-query protocol over Qt SQL. The answer is read whole when the
// query opens (see ResultRows.h), so columns can be read in any order and any
// number of times, and the connection is free for the next command at once.
#include "data/SharedQuery.h"

#include "data/Connection.h"
#include "data/DbError.h"
#include "data/ResultRows.h"
#include "data/SqlFailure.h"

#include <QSqlError>
#include <QSqlRecord>

SharedQuery::SharedQuery() = default;
SharedQuery::~SharedQuery() = default;

void SharedQuery::close()
{
    m_query.reset();
    m_columns.clear();
    m_row.clear();
    m_rows.clear();
    m_pos = 0;
    m_open = false;
    m_eof = true;
    m_empty = true;
}

void SharedQuery::setConnection(Connection& connection)
{
    m_connection = &connection;
}

void SharedQuery::setText(const QString& commandText)
{
    m_text = commandText;
}

void SharedQuery::open()
{
    close();
    if (!m_connection)
        throw DbError(DbError::Kind::Other, QStringLiteral("The query has no connection."));
    // The driver hands the text over as a C string: a NUL would silently cut
    // the command short.
    if (m_text.contains(QChar(u'\0')))
        throw DbError(
            DbError::Kind::Conversion,
            QStringLiteral("The command contains a NUL character and cannot be sent unchanged."));

    QSqlDatabase db = m_connection->database();
    auto query = std::make_unique<QSqlQuery>(db);
    query->setForwardOnly(true);
    if (!query->exec(m_text))
        sqlfailure::raise(query->lastError(), *m_connection, m_text);
    if (!query->isSelect()) {
        resultrows::drain(*query);
        throw DbError(DbError::Kind::NoResultSet,
                      QStringLiteral("The command returned no result set: %1").arg(m_text));
    }

    const QSqlRecord record = query->record();
    for (int i = 0; i < record.count(); ++i)
        m_columns << record.fieldName(i);
    m_rows = resultrows::readAll(*query, *m_connection, m_text);
    resultrows::drain(*query);
    m_open = true;
    m_pos = 0;
    m_empty = m_rows.isEmpty();
    m_eof = m_empty;
    if (!m_eof)
        m_row = m_rows.first();
}

void SharedQuery::run(Connection& connection, const QString& commandText)
{
    close();
    setConnection(connection);
    setText(commandText);
    open();
}

bool SharedQuery::isEmpty() const
{
    return m_empty;
}

bool SharedQuery::eof() const
{
    return m_eof;
}

void SharedQuery::next()
{
    if (m_eof)
        return;
    ++m_pos;
    m_eof = m_pos >= m_rows.size();
    m_row = m_eof ? QList<QVariant>() : m_rows[m_pos];
}

QVariant SharedQuery::value(const QString& column) const
{
    int index = -1;
    for (int i = 0; i < m_columns.size(); ++i) {
        if (m_columns[i].compare(column, Qt::CaseInsensitive) == 0) {
            index = i;
            break;
        }
    }
    // Before any command and after a failed one there is no result to miss a
    // column from; reading then is like reading after no row.
    if (index < 0 && m_open)
        throw DbError(DbError::Kind::MissingColumn,
                      QStringLiteral("Field '%1' not found").arg(column));
    if (index < 0 || m_eof || index >= m_row.size())
        return {};
    return m_row[index];
}

QString SharedQuery::text(const QString& column) const
{
    const QVariant v = value(column);
    return v.isNull() ? QString() : v.toString();
}

int SharedQuery::integer(const QString& column) const
{
    const QVariant v = value(column);
    if (v.isNull())
        return 0;
    bool ok = false;
    int n = 0;
    switch (v.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
        n = qRound(v.toDouble(&ok));
        break;
    default: {
        const QString t = v.toString().trimmed();
        if (t.isEmpty())
            return 0;
        n = t.toInt(&ok);
        if (!ok) {
            // Decimal columns arrive as text ("12.00").
            const double d = t.toDouble(&ok);
            ok = ok && d == static_cast<double>(static_cast<int>(d));
            n = static_cast<int>(d);
        }
    }
    }
    if (!ok)
        throw DbError(DbError::Kind::Conversion,
                      QStringLiteral("'%1' is not a valid integer value").arg(v.toString()));
    return n;
}

QStringList SharedQuery::columns() const
{
    return m_columns;
}

QList<QList<QVariant>> SharedQuery::takeRows()
{
    QList<QList<QVariant>> rows = m_eof ? QList<QList<QVariant>>() : m_rows.mid(m_pos);
    m_pos = m_rows.size();
    m_eof = true;
    m_row.clear();
    return rows;
}
