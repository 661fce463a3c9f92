// Stored-procedure components over ODBC's call escape. Every declared
// parameter is bound, in order, on every call, because ODBC parameters are
// positional: leaving one out would shift the rest onto the wrong names.
#include "data/StoredProc.h"

#include "data/Connection.h"
#include "data/DataEvents.h"
#include "data/DbError.h"
#include "data/ResultRows.h"
#include "data/SqlFailure.h"
#include "data/WholeNumber.h"

#include <QSqlError>
#include <QSqlRecord>

#include <cstring>

namespace
{

QMetaType metaTypeOf(StoredProc::Type type)
{
    switch (type) {
    case StoredProc::Type::Integer:
        return QMetaType::fromType<int>();
    case StoredProc::Type::Boolean:
        return QMetaType::fromType<bool>();
    case StoredProc::Type::Decimal:
        return QMetaType::fromType<double>();
    case StoredProc::Type::String:
        break;
    }
    return QMetaType::fromType<QString>();
}

// How a parameter is bound. An in/out parameter the caller left unset goes
// as output only: the driver then sends NULL for it, as the procedure
// expects of a value nobody set, and uses what is bound only as the room
// for the answer.
QSql::ParamType paramTypeOf(StoredProc::Direction direction, bool set)
{
    switch (direction) {
    case StoredProc::Direction::InOut:
        return set ? QSql::InOut : QSql::Out;
    case StoredProc::Direction::ReturnValue:
        return QSql::Out;
    case StoredProc::Direction::Input:
        break;
    }
    return QSql::In;
}

// The room a string output needs. The driver writes the answer as UTF-8,
// where a character of the server's code page takes up to three bytes, and
// ends it with a NUL; it never writes past the bytes bound.
qsizetype outputBytes(const StoredProc::Param& p)
{
    return 3 * qsizetype(p.size > 0 ? p.size : 2000) + 1;
}

// An in/out string set by the caller goes out padded with blanks to the room
// its answer needs (trailing blanks are not significant to the server's
// string comparisons); an unset one is only room, all NULs, so an answer
// the procedure never wrote reads as nothing.
QString outputRoom(const StoredProc::Param& p, const QVariant& set)
{
    if (set.isNull())
        return QString(outputBytes(p), QChar(u'\0'));
    return set.toString().leftJustified(outputBytes(p), QLatin1Char(' '));
}

// A string output as the driver left it: the answer up to its NUL.
QVariant answeredText(const QVariant& bound)
{
    const QByteArray bytes = bound.toByteArray();
    const qsizetype end = qstrnlen(bytes.constData(), bytes.size());
    if (end == 0)
        return QVariant(QMetaType::fromType<QString>());
    return QString::fromUtf8(bytes.constData(), end);
}

} // namespace

StoredProc::StoredProc(const QString& procedure, QList<Param> params) : m_procedure(procedure)
{
    m_params << Param{QStringLiteral("@RETURN_VALUE"), Type::Integer, 10, Direction::ReturnValue,
                      true};
    m_params << params;
    for (const Param& p : std::as_const(m_params))
        m_values << QVariant(metaTypeOf(p.type));
    m_outputs = m_values;
    m_bound.fill(false, m_params.size());
    m_rows.holdEmpty();
}

StoredProc::~StoredProc() = default;

QString StoredProc::procedureName() const
{
    return m_procedure + QStringLiteral(";1");
}

void StoredProc::setConnection(Connection& connection)
{
    m_connection = &connection;
}

void StoredProc::close()
{
    // A statement left with unread results is freed, which makes the driver
    // cancel them; one whose results were all read stays prepared.
    if (m_pending)
        m_query.reset();
    m_pending = false;
    // Until a call brings a result set, every column is missing from it.
    m_rows.holdEmpty();
}

