#include "data/DataEvents.h"

namespace dataevents
{

namespace
{

QList<Watcher*>& watchers()
{
    static QList<Watcher*> list;
    return list;
}

// Over a copy: a watcher may stop watching while it is told.
template <typename Tell> void tellAll(Tell tell)
{
    const QList<Watcher*> now = watchers();
    for (Watcher* w : now)
        tell(*w);
}

} // namespace

void watch(Watcher* watcher)
{
    if (!watchers().contains(watcher))
        watchers().append(watcher);
}

void unwatch(Watcher* watcher)
{
    watchers().removeAll(watcher);
}

bool watched()
{
    return !watchers().isEmpty();
}

void commandDone(const Command& command)
{
    tellAll([&](Watcher& w) { w.commandDone(command); });
}

void linkOpened(Connection& connection, qint64 millis)
{
    tellAll([&](Watcher& w) { w.linkOpened(connection, millis); });
}

void linkFailed(Connection& connection, const QString& error)
{
    tellAll([&](Watcher& w) { w.linkFailed(connection, error); });
}

void linkClosed(Connection& connection)
{
    tellAll([&](Watcher& w) { w.linkClosed(connection); });
}

} // namespace dataevents
