#include "app/StatusLine.h"

#include "app/shell/WorkflowWindow.h"
#include "data/Connection.h"
#include "data/DbError.h"
#include "data/U_Data.h"

#include <QCoreApplication>
#include <QMdiArea>
#include <QMdiSubWindow>

StatusLine::StatusLine(QMdiArea* area, QWidget* parent) : QLabel(parent), m_area(area)
{
    setObjectName(QStringLiteral("StatusLine"));
    setFocusPolicy(Qt::NoFocus);
    setTextInteractionFlags(Qt::NoTextInteraction);
    // Its text never widens the fixed-size main window; a status bar's
    // smaller type lets the whole line fit the terminal's narrow frame.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    setFont(small);
    setToolTip(QStringLiteral("%1 %2").arg(QCoreApplication::applicationName(),
                                           QCoreApplication::applicationVersion()));
    connect(m_area, &QMdiArea::subWindowActivated, this, [this] { refresh(); });
    dataevents::watch(this);
}

StatusLine::~StatusLine()
{
    dataevents::unwatch(this);
}

void StatusLine::setOperator(const QString& login, const QString& id)
{
    m_operator = QStringLiteral("%1 (%2)").arg(login, id);
    refresh();
}

void StatusLine::setDemo(bool demo)
{
    m_demo = demo;
    refresh();
}

void StatusLine::commandDone(const dataevents::Command& command)
{
    Link& link = m_links[&command.connection];
    link.micros = command.micros;
    if (!command.failure)
        link.lost = false;
    else if (command.failure->kind() == DbError::Kind::ConnectionLost)
        link.lost = true;
    refresh();
}

void StatusLine::linkFailed(Connection& connection, const QString&)
{
    m_links[&connection].lost = true;
    refresh();
}

Connection* StatusLine::frontConnection() const
{
    const QMdiSubWindow* child = m_area->activeSubWindow();
    if (const auto* window = child ? qobject_cast<WorkflowWindow*>(child->widget()) : nullptr)
        return &window->connection();
    return Dm_Velmor ? &Dm_Velmor->Cx : nullptr;
}

QString StatusLine::linkState(const Connection& connection) const
{
    const Link link = m_links.value(&connection);
    // In the operator's words, short enough for the terminal's narrow frame.
    QString state = link.lost                ? QStringLiteral("perdida")
                    : connection.encrypted() ? QStringLiteral("cifrada")
                                             : QStringLiteral("sin cifrar");
    if (link.micros >= 0)
        state += QStringLiteral(" %1 ms").arg(double(link.micros) / 1000.0, 0, 'f', 1);
    return state;
}

void StatusLine::refresh()
{
    const Connection* front = frontConnection();
    if (m_operator.isEmpty() || !front)
        return;
    const ConnectionSettings& s = front->settings();
    const QString server = QStringLiteral("%1,%2").arg(s.host).arg(s.port);
    // The embedded default's loopback port says nothing to a site: "demo"
    // takes the server's place, and the tooltip keeps where it is.
    setText(QStringList{m_operator, m_demo ? QStringLiteral("demo") : server, front->catalogue(),
                        linkState(*front)}
                .join(QStringLiteral(" · ")));
    setToolTip(QStringLiteral("%1 %2 · %3")
                   .arg(QCoreApplication::applicationName(),
                        QCoreApplication::applicationVersion(), server));
}
