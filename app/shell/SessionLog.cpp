#include "app/shell/SessionLog.h"

#include "app/shell/DiagnosticLog.h"
#include "data/Connection.h"
#include "data/DbError.h"
#include "data/OdbcString.h"
#include "data/ResultRows.h"
#include "server/Journal.h"
#include "server/ProcedureHost.h"
#include "server/tds/SecretMask.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHash>
#include <QTimer>

namespace
{

using lectora::server::Journal;
using lectora::server::ProcedureRegistry;
using lectora::server::tds::SecretMask;

// Commands waiting for their lines past this many are written at once.
constexpr std::size_t kMostWaiting = 64;

// The procedures as the stand-in declares them, for their secrets' names.
const SecretMask& secretMask()
{
    static ProcedureRegistry registry;
    static const SecretMask mask = [] {
        for (const auto& module : lectora::server::procedureModules())
            module.registerProcedures(registry);
        return SecretMask(&registry);
    }();
    return mask;
}

QString shown(const QVariant& value)
{
    if (value.isNull())
        return QStringLiteral("NULL");
    if (value.typeId() == QMetaType::QString)
        return QLatin1Char('\'') + value.toString().replace(u'\'', QStringLiteral("''")) +
               QLatin1Char('\'');
    return value.toString();
}

QString link(const Connection& c)
{
    return c.name() + QLatin1Char(' ') + c.catalogue();
}

// The connection's password wherever a text holds it (a site's odbc_string
// may spell it out, a driver's error may quote it).
QString withoutPassword(const QString& text, const Connection& c)
{
    return QString::fromStdString(
        SecretMask::withoutSecrets(text.toStdString(), {c.settings().password.toStdString()}));
}

bool isRefusal(const QString& name, const QVariant& value)
{
    if (name.compare(QLatin1String("Error"), Qt::CaseInsensitive) != 0 &&
        name.compare(QLatin1String("@Error"), Qt::CaseInsensitive) != 0)
        return false;
    const QString code = value.toString().trimmed();
    return !code.isEmpty() && code != QLatin1String("0");
}

struct Outcome {
    QString text;
    bool refused = false;
};

Outcome outputsOf(const dataevents::Command& c)
{
    Outcome out;
    QStringList parts;
    for (qsizetype i = 0; i < c.outputNames.size() && i < c.outputs.size(); ++i) {
        const QVariant& v = c.outputs[i];
        const QString value = v.typeId() == QMetaType::QString ? shown(v) : v.toString();
        parts << c.outputNames[i] + QLatin1Char('=') + value;
        out.refused = out.refused || isRefusal(c.outputNames[i], v);
    }
    out.text = parts.join(QLatin1Char(' '));
    return out;
}

Outcome rowsOf(const ResultRows& rows)
{
    Outcome out;
    out.text = QStringLiteral("%1 row(s)").arg(rows.rowCount());
    if (rows.rowCount() == 0)
        return out;
    const QList<QVariant> first = rows.row(0);
    QStringList parts;
    for (qsizetype i = 0; i < rows.columns().size() && i < first.size(); ++i) {
        parts << rows.columns()[i] + QLatin1Char('=') + shown(first[i]);
        out.refused = out.refused || isRefusal(rows.columns()[i], first[i]);
    }
    out.text += QStringLiteral(", the first: ") + parts.join(QStringLiteral(", "));
    return out;
}

Outcome outcomeOf(const dataevents::Command& c, const QString& sentText)
{
    if (c.failure) {
        // An error may quote the command: it is quoted as the log shows it.
        QString error = withoutPassword(c.failure->text(), c.connection);
        if (!c.text.isEmpty())
            error.replace(c.text, sentText);
        return {QStringLiteral("error: ") + error, true};
    }
    Outcome rows = c.rows ? rowsOf(*c.rows) : Outcome{};
    const Outcome outputs = outputsOf(c);
    if (!outputs.text.isEmpty())
        rows.text += (rows.text.isEmpty() ? QString() : QStringLiteral("; ")) + outputs.text;
    rows.refused = rows.refused || outputs.refused;
    if (rows.text.isEmpty())
        rows.text = QStringLiteral("done");
    return rows;
}

} // namespace

SessionLog& SessionLog::instance()
{
    static SessionLog log;
    return log;
}

QString SessionLog::maskedText(const QString& text)
{
    const SecretMask& mask = secretMask();
    const std::string raw = text.toStdString();
    if (!mask.mentionsSecretProcedure(raw))
        return text;
    return QString::fromStdString(mask.batch(raw, lectora::server::tds::parseBatch(raw)));
}

QString SessionLog::sent(const dataevents::Command& c) const
{
    if (c.procedure.isEmpty())
        return maskedText(c.text);
    const std::string procedure = c.procedure.toStdString();
    // Most procedures have no secret: their parameters are not asked about.
    static QHash<QString, bool> withSecrets;
    auto known = withSecrets.constFind(c.procedure);
    if (known == withSecrets.constEnd())
        known = withSecrets.insert(c.procedure, secretMask().mentionsSecretProcedure(procedure));
    QStringList parts{c.procedure};
    for (qsizetype i = 0; i < c.inputNames.size() && i < c.inputs.size(); ++i) {
        if (c.inputs[i].isNull())
            continue;
        const bool secret = *known && secretMask().isSecret(procedure, std::size_t(i),
                                                            c.inputNames[i].toStdString());
        parts << c.inputNames[i] + QLatin1Char('=') +
                     (secret ? QString::fromLatin1(Journal::kMask) : shown(c.inputs[i]));
    }
    return parts.join(QLatin1Char(' '));
}

