#pragma once
// What the diagnostic log says of a session: its start (version, profile,
// driver, each connection string with the password masked), each link's
// open, close and loss, each command (window, connection, its text or its
// procedure with the parameters, its time and its outcome: rows, outputs, a
// refusal or the error), each box and how it was answered, and the exit.
// Secrets are masked as the stand-in's journal masks them: by the names the
// procedures declare secret. A command's line is put together once the
// event loop is free again (before any other line, at once past a few
// waiting), so a scan does not wait for it; it keeps the command's time.
// Writing the lines is DiagnosticLog's business.

#include "data/DataEvents.h"
#include "data/DbError.h"
#include "data/ResultRows.h"

#include <QList>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

class Connection;

class SessionLog : public dataevents::Watcher
{
public:
    static SessionLog& instance();

    // The start's line, and the data module's links and commands watched
    // from now until end(); describe() gives each connection's string once
    // the data module exists.
    void begin(const QString& profile, const QString& driver);
    void describe(const QList<Connection*>& connections);
    void end(int exitCode);
    // Names the window in front, whose commands these are.
    void setFrontWindow(std::function<QString()> name) { m_frontWindow = std::move(name); }

    // A box shown: its form, caption, text, the answer, and the keys the box
    // guard dropped as a scan.
    static void box(const QString& form, const QString& caption, const QString& text,
                    const QString& answer, int droppedKeys);

    // The command's text as the log shows it, secrets masked.
    static QString maskedText(const QString& text);
    // Writes the lines of the commands that wait.
    void drain();

    void commandDone(const dataevents::Command& command) override;
    void linkOpened(Connection& connection, qint64 millis) override;
    void linkFailed(Connection& connection, const QString& error) override;
    void linkClosed(Connection& connection) override;

private:
    // A command kept for its line: what it sent and got, copied.
    struct Waiting {
        qint64 at;
        QString window;
        dataevents::Command command;
        ResultRows rows;
        std::optional<DbError> failure;
    };
    SessionLog() = default;
    QString sent(const dataevents::Command& command) const;
    QString window() const;
    void write(Waiting& waiting) const;

    std::function<QString()> m_frontWindow;
    bool m_watching = false;
    std::vector<Waiting> m_waiting;
    bool m_drainAsked = false;
};
