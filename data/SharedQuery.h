#pragma once
// A query that runs one command text at a time and exposes its first result
// set row by row: Qr_Aux, and the grid windows' own queries. Forward-only, so
// the driver never falls back to server cursors.
//
//   SharedQuery& q = Dm_Velmor->Qr_Aux;
//   q.run(Dm_Velmor->Cx, CommandText("EXECUTE sp_KVR_ValidaLocalidad").quoted(loc));
//   if (q.isEmpty()) ...
//   QString code = q.text("Error").trimmed();
//
// Reading a column after a command that returned no row gives "" (or 0); a
// column the result does not have, or a command without a result set, raises
// DbError.

#include "data/ResultRows.h"

#include <QList>
#include <QString>
#include <QVariant>

class Connection;

class SharedQuery
{
public:
    // The protocol's steps one by one ...
    void close();
    void setConnection(Connection& connection);
    void setText(const QString& commandText);
    void open(); // throws DbError
    // ... or all four at once.
    void run(Connection& connection, const QString& commandText);

    Connection* connection() const { return m_connection; }
    QString commandText() const { return m_text; }
    bool isOpen() const { return m_open; }

    bool isEmpty() const; // no row came back
    bool eof() const;     // past the last row
    void next();
    // The column of the current row, untrimmed. Throws DbError for a missing column.
    QString text(const QString& column) const;
    // The column read as a whole number; throws DbError when it is not one
    // (an empty result reads 0).
    int integer(const QString& column) const;
    QVariant value(const QString& column) const;

    // Column names of the result, in order (grids with no declared columns).
    QStringList columns() const;
    // Every remaining row, for grids (which copy the rows and never seek).
    QList<QList<QVariant>> takeRows();

private:
    void send(); // open() without telling the watchers (see DataEvents)

    Connection* m_connection = nullptr;
    QString m_text;
    ResultRows m_rows; // the whole first result set, read at open
    bool m_open = false;
};
