#pragma once
// A stored-procedure component: a procedure named with its group suffix
// ("sp_KVR_ObtieneIDProducto;1") and its declared parameter list, called as
// {? = call name(?,...)} with every parameter bound in list order. Inputs are
// set by name before the call; in/out parameters are not set (the server
// sees NULL for them) and are read by name afterwards, once every result of
// the call has been read. A string output is bound with room for its
// declared size in UTF-8.

#include "data/ResultRows.h"

#include <QList>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>

class Connection;
class DbError;

class StoredProc
{
public:
    enum class Type { Integer, Boolean, String, Decimal };
    enum class Direction { Input, InOut, ReturnValue };
    struct Param {
        QString name; // "@Serie"
        Type type;
        int size = 0; // string size (0: no limit) or decimal precision
        Direction direction = Direction::Input;
        bool nullable = true;
    };

    // `procedure` without suffix: "sp_KVR_ObtieneIDProducto"; the component adds ";1"
    // and the leading @RETURN_VALUE.
    StoredProc(const QString& procedure, QList<Param> params);
    ~StoredProc();

    QString procedureName() const; // "sp_KVR_ObtieneIDProducto;1"
    const QList<Param>& parameters() const { return m_params; }

    void setConnection(Connection& connection);
    Connection* connection() const { return m_connection; }
    void close();
    // Sets an input by name (case-insensitive); unknown names throw DbError.
    void setParam(const QString& name, const QVariant& value);

    // Runs the call and makes its first result set's rows current.
    void open();
    // Runs the call without a result set and reads the outputs.
    void execProc();

    bool eof() const;
    void next();
    QString text(const QString& column) const;
    int integer(const QString& column) const;

    // Output parameter after open() has read every row, or after execProc().
    // A numeric output comes back through the placeholder bound for it, which
    // the driver keeps reporting null whatever it holds: read it with
    // toString()/toInt(), never isNull(). A NULL the procedure answers reads
    // as 0, so NULL and 0 cannot be told apart; the count windows, the only
    // readers, take both the same way (@Error: success; @id_producto: no product).
    QVariant output(const QString& name) const;

private:
    int indexOf(const QString& name) const; // case-insensitive; throws DbError when unknown
    // The value as the parameter is declared; throws DbError when it cannot be carried.
    int integerValue(const Param& p, const QVariant& value) const;
    bool booleanValue(const Param& p, const QVariant& value) const;
    double decimalValue(const Param& p, const QVariant& value) const;
    QString stringValue(const Param& p, const QVariant& value) const;
    [[noreturn]] void refuse(const Param& p, const QString& why) const;
    // Runs `steps` (a call and its reading), telling the watchers (see
    // DataEvents) what it sent and what came back.
    void told(const std::function<void()>& steps, const ResultRows* answer);
    void tell(qint64 micros, const ResultRows* answer, const DbError* failure) const;
    void call(); // binds every parameter and runs the call
    void bindParams(QSqlQuery& query);
    void finish(); // consumes what is left of the results and reads the outputs

    QString m_procedure;
    QList<Param> m_params;
    QList<QVariant> m_values;
    QList<QVariant> m_outputs;
    QList<bool> m_bound; // the input's value is bound to the prepared statement
    Connection* m_connection = nullptr;
    // The call stays prepared between calls: a fresh statement per call cost
    // a handle, a prepare and the placeholders' text each time. It belongs to
    // one opening of one connection and is dropped with it.
    std::unique_ptr<QSqlQuery> m_query;
    Connection* m_preparedOn = nullptr;
    int m_preparedOpening = 0;
    bool m_pending = false; // results of the last call not yet consumed
    ResultRows m_rows;      // the whole first result set, read at open
};
