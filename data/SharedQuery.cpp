// The shared-query protocol over Qt SQL. The answer is read whole when the
// query opens (see ResultRows.h), so columns can be read in any order and any
// number of times, and the connection is free for the next command at once.
#include "data/SharedQuery.h"

#include "data/Connection.h"
#include "data/DataEvents.h"
#include "data/DbError.h"
#include "data/SqlFailure.h"

#include <QSqlError>
#include <QSqlQuery>

void SharedQuery::close()
{
    m_rows.clear();
    m_open = false;
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
    dataevents::timed([this] { send(); },
                      [this](qint64 micros, const DbError* failure) {
                          if (!m_connection)
                              return;
                          dataevents::Command c(*m_connection);
                          c.text = m_text;
                          c.micros = micros;
                          c.rows = failure ? nullptr : &m_rows;
                          c.failure = failure;
                          dataevents::commandDone(c);
                      });
}

void SharedQuery::send()
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
    // Half a character (a field's length limit can cut a pair of UTF-16
    // surrogates) would reach the server replaced by another character.
    if (!m_text.isValidUtf16())
        throw DbError(DbError::Kind::Conversion,
                      QStringLiteral("The command contains half a character and cannot be sent "
                                     "unchanged."));

    QSqlDatabase db = m_connection->database();
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(m_text))
        sqlfailure::raise(query.lastError(), *m_connection, m_text);
    if (!query.isSelect()) {
        resultrows::drain(query);
        throw DbError(DbError::Kind::NoResultSet,
                      QStringLiteral("The command returned no result set: %1").arg(m_text));
    }

    m_rows.read(query, *m_connection, m_text);
    resultrows::drain(query);
    m_open = true;
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
    return m_rows.isEmpty();
}

bool SharedQuery::eof() const
{
    return m_rows.eof();
}

void SharedQuery::next()
{
    m_rows.next();
}

QVariant SharedQuery::value(const QString& column) const
{
    return m_rows.value(column);
}

QString SharedQuery::text(const QString& column) const
{
    return m_rows.text(column);
}

int SharedQuery::integer(const QString& column) const
{
    return m_rows.integer(column);
}

QStringList SharedQuery::columns() const
{
    return m_rows.columns();
}

QList<QList<QVariant>> SharedQuery::takeRows()
{
    return m_rows.takeRest();
}
