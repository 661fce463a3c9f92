// The supply window's suggestion grid with a 100,000-row answer: time from
// the Enter on the component pallet to the grid painted, and the memory the
// rows cost. Runs through the real ODBC path to an in-process stand-in whose
// suggestion procedure is scripted to answer the rows.
#include "app/shell/DataGrid.h"
#include "app/shell/MessageService.h"
#include "bench/BenchKit.h"
#include "data/U_Data.h"
#include "inbound/U_EntradaCajaRollo.h"
#include "tests/support/TerminalFixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>

#include <cstdio>
#include <vector>

using namespace lectora::server;

namespace
{

constexpr int kRows = 100000;
constexpr int kRuns = 5;

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TerminalFixture fx;

    ResultSet answer = ResultSet::texts({"localidad", "tarima"});
    answer.rows.reserve(kRows);
    for (int i = 0; i < kRows; ++i) {
        char location[16], pallet[32];
        std::snprintf(location, sizeof location, "C-%02d-%03d", i / 1000 % 100, i % 1000);
        std::snprintf(pallet, sizeof pallet, "KC-%07d-COMPONENTE", i);
        answer.row({std::string(location), std::string(pallet)});
    }
    fx.server().script("sp_KVR_ValidaTarimaComponenteKV", [](Call&) {
        return Reply::rows(ResultSet::texts({"Error", "ErrorDesc"}).row({"0", ""}));
    });
    fx.server().script("sp_KVR_SugiereLocalidadParaSurtir",
                       [&answer](Call&) { return Reply::rows(answer); });

    auto* w = new TFr_EntradaCajaRollo;
    fx.open(w, QStringLiteral("Surtido"));
    auto* comp = w->findChild<QLineEdit*>("TxtPalletComp");
    auto* grid = w->findChild<DataGrid*>("dbgLocalidadTarima");
    comp->setText("KC-0000001");
    QApplication::processEvents();

    const long rssBefore = bench::procStatusKb("VmRSS:");
    const bench::CpuSplit cpuBefore = bench::cpuSplit();
    std::vector<double> times;
    long rssAfter = 0;
    for (int run = 0; run < kRuns; ++run) {
        comp->setFocus();
        QElapsedTimer timer;
        timer.start();
        QTest::keyClick(comp, Qt::Key_Return);
        grid->viewport()->repaint();
        times.push_back(timer.nsecsElapsed() / 1e6);
        if (grid->rows() != kRows) {
            const auto& shown = MessageService::instance().shown();
            std::fprintf(stderr, "bench_grid: the grid shows %d rows, expected %d (%s)\n",
                         grid->rows(), kRows, shown.isEmpty() ? "" : qPrintable(shown.last().text));
            return 1;
        }
        QApplication::processEvents();
        if (run == 0)
            rssAfter = bench::procStatusKb("VmRSS:");
    }

    const bench::CpuSplit cpuAfter = bench::cpuSplit();

    // Where the time goes: the same answer fetched through a query alone
    // (server, wire, driver and the copy of the rows), without the grid.
    std::vector<double> fetchTimes;
    for (int run = 0; run < kRuns; ++run) {
        SharedQuery query;
        QElapsedTimer timer;
        timer.start();
        query.run(fx.dm().Cx, QStringLiteral("EXECUTE sp_KVR_SugiereLocalidadParaSurtir 'X'"));
        const auto rows = query.takeRows();
        fetchTimes.push_back(timer.nsecsElapsed() / 1e6);
        query.close();
    }
    std::printf("bench_grid: %d-row suggestion answer, Enter on the component pallet to grid "
                "painted\n",
                kRows);
    std::printf("  runs (ms):");
    for (double t : times)
        std::printf(" %.1f", t);
    std::printf("\n  first %.1f ms, median %.1f ms, best %.1f ms (target <= 300 ms)\n", times[0],
                bench::upperMedian(times), bench::percentile(times, 0));
    std::printf("  of which fetching the rows through the data path: median %.1f ms\n",
                bench::upperMedian(fetchTimes));
    std::printf("  CPU per run: terminal thread %.0f ms, stand-in threads %.0f ms\n",
                (cpuAfter.self - cpuBefore.self) / kRuns,
                (cpuAfter.others - cpuBefore.others) / kRuns);
    std::printf("  memory: RSS %ld kB before, %ld kB with the rows shown (+%ld kB), peak %ld kB\n",
                rssBefore, rssAfter, rssAfter - rssBefore, bench::procStatusKb("VmHWM:"));
    return 0;
}