int StoredProc::indexOf(const QString& name) const
{
    // Callers name parameters as declared; the letter case is the exception.
    for (qsizetype i = 0; i < m_params.size(); ++i) {
        if (m_params[i].name == name)
            return int(i);
    }
    for (qsizetype i = 0; i < m_params.size(); ++i) {
        if (m_params[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    }
    throw DbError(DbError::Kind::Other,
                  QStringLiteral("%1: parameter '%2' not found").arg(procedureName(), name));
}

void StoredProc::setParam(const QString& name, const QVariant& value)
{
    const int index = indexOf(name);
    const Param& p = m_params[index];

    // A number or a flag left empty is null; an empty text stays an empty
    // text, which the server tells apart from null. What cannot be carried as
    // declared is refused here rather than altered on the way.
    const bool emptyText =
        value.typeId() == QMetaType::QString && value.toString().trimmed().isEmpty();
    QVariant converted(metaTypeOf(p.type));
    if (!value.isNull() && (p.type == Type::String || !emptyText)) {
        switch (p.type) {
        case Type::Integer:
            converted = QVariant(integerValue(p, value));
            break;
        case Type::Boolean:
            converted = QVariant(booleanValue(p, value));
            break;
        case Type::Decimal:
            converted = QVariant(decimalValue(p, value));
            break;
        case Type::String:
            converted = QVariant(stringValue(p, value));
            break;
        }
    }
    // Null and zero, or null and an empty text, are different values even
    // where QVariant compares them equal.
    QVariant& current = m_values[index];
    if (current.isNull() != converted.isNull() || current != converted) {
        current = std::move(converted);
        m_bound[index] = false;
    }
}

void StoredProc::refuse(const Param& p, const QString& why) const
{
    throw DbError(DbError::Kind::Conversion,
                  QStringLiteral("%1: %2 %3").arg(procedureName(), p.name, why));
}

int StoredProc::integerValue(const Param& p, const QVariant& value) const
{
    const std::optional<int> n = wholenumber::read<int>(value);
    if (!n)
        refuse(p, QStringLiteral("is not a valid integer value: '%1'").arg(value.toString()));
    return *n;
}

bool StoredProc::booleanValue(const Param& p, const QVariant& value) const
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    const QString t = value.toString().trimmed().toLower();
    if (t == QLatin1String("1") || t == QLatin1String("true"))
        return true;
    if (t != QLatin1String("0") && t != QLatin1String("false"))
        refuse(p, QStringLiteral("is not a valid boolean value: '%1'").arg(value.toString()));
    return false;
}

double StoredProc::decimalValue(const Param& p, const QVariant& value) const
{
    bool ok = false;
    const double d = value.typeId() == QMetaType::QString ? value.toString().trimmed().toDouble(&ok)
                                                          : value.toDouble(&ok);
    double limit = 1;
    for (int i = 0; i < (p.size > 0 ? p.size : 18); ++i)
        limit *= 10;
    if (!ok || d <= -limit || d >= limit)
        refuse(p, QStringLiteral("is not a valid number of %1 digits: '%2'")
                      .arg(p.size)
                      .arg(value.toString()));
    return d;
}

QString StoredProc::stringValue(const Param& p, const QVariant& value) const
{
    const QString s = value.toString();
    QChar bad;
    if (s.contains(QChar(u'\0')))
        refuse(p, QStringLiteral("contains a NUL character"));
    if (!sqlfailure::fitsServerCodePage(s, &bad))
        refuse(p, QStringLiteral("contains '%1' (U+%2), which the server's code page cannot hold")
                      .arg(bad)
                      .arg(bad.unicode(), 4, 16, QLatin1Char('0')));
    if (p.size > 0 && s.size() > p.size)
        refuse(p, QStringLiteral("is longer than %1 characters").arg(p.size));
    return s;
}

void StoredProc::open()
{
    told(
        [this] {
            call();
            if (!m_query->isSelect()) {
                const QString text =
                    QStringLiteral("%1 returned no result set").arg(procedureName());
                finish();
                throw DbError(DbError::Kind::NoResultSet, text);
            }
            m_rows.read(*m_query, *m_connection, procedureName());
            finish();
        },
        &m_rows);
}

void StoredProc::execProc()
{
    told(
        [this] {
            call();
            finish();
        },
        nullptr);
}

void StoredProc::told(const std::function<void()>& steps, const ResultRows* answer)
{
    dataevents::timed(steps, [&](qint64 micros, const DbError* failure) {
        tell(micros, failure ? nullptr : answer, failure);
    });
}

void StoredProc::tell(qint64 micros, const ResultRows* answer, const DbError* failure) const
{
    if (!m_connection)
        return;
    dataevents::Command c(*m_connection);
    c.procedure = procedureName();
    for (qsizetype i = 0; i < m_params.size(); ++i) {
        if (m_params[i].direction == Direction::Input) {
            c.inputNames << m_params[i].name;
            c.inputs << m_values[i];
        } else {
            c.outputNames << m_params[i].name;
            c.outputs << m_outputs[i];
        }
    }
    c.micros = micros;
    c.rows = answer;
    c.failure = failure;
    dataevents::commandDone(c);
}

bool StoredProc::eof() const
{
    return m_rows.eof();
}

void StoredProc::next()
{
    m_rows.next();
}

QString StoredProc::text(const QString& column) const
{
    return m_rows.text(column);
}

int StoredProc::integer(const QString& column) const
{
    return m_rows.integer(column);
}

QVariant StoredProc::output(const QString& name) const
{
    return m_outputs.value(indexOf(name));
}

void StoredProc::call()
{
    close();
    if (!m_connection)
        throw DbError(DbError::Kind::Other,
                      QStringLiteral("%1 has no connection.").arg(procedureName()));
    for (qsizetype i = 0; i < m_outputs.size(); ++i)
        m_outputs[i] = QVariant(metaTypeOf(m_params[i].type));

    // A lost or reopened link has taken the prepared statement with it; it is
    // let go before the reconnect, so the reconnect finds no statement open.
    if (m_query && (m_preparedOn != m_connection || !m_connection->isOpen() ||
                    m_connection->timesOpened() != m_preparedOpening))
        m_query.reset();
    QSqlDatabase db = m_connection->database();
    if (!m_query) {
        QStringList marks;
        for (qsizetype i = 1; i < m_params.size(); ++i)
            marks << QStringLiteral("?");
        const QString statement =
            QStringLiteral("{? = call %1(%2)}").arg(procedureName(), marks.join(QLatin1Char(',')));
        auto query = std::make_unique<QSqlQuery>(db);
        query->setForwardOnly(true);
        if (!query->prepare(statement))
            sqlfailure::raise(query->lastError(), *m_connection, statement);
        m_query = std::move(query);
        m_bound.fill(false);
        m_preparedOn = m_connection;
        m_preparedOpening = m_connection->timesOpened();
    }
    QSqlQuery& query = *m_query;

    bindParams(query);

    m_pending = true;
    if (!query.exec()) {
        // A failed call leaves the statement in whatever state the driver
        // chose; the next call starts from a fresh one.
        const QSqlError error = query.lastError();
        m_query.reset();
        m_pending = false;
        sqlfailure::raise(error, *m_connection, procedureName());
    }
}

void StoredProc::bindParams(QSqlQuery& query)
{
    // The statement keeps what was bound to it across calls: an input is
    // bound again only when it changed. Outputs are bound every time, as the
    // last call's answers are now in their places.
    for (qsizetype i = 0; i < m_params.size(); ++i) {
        const Param& p = m_params[i];
        if (p.direction == Direction::Input) {
            if (m_bound[i])
                continue;
            query.bindValue(int(i), m_values[i], QSql::In);
            m_bound[i] = true;
        } else if (p.direction == Direction::InOut && p.type == Type::String) {
            query.bindValue(int(i), outputRoom(p, m_values[i]),
                            paramTypeOf(p.direction, !m_values[i].isNull()));
        } else {
            const QVariant& value =
                p.direction == Direction::ReturnValue ? m_outputs[i] : m_values[i];
            query.bindValue(int(i), value, paramTypeOf(p.direction, !value.isNull()));
        }
    }
}

void StoredProc::finish()
{
    if (!m_query || !m_pending)
        return;
    // Output parameters arrive after every result set of the call.
    resultrows::drain(*m_query);
    for (qsizetype i = 0; i < m_params.size(); ++i) {
        const Param& p = m_params[i];
        if (p.direction == Direction::Input)
            continue;
        QVariant v = m_query->boundValue(int(i));
        if (p.type == Type::String) {
            v = answeredText(v);
            // A set value the procedure left alone comes back with the room's
            // blanks after it: it reads as it was set.
            const QString set = m_values[i].toString();
            const QString answer = v.toString();
            if (!m_values[i].isNull() && answer.startsWith(set) &&
                QStringView(answer).mid(set.size()).trimmed().isEmpty())
                v = m_values[i];
        }
        m_outputs[i] = v;
    }
    m_pending = false;
}