QString SessionLog::window() const
{
    const QString name = m_frontWindow ? m_frontWindow() : QString();
    return name.isEmpty() ? QStringLiteral("-") : name;
}

void SessionLog::commandDone(const dataevents::Command& c)
{
    if (!lcSession().isWarningEnabled())
        return;
    Waiting w{QDateTime::currentMSecsSinceEpoch(), window(), c, c.rows ? *c.rows : ResultRows{},
              c.failure ? std::optional<DbError>(*c.failure) : std::nullopt};
    m_waiting.push_back(std::move(w));
    if (m_waiting.size() >= kMostWaiting) {
        drain();
    } else if (!m_drainAsked && QCoreApplication::instance()) {
        m_drainAsked = true;
        QTimer::singleShot(0, QCoreApplication::instance(), [this] { drain(); });
    }
}

void SessionLog::drain()
{
    m_drainAsked = false;
    std::vector<Waiting> waiting = std::exchange(m_waiting, {});
    for (Waiting& w : waiting)
        write(w);
}

void SessionLog::write(Waiting& w) const
{
    dataevents::Command& c = w.command;
    c.rows = c.rows ? &w.rows : nullptr;
    c.failure = w.failure ? &*w.failure : nullptr;
    const QString text = sent(c);
    const Outcome outcome = outcomeOf(c, text);
    if (outcome.refused ? !lcSession().isWarningEnabled() : !lcSession().isInfoEnabled())
        return;
    const QString line =
        QStringLiteral("command window=\"%1\" link=%2 %3 ms: %4 -> %5%6")
            .arg(w.window, link(c.connection))
            .arg(double(c.micros) / 1000.0, 0, 'f', 2)
            .arg(text, outcome.refused && !c.failure ? QStringLiteral("refused: ") : QString(),
                 outcome.text);
    diagnosticlog::stampNext(w.at);
    if (outcome.refused)
        qCWarning(lcSession).noquote() << line;
    else
        qCInfo(lcSession).noquote() << line;
    if (c.failure && c.failure->kind() == DbError::Kind::ConnectionLost) {
        diagnosticlog::stampNext(w.at); // a failure is kept at both levels
        qCWarning(lcSession).noquote() << "lost" << link(c.connection) << ":"
                                       << withoutPassword(c.failure->text(), c.connection);
    }
}

void SessionLog::linkOpened(Connection& connection, qint64 millis)
{
    drain();
    qCInfo(lcSession).noquote()
        << "open" << link(connection)
        << QStringLiteral("%1,%2").arg(connection.settings().host).arg(connection.settings().port)
        << (connection.encrypted() ? "encrypted" : "plain") << "in" << millis << "ms";
}

void SessionLog::linkFailed(Connection& connection, const QString& error)
{
    drain();
    qCWarning(lcSession).noquote()
        << "open failed" << link(connection) << ":" << withoutPassword(error, connection);
}

void SessionLog::linkClosed(Connection& connection)
{
    // The lines waiting may name this connection, which is going.
    drain();
    qCInfo(lcSession).noquote() << "close" << link(connection);
}

void SessionLog::begin(const QString& profile, const QString& driver)
{
    qCWarning(lcSession).noquote()
        << "start version" << QCoreApplication::applicationVersion() << "profile"
        << (profile.isEmpty() ? QStringLiteral("none (demo)") : profile) << "driver" << driver;
    dataevents::watch(this);
    m_watching = true;
}

void SessionLog::describe(const QList<Connection*>& connections)
{
    for (const Connection* c : connections) {
        ConnectionSettings masked = c->settings();
        masked.password = QString::fromLatin1(Journal::kMask);
        qCWarning(lcSession).noquote()
            << "connection" << link(*c) << ":"
            << withoutPassword(OdbcString(masked, c->catalogue()).text(), *c);
    }
}

void SessionLog::end(int exitCode)
{
    drain();
    if (m_watching)
        dataevents::unwatch(this);
    m_watching = false;
    qCWarning(lcSession).noquote() << "exit code" << exitCode;
    diagnosticlog::flush();
}

void SessionLog::box(const QString& form, const QString& caption, const QString& text,
                     const QString& answer, int droppedKeys)
{
    if (!lcSession().isWarningEnabled())
        return;
    instance().drain();
    QString oneLine = text;
    oneLine.replace(QLatin1Char('\r'), QString()).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QString line = QStringLiteral("box %1 caption=\"%2\" text=\"%3\" answered %4")
                       .arg(form, caption, oneLine, answer);
    if (droppedKeys > 0)
        line += QStringLiteral(", %1 key(s) of a scan dropped").arg(droppedKeys);
    if (form == QLatin1String("error") || form == QLatin1String("retry-ignore"))
        qCWarning(lcSession).noquote() << line;
    else
        qCInfo(lcSession).noquote() << line;
}
