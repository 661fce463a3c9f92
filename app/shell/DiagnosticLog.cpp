#include "app/shell/DiagnosticLog.h"

#include "app/shell/Places.h"
#include "platform/Files.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <stdexcept>

namespace
{

// Off until a log is started: without one, its events go nowhere, not to
// stderr. Its levels change with the log's.
QLoggingCategory& sessionCategory()
{
    static QLoggingCategory category("lectora.session", QtFatalMsg);
    return category;
}

} // namespace

const QLoggingCategory& lcSession()
{
    return sessionCategory();
}

namespace diagnosticlog
{

namespace
{

// Lines wait at most this long before they are written.
constexpr int kFlushDelayMs = 250;
constexpr qsizetype kMostPending = 16 * 1024;

struct State {
    QMutex mutex;
    LogSettings settings;
    QString path;
    QFile file;
    qint64 size = 0;
    QByteArray pending;
    QTimer* timer = nullptr;
    QtMessageHandler previous = nullptr;
    qint64 nextStamp = -1;
    bool installed = false;
    bool failed = false;
};

State& state()
{
    static State s;
    return s;
}

void applyLevel(LogLevel level)
{
    QLoggingCategory& c = sessionCategory();
    c.setEnabled(QtDebugMsg, false);
    c.setEnabled(QtInfoMsg, level == LogLevel::Commands);
    c.setEnabled(QtWarningMsg, level != LogLevel::Off);
    c.setEnabled(QtCriticalMsg, level != LogLevel::Off);
}

// The log stops for the run, saying so once.
void giveUp(State& s, const QString& why)
{
    applyLevel(LogLevel::Off);
    s.file.close();
    s.pending.clear();
    if (s.failed)
        return;
    s.failed = true;
    std::fprintf(stderr, "lectora: the diagnostic log is off for this run: %s\n", qPrintable(why));
}

void openFile(State& s)
{
    lectora::files::createPrivate(lectora::files::fromUtf8(s.path.toStdString()));
    s.file.setFileName(s.path);
    if (!s.file.open(QIODevice::Append | QIODevice::Unbuffered))
        throw std::runtime_error(
            QStringLiteral("cannot open %1: %2").arg(s.path, s.file.errorString()).toStdString());
    s.size = s.file.size();
}

void rotate(State& s)
{
    s.file.close();
    lectora::files::rotateNumbered(lectora::files::fromUtf8(s.path.toStdString()),
                                   s.settings.files);
    openFile(s);
}

void writeLocked(State& s)
{
    if (s.pending.isEmpty() || !s.file.isOpen())
        return;
    try {
        if (s.size > 0 && s.size + s.pending.size() > s.settings.fileLimit)
            rotate(s);
        if (s.file.write(s.pending) != s.pending.size())
            throw std::runtime_error(QStringLiteral("cannot write %1: %2")
                                         .arg(s.path, s.file.errorString())
                                         .toStdString());
        s.size += s.pending.size();
        s.pending.clear();
    } catch (const std::exception& e) {
        giveUp(s, QString::fromUtf8(e.what()));
    }
}

void scheduleWrite(State& s)
{
    if (!s.timer || QThread::currentThread() != s.timer->thread()) {
        writeLocked(s);
        return;
    }
    if (!s.timer->isActive())
        s.timer->start();
}

void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    State& s = state();
    if (qstrcmp(context.category, lcSession().categoryName()) != 0) {
        if (s.previous)
            s.previous(type, context, text);
        return;
    }
    QMutexLocker lock(&s.mutex);
    if (!s.file.isOpen())
        return;
    const QDateTime at = s.nextStamp < 0 ? QDateTime::currentDateTimeUtc()
                                         : QDateTime::fromMSecsSinceEpoch(s.nextStamp, Qt::UTC);
    s.nextStamp = -1;
    s.pending += at.toString(Qt::ISODateWithMs).toUtf8();
    s.pending += ' ';
    s.pending += text.toUtf8();
    s.pending += '\n';
    if (type != QtInfoMsg || s.pending.size() > kMostPending)
        writeLocked(s);
    else
        scheduleWrite(s);
}

void makeTimer(State& s)
{
    if (s.timer || !QCoreApplication::instance())
        return;
    s.timer = new QTimer(QCoreApplication::instance());
    s.timer->setSingleShot(true);
    s.timer->setInterval(kFlushDelayMs);
    QObject::connect(s.timer, &QTimer::timeout, s.timer, [] { flush(); });
    QObject::connect(s.timer, &QObject::destroyed, s.timer, [] { state().timer = nullptr; });
}

} // namespace

bool start(const LogSettings& settings)
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    // A second start (a test's next terminal) begins where its settings say.
    writeLocked(s);
    s.file.close();
    s.settings = settings;
    s.failed = false;
    applyLevel(LogLevel::Off);
    if (settings.level == LogLevel::Off)
        return false;
    const QString folder = settings.folder.isEmpty() ? places::logFolder() : settings.folder;
    s.path = QDir(folder).filePath(QStringLiteral("lectora.log"));
    try {
        lectora::files::makePrivateFolder(lectora::files::fromUtf8(folder.toStdString()),
                                          "log folder", "the terminal");
        openFile(s);
    } catch (const std::exception& e) {
        giveUp(s, QString::fromUtf8(e.what()));
        return false;
    }
    if (!s.installed) {
        s.previous = qInstallMessageHandler(handle);
        s.installed = true;
    }
    makeTimer(s);
    applyLevel(settings.level);
    return true;
}

void stop()
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    writeLocked(s);
    applyLevel(LogLevel::Off);
    s.file.close();
}

void setLevel(LogLevel level)
{
    QMutexLocker lock(&state().mutex);
    if (state().file.isOpen())
        applyLevel(level);
}

void flush()
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    writeLocked(s);
}

void stampNext(qint64 msecsSinceEpoch)
{
    QMutexLocker lock(&state().mutex);
    state().nextStamp = msecsSinceEpoch;
}

QString filePath()
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    return s.file.isOpen() ? s.path : QString();
}

} // namespace diagnosticlog
