// Start-up figures: from the moment a terminal process is started to its login
// window shown, and the resident memory at that moment, on the embedded
// default (no profile). Each run is a fresh process; the first run of a fresh
// data folder also creates the demo data and is reported apart.

#include "app/Startup.h"
#include "app/U_Menu.h"
#include "app/shell/LectoraApplication.h"
#include "bench/StartupChild.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace
{

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The terminal's own start-up, stopped once the login window is on screen.
int child(int argc, char** argv)
{
    LectoraApplication app(argc, argv);
    int exitCode = 0;
    std::unique_ptr<Terminal> terminal = bench::startChildTerminal(exitCode);
    if (!terminal)
        return exitCode;
    if (!QTest::qWaitForWindowExposed(terminal->mainWindow.get()))
        return 1;
    const qint64 shownAt = monotonicNs();
    std::printf("%lld %lld\n", static_cast<long long>(shownAt),
                static_cast<long long>(residentKb()));
    return 0;
}

struct Run {
    double ms;
    double mb;
};

bool runOnce(const QString& self, const QProcessEnvironment& env, Run& run)
{
    QProcess process;
    process.setProcessEnvironment(env);
    const qint64 startedAt = monotonicNs();
    process.start(self, {QStringLiteral("--child")});
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        std::fprintf(stderr, "start-up run failed: %s\n",
                     process.readAllStandardError().constData());
        return false;
    }
    const QList<QByteArray> figures = process.readAllStandardOutput().trimmed().split(' ');
    if (figures.size() != 2)
        return false;
    run.ms = double(figures[0].toLongLong() - startedAt) / 1e6;
    run.mb = double(figures[1].toLongLong()) / 1024.0;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0)
        return child(argc, argv);

    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("LECTORA_PROFILE"), QString());
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    const QString self = QCoreApplication::applicationFilePath();
    Run first{};
    if (!runOnce(self, env, first))
        return 1;
    std::vector<Run> runs;
    for (int i = 0; i < 7; ++i) {
        Run r{};
        if (!runOnce(self, env, r))
            return 1;
        runs.push_back(r);
    }
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.ms < b.ms; });
    const Run& median = runs[runs.size() / 2];
    double maxMb = 0;
    for (const Run& r : runs)
        maxMb = std::max(maxMb, r.mb);

    std::printf("bench_startup (platform %s, embedded default, %zu runs)\n",
                qPrintable(env.value(QStringLiteral("QT_QPA_PLATFORM"))), runs.size());
    std::printf("  first start, demo data created: %8.1f ms  %6.1f MB resident\n", first.ms,
                first.mb);
    std::printf("  start to login window shown:    %8.1f ms median (min %.1f, max %.1f)"
                "   target <= 300 ms\n",
                median.ms, runs.front().ms, runs.back().ms);
    std::printf("  resident memory at that point:  %8.1f MB median (max %.1f)"
                "            target <= 60 MB\n",
                median.mb, maxMb);
    return 0;
}
