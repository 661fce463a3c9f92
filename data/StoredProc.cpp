// Stored-procedure components over ODBC's call escape. Every declared
// parameter is bound, in order, on every call, because ODBC parameters are
// positional: leaving one out would shift the rest onto the wrong names.
#include "data/StoredProc.h"

#include "data/Connection.h"
#include "data/DbError.h"
#include "data/ResultRows.h"
#include "data/SqlFailure.h"

#include <QSqlError>
#include <QSqlRecord>

#include <limits>

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

QSql::ParamType paramTypeOf(StoredProc::Direction direction)
{
    switch (direction) {
    case StoredProc::Direction::InOut:
        return QSql::InOut;
    case StoredProc::Direction::ReturnValue:
        return QSql::Out;
    case StoredProc::Direction::Input:
        break;
    }
    return QSql::In;
}

// The buffer a string output can fill. The driver fills it with UTF-8 bytes,
// never more than were bound and less one for its terminating NUL; a
// character of the server's code page takes up to three bytes.
int outputSize(const StoredProc::Param& p)
{
    return 3 * (p.size > 0 ? p.size : 2000) + 1;
}

// What an in/out string is bound as: its value padded to the output size.
QString paddedInput(const StoredProc::Param& p, const QVariant& value)
{
    return value.toString().leftJustified(outputSize(p), QLatin1Char(' '));
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
    if (value.isNull() || (p.type != Type::String && emptyText)) {
        m_values[index] = QVariant(metaTypeOf(p.type));
        return;
    }
    switch (p.type) {
    case Type::Integer:
        m_values[index] = QVariant(integerValue(p, value));
        break;
    case Type::Boolean:
        m_values[index] = QVariant(booleanValue(p, value));
        break;
    case Type::Decimal:
        m_values[index] = QVariant(decimalValue(p, value));
        break;
    case Type::String:
        m_values[index] = QVariant(stringValue(p, value));
        break;
    }
}

void StoredProc::refuse(const Param& p, const QString& why) const
{
    throw DbError(DbError::Kind::Conversion,
                  QStringLiteral("%1: %2 %3").arg(procedureName(), p.name, why));
}

int StoredProc::integerValue(const Param& p, const QVariant& value) const
{
    bool ok = false;
    const qlonglong n = value.typeId() == QMetaType::QString
                            ? value.toString().trimmed().toLongLong(&ok)
                            : value.toLongLong(&ok);
    const bool fraction =
        (value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float) &&
        value.toDouble() != static_cast<double>(n);
    if (!ok || fraction || n < std::numeric_limits<int>::min() ||
        n > std::numeric_limits<int>::max())
        refuse(p, QStringLiteral("is not a valid integer value: '%1'").arg(value.toString()));
    return int(n);
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
    call();
    if (!m_query->isSelect()) {
        const QString text = QStringLiteral("%1 returned no result set").arg(procedureName());
        finish();
        throw DbError(DbError::Kind::NoResultSet, text);
    }
    m_rows.read(*m_query, *m_connection, procedureName());
    finish();
}

void StoredProc::execProc()
{
    call();
    finish();
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
        m_preparedOn = m_connection;
        m_preparedOpening = m_connection->timesOpened();
    }
    QSqlQuery& query = *m_query;

    for (qsizetype i = 0; i < m_params.size(); ++i) {
        const Param& p = m_params[i];
        QVariant bound = m_values[i];
        if (p.direction == Direction::InOut && p.type == Type::String) {
            // The driver caps a string output at the size of what was bound,
            // so the input goes out padded to the declared size.
            bound = QVariant(paddedInput(p, bound));
        } else if (p.direction == Direction::ReturnValue) {
            bound = QVariant(metaTypeOf(p.type));
        }
        query.bindValue(int(i), bound, paramTypeOf(p.direction));
    }

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

void StoredProc::finish()
{
    if (!m_query || !m_pending)
        return;
    // Output parameters arrive after every result set of the call.
    resultrows::drain(*m_query);
    for (qsizetype i = 0; i < m_params.size(); ++i) {
        if (m_params[i].direction == Direction::Input)
            continue;
        QVariant v = m_query->boundValue(int(i));
        if (m_params[i].type == Type::String && !v.isNull()) {
            // The buffer comes back whole: the value, a NUL, then the padding.
            QString s = v.toString();
            const qsizetype nul = s.indexOf(QChar(u'\0'));
            if (nul >= 0)
                s.truncate(nul);
            // Untouched by the procedure: what was set, not our padding.
            const QString padded = paddedInput(m_params[i], m_values[i]);
            const bool untouched = s.size() >= padded.size() - 1 && padded.startsWith(s);
            v = untouched ? m_values[i] : QVariant(s);
        }
        m_outputs[i] = v;
    }
    m_pending = false;
}
