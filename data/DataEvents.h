#pragma once
// What the data module's connections and commands did, for whoever watches:
// the diagnostic log and the main window's status line. Watchers are told on
// the thread that ran the command, after it returned or failed; with no
// watcher nothing is gathered. Not a way to change what a command does.

#include "data/DbError.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QVariant>

class Connection;
class ResultRows;

namespace dataevents
{

// One command as sent and answered. `procedure` is set for a call of a
// stored-procedure component (then `text` is empty), with its inputs and its
// outputs by their declared names.
struct Command {
    explicit Command(Connection& on) : connection(on) {}
    Connection& connection;
    QString text;
    QString procedure;
    QStringList inputNames;
    QList<QVariant> inputs; // as set before the call (null: not set)
    QStringList outputNames;
    QList<QVariant> outputs;          // as answered (read with toString(): see StoredProc)
    qint64 micros = 0;                // the round trip, open included
    const ResultRows* rows = nullptr; // the first result set, when there is one
    const DbError* failure = nullptr;
};

class Watcher
{
public:
    virtual ~Watcher() = default;
    virtual void commandDone(const Command& command) = 0;
    virtual void linkOpened(Connection& connection, qint64 millis) = 0;
    virtual void linkFailed(Connection& connection, const QString& error) = 0;
    virtual void linkClosed(Connection& connection) = 0;
};

void watch(Watcher* watcher);
void unwatch(Watcher* watcher);
// Whether anyone watches: the commands skip gathering their event when not.
bool watched();

void commandDone(const Command& command);
// Runs `steps`, then hands `tell` their time in microseconds and the DbError
// they threw (null when none; the error goes on up). With no watcher it only
// runs them: nothing is timed or gathered.
template <typename Steps, typename Tell> void timed(Steps&& steps, Tell&& tell)
{
    if (!watched()) {
        steps();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    try {
        steps();
    } catch (const DbError& error) {
        tell(clock.nsecsElapsed() / 1000, &error);
        throw;
    }
    tell(clock.nsecsElapsed() / 1000, nullptr);
}
void linkOpened(Connection& connection, qint64 millis);
void linkFailed(Connection& connection, const QString& error);
void linkClosed(Connection& connection);

} // namespace dataevents
