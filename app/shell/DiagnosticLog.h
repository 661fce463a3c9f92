#pragma once
// The terminal's diagnostic log: plain text, one event a line after its UTC
// time with milliseconds, in a private file that rotates at a size. Events
// are Qt log messages of the category lectora.session (qCInfo for what level
// `commands` adds, qCWarning for what level `errors` keeps); a message
// handler takes them out of the stream every other message goes on. Lines
// are gathered and written a moment later, at once for a warning, so a scan
// does not wait on the disk. A folder or disk that will not take them turns
// the log off for the run with one warning on stderr: the terminal goes on.
// What the events say is SessionLog's business.

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcSession)

enum class LogLevel { Off, Errors, Commands };

// The profile's [log] section.
struct LogSettings {
    LogLevel level = LogLevel::Commands;
    QString folder;                 // empty: places::logFolder()
    qint64 fileLimit = 1024 * 1024; // bytes before the file rotates
    int files = 3;                  // rotated files kept beside it
};

namespace diagnosticlog
{

// Opens the log for the run (nothing with level off). False when it is off,
// or could not be opened (then stderr has said why).
bool start(const LogSettings& settings);
// Writes what is gathered and closes the file; the handler stays for Qt's
// other messages.
void stop();
// For the benchmarks: the level of an open log, changed for a while.
void setLevel(LogLevel level);
// Writes what is gathered now.
void flush();
// The time the next line of this category is stamped with, when it tells of
// an event past (ms since the epoch); lines are stamped when they come else.
void stampNext(qint64 msecsSinceEpoch);
// The file being written ("" when the log is off).
QString filePath();

} // namespace diagnosticlog
