#pragma once
// What the diagnostic log says of a session: its start (version, profile,
// driver, each connection string with the password masked), each link's
// open, close and loss, each command (window, connection, its text or its
// procedure with the parameters, its time and its outcome: rows, outputs, a
// refusal or the error), each box and how it was answered, and the exit.
// Secrets are masked as the stand-in's journal masks them: by the names the
// procedures declare secret. Writing the lines is DiagnosticLog's business.

#include "data/DataEvents.h"

#include <QList>
#include <QString>
#include <functional>

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

    void commandDone(const dataevents::Command& command) override;
    void linkOpened(Connection& connection, qint64 millis) override;
    void linkFailed(Connection& connection, const QString& error) override;
    void linkClosed(Connection& connection) override;

private:
    SessionLog() = default;
    QString sent(const dataevents::Command& command) const;
    QString window() const;

    std::function<QString()> m_frontWindow;
    bool m_watching = false;
};
